#include "engine_options.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string_view>

#include "platform/folders.h"
#include "platform/percent_encoding.h"
#include "s3/s3_addressing.h"

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
Scope bucketRecord(const std::string& origin, const std::string& url) {
  const std::string rest = url.substr(kBucketScheme.size());
  const std::size_t slash = rest.find('/');
  Scope scope;
  scope.connection = "s3";
  scope.bucket = rest.substr(0, slash);
  if (scope.bucket.empty()) {
    throw UsageError(origin + ": name a bucket, for example --scope photos=s3://my-bucket/2024");
  }
  std::string prefix = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  const std::size_t first = prefix.find_first_not_of('/');
  const std::size_t last = prefix.find_last_not_of('/');
  scope.prefix =
      first == std::string::npos ? std::string() : prefix.substr(first, last - first + 1);
  scope.region = "";
  scope.versioned = false;
  return scope;
}

// One S3 setting given as "[NAME=]VALUE" on the command line: the values
// for single scopes, and the default.
struct PerScope {
  std::map<std::string, std::string> named;
  std::optional<std::string> fallback;
};

PerScope perScope(const std::string& option, const std::vector<std::string>& given,
                  const std::set<std::string>& names) {
  PerScope values;
  for (const std::string& text : given) {
    // A URL has its own "=" only after "://", a region or profile none, so
    // a "=" before any ":" or "/" ends a scope's name.
    const std::size_t eq = text.find('=');
    const bool named = eq != std::string::npos && eq > 0 && text.find_first_of(":/") > eq;
    if (!named) {
      if (values.fallback) {
        throw UsageError(option + " " + text + ": a default is given twice; give " + option +
                         " VALUE once, and NAME=VALUE for single scopes");
      }
      values.fallback = text;
      continue;
    }
    const std::string name = text.substr(0, eq);
    if (!names.contains(name)) {
      std::string known;
      for (const auto& n : names) known += (known.empty() ? "" : ", ") + n;
      throw UsageError(option + " " + text + ": there is no scope " + name + "; write one of " +
                       known);
    }
    if (!values.named.emplace(name, text.substr(eq + 1)).second) {
      throw UsageError(option + " " + text + ": the scope " + name + " is given twice");
    }
  }
  return values;
}

}  // namespace

std::vector<ScopeSetup> setUpScopes(const EngineOptions& options,
                                    const fs::path& applicationSupport) {
  struct Given {
    std::string name;
    std::string target;  // DIR or s3://...
    std::string origin;  // how the user wrote it, for messages
  };
  std::vector<Given> given;
  for (const std::string& text : options.scopes) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
      throw UsageError("--scope " + text +
                       ": write it as NAME=DIR or NAME=s3://BUCKET[/PREFIX], for example "
                       "--scope photos=$HOME/Pictures");
    }
    given.push_back({text.substr(0, eq), text.substr(eq + 1), "--scope " + text});
  }
  std::map<std::string, const ScopeSection*> sections;
  for (const ScopeSection& section : options.sections) {
    sections[section.name] = &section;
    auto url = section.values.find("url");
    if (url == section.values.end()) continue;
    if (url->second.empty()) throw UsageError("[scope." + section.name + "]: the url is empty");
    given.push_back({section.name, url->second, "[scope." + section.name + "] url"});
  }

  std::set<std::string> names;
  for (const Given& g : given) {
    if (!names.insert(g.name).second) {
      const bool section = g.origin.starts_with("[");
      throw UsageError((section ? g.origin : "--scope " + g.name + "=...") + ": the scope name " +
                       g.name + " is given twice; give each scope its own name");
    }
  }
  if (given.empty()) names.insert("default");  // the embedded scope
  auto known = [&names] {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
  };
  for (const auto& [name, section] : sections) {
    if (!names.contains(name)) {
      throw UsageError("[scope." + name +
                       "] has no url and names no scope; add url = s3://BUCKET[/PREFIX] or a "
                       "folder");
    }
  }
  auto sectionFlag = [&sections](const std::string& name, const char* key) {
    auto section = sections.find(name);
    if (section == sections.end()) return false;
    auto value = section->second->values.find(key);
    if (value == section->second->values.end()) return false;
    const std::string& v = value->second;
    if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
    if (v == "false" || v == "no" || v == "off" || v == "0") return false;
    throw UsageError("[scope." + name + "] " + key + " = " + v + ": write true or false");
  };
  for (const auto* list : {&options.readOnly, &options.s3Anonymous}) {
    for (const std::string& name : *list) {
      if (names.contains(name)) continue;
      throw UsageError(std::string(list == &options.readOnly ? "--read-only " : "--s3-anonymous ") +
                       name + ": there is no scope of that name; write one of " + known());
    }
  }
  const PerScope endpoints = perScope("--s3-endpoint", options.s3Endpoint, names);
  const PerScope regions = perScope("--s3-region", options.s3Region, names);
  const PerScope profiles = perScope("--s3-profile", options.s3Profile, names);
  const PerScope addressings = perScope("--s3-addressing", options.s3Addressing, names);
  auto checkAddressing = [](const std::string& where, const std::string& style) {
    if (!s3::addressingNamed(style)) {
      throw UsageError(where + " " + style + ": write auto, path or virtual");
    }
  };
  for (const std::string& text : options.s3Addressing) {
    const std::size_t eq = text.find('=');
    checkAddressing("--s3-addressing", eq == std::string::npos ? text : text.substr(eq + 1));
  }

  const bool embeddedDefault = given.empty();
  std::vector<std::pair<std::string, fs::path>> named;
  std::vector<Scope> records;  // beside named
  std::vector<s3::S3Options> settings;
  if (embeddedDefault) {
    named.emplace_back("default", fs::path());  // made once all is checked
    records.emplace_back();
    settings.emplace_back();
  }
  for (const Given& g : given) {
    const auto section = sections.find(g.name);
    auto sectionValue = [&](const char* key) -> std::optional<std::string> {
      if (section == sections.end()) return std::nullopt;
      auto it = section->second->values.find(key);
      if (it == section->second->values.end()) return std::nullopt;
      return it->second;
    };
    // The scope's own value: the command line's, else its section's, else
    // the default.
    auto pick = [&](const PerScope& values, const char* key) -> std::optional<std::string> {
      if (auto it = values.named.find(g.name); it != values.named.end()) return it->second;
      if (auto value = sectionValue(key)) return value;
      return values.fallback;
    };
    const bool anonymous = std::find(options.s3Anonymous.begin(), options.s3Anonymous.end(),
                                     g.name) != options.s3Anonymous.end() ||
                           sectionFlag(g.name, "anonymous");
    if (std::string_view(g.target).starts_with(kBucketScheme)) {
      named.emplace_back(g.name, fs::path());
      records.push_back(bucketRecord(g.origin, g.target));
      s3::S3Options s3;
      s3.endpoint = pick(endpoints, "endpoint");
      s3.region = pick(regions, "region");
      s3.profile = pick(profiles, "profile");
      if (auto style = sectionValue("addressing")) {
        checkAddressing("[scope." + g.name + "] addressing =", *style);
      }
      s3.addressing = pick(addressings, "addressing");
      s3.anonymous = anonymous;
      settings.push_back(std::move(s3));
      continue;
    }
    for (const auto* values : {&endpoints, &regions, &profiles, &addressings}) {
      if (values->named.contains(g.name)) {
        throw UsageError(g.origin + ": the scope " + g.name +
                         " is a folder; S3 settings apply to buckets only");
      }
    }
    for (const char* key : {"endpoint", "region", "profile", "addressing", "anonymous"}) {
      if (sectionValue(key)) {
        throw UsageError("[scope." + g.name + "] " + key + ": the scope " + g.name +
                         " is a folder; S3 settings apply to buckets only");
      }
    }
    if (anonymous) {
      throw UsageError("--s3-anonymous " + g.name + ": the scope " + g.name +
                       " is a folder; S3 settings apply to buckets only");
    }
    std::error_code ec;
    const fs::path folder = fs::canonical(g.target, ec);
    if (ec) throw OptionError(g.origin + ": the folder " + g.target + " does not exist");
    if (!fs::is_directory(folder)) {
      throw OptionError(g.origin + ": " + g.target + " is not a folder; name a folder to serve");
    }
    named.emplace_back(g.name, folder);
    records.push_back(localRecord(folder));
    settings.emplace_back();
  }

  if (embeddedDefault) {
    named.front().second = defaultFolder(applicationSupport);
    records.front() = localRecord(named.front().second);
  }

  std::vector<ScopeSetup> setups;
  std::map<std::string, std::int64_t> counts;  // scopes so far, by connection
  for (std::size_t i = 0; i < named.size(); ++i) {
    const auto& [name, folder] = named[i];
    bool readOnly = settings[i].anonymous || (!embeddedDefault && sectionFlag(name, "read-only"));
    for (const std::string& n : options.readOnly) readOnly = readOnly || n == name;
    Scope record = std::move(records[i]);
    record.scope = ++counts[record.connection];
    record.name = name;
    record.write = !readOnly;
    record.delete_ = !readOnly;
    setups.push_back({std::move(record), folder, std::move(settings[i])});
  }
  return setups;
}

fs::path changeLogFile(const fs::path& applicationSupport, const std::string& scopeName) {
  // The kept set is part of every existing log's file name: changing it
  // would lose the logs of scopes whose names hold the characters affected.
  return applicationSupport / ("changes-" + platform::percentEncoded(scopeName, "._-") + ".sqlite");
}

}  // namespace corvane::syncengine
