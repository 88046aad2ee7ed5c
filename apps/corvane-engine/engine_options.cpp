#include "engine_options.h"

#include <fstream>
#include <map>
#include <string_view>
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

constexpr std::string_view kBucketScheme = "s3://";

Scope localRecord(const fs::path& folder) {
  Scope scope;
  scope.connection = "local";
  scope.bucket = folder.filename().string();
  if (scope.bucket.empty()) scope.bucket = folder.string();  // the file-system root
  scope.prefix = "";
  scope.region = "local";
  scope.versioned = false;
  return scope;
}

// "s3://BUCKET[/PREFIX]": the prefix loses its leading and trailing "/".
Scope bucketRecord(const std::string& given, const std::string& url) {
  const std::string rest = url.substr(kBucketScheme.size());
  const std::size_t slash = rest.find('/');
  Scope scope;
  scope.connection = "s3";
  scope.bucket = rest.substr(0, slash);
  if (scope.bucket.empty()) {
    throw UsageError("--scope " + given +
                     ": name a bucket, for example --scope photos=s3://my-bucket/2024");
  }
  std::string prefix = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  const std::size_t first = prefix.find_first_not_of('/');
  const std::size_t last = prefix.find_last_not_of('/');
  scope.prefix = first == std::string::npos ? std::string() : prefix.substr(first, last - first + 1);
  scope.region = "";
  scope.versioned = false;
  return scope;
}

}  // namespace

std::vector<ScopeSetup> setUpScopes(const EngineOptions& options,
                                    const fs::path& applicationSupport) {
  std::vector<std::pair<std::string, fs::path>> named;
  std::vector<Scope> records;  // beside named
  const bool embeddedDefault = options.scopes.empty();
  if (embeddedDefault) {
    named.emplace_back("default", fs::path());  // made once all is checked
    records.emplace_back();
  }
  for (const std::string& given : options.scopes) {
    const std::size_t eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size()) {
      throw UsageError("--scope " + given +
                       ": write it as NAME=DIR or NAME=s3://BUCKET[/PREFIX], for example "
                       "--scope photos=$HOME/Pictures");
    }
    if (std::string_view(given).substr(eq + 1).starts_with(kBucketScheme)) {
      named.emplace_back(given.substr(0, eq), fs::path());
      records.push_back(bucketRecord(given, given.substr(eq + 1)));
      continue;
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
    records.push_back(localRecord(folder));
  }

  std::set<std::string> names;
  for (const auto& [name, folder] : named) {
    if (!names.insert(name).second) {
      throw UsageError("--scope " + name + "=...: the scope name " + name +
                       " is given twice; give each scope its own name");
    }
  }
  for (const std::string& name : options.readOnly) {
    if (names.contains(name)) continue;
    std::string known;
    for (const auto& n : names) known += (known.empty() ? "" : ", ") + n;
    throw UsageError("--read-only " + name + ": there is no scope of that name; write one of " +
                     known);
  }

  if (embeddedDefault) {
    named.front().second = defaultFolder(applicationSupport);
    records.front() = localRecord(named.front().second);
  }

  std::vector<ScopeSetup> setups;
  std::map<std::string, std::int64_t> counts;  // scopes so far, by connection
  for (std::size_t i = 0; i < named.size(); ++i) {
    const auto& [name, folder] = named[i];
    bool readOnly = false;
    for (const std::string& n : options.readOnly) readOnly = readOnly || n == name;
    Scope record = std::move(records[i]);
    record.scope = ++counts[record.connection];
    record.name = name;
    record.write = !readOnly;
    record.delete_ = !readOnly;
    setups.push_back({std::move(record), folder});
  }
  return setups;
}

fs::path changeLogFile(const fs::path& applicationSupport, const std::string& scopeName) {
  // The kept set is part of every existing log's file name: changing it
  // would lose the logs of scopes whose names hold the characters affected.
  return applicationSupport / ("changes-" + platform::percentEncoded(scopeName, "._-") + ".sqlite");
}

}  // namespace corvane::syncengine
