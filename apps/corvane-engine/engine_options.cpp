#include "engine_options.h"

#include <fstream>
#include <set>

#include "platform/folders.h"
#include "platform/percent_encoding.h"

namespace corvane::syncengine {
namespace fs = std::filesystem;
namespace {

constexpr const char* kReadme =
    "This folder is the default scope of corvane-engine, the local sync engine.\n"
    "Files placed here appear in the synced folder, and changes made there land here.\n"
    "Run corvane-engine --scope NAME=DIR to serve other folders instead.\n";

fs::path defaultFolder(const fs::path& applicationSupport) {
  const fs::path folder = applicationSupport / "buckets" / "default";
  if (fs::is_directory(folder)) return folder;
  std::error_code ec;
  try {
    platform::makePrivateDataFolder(applicationSupport);  // before anything lands in it
  } catch (const fs::filesystem_error& e) {
    ec = e.code();
  }
  if (!ec) fs::create_directories(folder, ec);
  if (ec)
    throw OptionError("cannot create the default scope folder " + folder.string() + ": " +
                      ec.message());
  std::ofstream(folder / "README.txt") << kReadme;
  return folder;
}

Scope makeRecord(std::int64_t number, const std::string& name, const fs::path& folder,
                 bool readOnly) {
  Scope scope;
  scope.connection = "local";
  scope.scope = number;
  scope.name = name;
  scope.bucket = folder.filename().string();
  if (scope.bucket.empty()) scope.bucket = folder.string();  // the file-system root
  scope.prefix = "";
  scope.region = "local";
  scope.versioned = false;
  scope.write = !readOnly;
  scope.delete_ = !readOnly;
  return scope;
}

}  // namespace

std::vector<ScopeSetup> setUpScopes(const EngineOptions& options,
                                    const fs::path& applicationSupport) {
  std::vector<std::pair<std::string, fs::path>> named;
  const bool embeddedDefault = options.scopes.empty();
  if (embeddedDefault) named.emplace_back("default", fs::path());  // made once all is checked
  for (const std::string& given : options.scopes) {
    const std::size_t eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size()) {
      throw OptionError("--scope " + given +
                        ": write it as NAME=DIR, for example --scope photos=$HOME/Pictures");
    }
    std::error_code ec;
    const fs::path folder = fs::canonical(given.substr(eq + 1), ec);
    if (ec) {
      throw OptionError("--scope " + given + ": the folder " + given.substr(eq + 1) +
                        " does not exist");
    }
    if (!fs::is_directory(folder)) {
      throw OptionError("--scope " + given + ": " + given.substr(eq + 1) +
                        " is not a folder; name a folder to serve");
    }
    named.emplace_back(given.substr(0, eq), folder);
  }

  std::set<std::string> names;
  for (const auto& [name, folder] : named) {
    if (!names.insert(name).second) throw OptionError("the scope name " + name + " is given twice");
  }
  for (const std::string& name : options.readOnly) {
    if (!names.contains(name))
      throw OptionError("--read-only " + name + ": there is no scope of that name");
  }

  if (embeddedDefault) named.front().second = defaultFolder(applicationSupport);

  std::vector<ScopeSetup> setups;
  for (std::size_t i = 0; i < named.size(); ++i) {
    const auto& [name, folder] = named[i];
    bool readOnly = false;
    for (const std::string& n : options.readOnly) readOnly = readOnly || n == name;
    setups.push_back(
        {makeRecord(static_cast<std::int64_t>(i + 1), name, folder, readOnly), folder});
  }
  return setups;
}

fs::path changeLogFile(const fs::path& applicationSupport, const std::string& scopeName) {
  // The kept set is part of every existing log's file name: changing it
  // would lose the logs of scopes whose names hold the characters affected.
  return applicationSupport / ("changes-" + platform::percentEncoded(scopeName, "._-") + ".sqlite");
}

}  // namespace corvane::syncengine
