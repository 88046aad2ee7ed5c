#include "s3/s3_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>
#include <utility>

namespace corvane::s3 {
namespace {

using Section = std::map<std::string, std::string>;
using Sections = std::map<std::string, Section>;

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The sections of an INI-style profile file, keys lower-cased; nothing when
// the file does not exist. Indented lines belong to nested blocks
// ("s3 =\n  max_concurrent_requests = 4") or continue a value, and are not
// keys of the profile.
std::optional<Sections> readProfileFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw S3ConfigError("cannot read " + path + ": " +
                        std::error_code(errno, std::generic_category()).message());
  }
  Sections sections;
  Section* current = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) continue;
    const std::string text = trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    if (text.front() == '[' && text.back() == ']') {
      current = &sections[trim(text.substr(1, text.size() - 2))];
      continue;
    }
    const auto equals = text.find('=');
    if (!current || equals == std::string::npos) continue;
    (*current)[lower(trim(text.substr(0, equals)))] = trim(text.substr(equals + 1));
  }
  if (in.bad()) throw S3ConfigError("cannot read " + path);
  return sections;
}

// The two profile files, read when first needed: a configuration given
// entirely by the environment never touches them.
class Profiles {
 public:
  Profiles(const EnvironmentLookup& environment) : environment_(environment) {
    const auto named = environment_("AWS_PROFILE");
    explicitName_ = named.has_value();
    name_ = named.value_or("default");
  }

  const std::string& name() const { return name_; }
  bool explicitName() const { return explicitName_; }
  const std::string& credentialsPath() {
    load();
    return credentialsPath_;
  }
  const std::string& configPath() {
    load();
    return configPath_;
  }

  // The profile's section in the credentials file, and in the config file.
  const Section* credentials() {
    load();
    return find(credentials_, name_);
  }
  const Section* config() {
    load();
    if (const Section* s = find(config_, "profile " + name_)) return s;
    return name_ == "default" ? find(config_, "default") : nullptr;
  }

  // The first of the two sections that has `key`, credentials file first.
  std::optional<std::string> value(const std::string& key, bool configFirst) {
    const Section* first = configFirst ? config() : credentials();
    const Section* second = configFirst ? credentials() : config();
    for (const Section* s : {first, second}) {
      if (!s) continue;
      auto it = s->find(key);
      if (it != s->end() && !it->second.empty()) return it->second;
    }
    return std::nullopt;
  }

 private:
  static const Section* find(const std::optional<Sections>& sections, const std::string& name) {
    if (!sections) return nullptr;
    auto it = sections->find(name);
    return it == sections->end() ? nullptr : &it->second;
  }

  std::string expandHome(const std::string& path) const {
    if (path.rfind("~/", 0) != 0) return path;
    const auto home = environment_("HOME");
    return home ? *home + path.substr(1) : path;
  }

  void load() {
    if (loaded_) return;
    loaded_ = true;
    const auto home = environment_("HOME").value_or("");
    credentialsPath_ = expandHome(
        environment_("AWS_SHARED_CREDENTIALS_FILE").value_or(home + "/.aws/credentials"));
    configPath_ = expandHome(environment_("AWS_CONFIG_FILE").value_or(home + "/.aws/config"));
    credentials_ = readProfileFile(credentialsPath_);
    config_ = readProfileFile(configPath_);
  }

  const EnvironmentLookup& environment_;
  std::string name_;
  bool explicitName_ = false;
  bool loaded_ = false;
  std::string credentialsPath_;
  std::string configPath_;
  std::optional<Sections> credentials_;
  std::optional<Sections> config_;
};

S3Credentials resolveCredentials(const EnvironmentLookup& environment, Profiles& profiles) {
  auto id = environment("AWS_ACCESS_KEY_ID");
  auto secret = environment("AWS_SECRET_ACCESS_KEY");
  if (id && secret) {
    return S3Credentials{*id, *secret, environment("AWS_SESSION_TOKEN").value_or("")};
  }
  if (id) throw S3ConfigError("AWS_ACCESS_KEY_ID is set but AWS_SECRET_ACCESS_KEY is not");
  if (secret) throw S3ConfigError("AWS_SECRET_ACCESS_KEY is set but AWS_ACCESS_KEY_ID is not");

  const std::string where = profiles.credentialsPath() + " or " + profiles.configPath();
  if (!profiles.credentials() && !profiles.config()) {
    if (profiles.explicitName()) {
      throw S3ConfigError("the profile \"" + profiles.name() + "\" (AWS_PROFILE) is not in " +
                          where);
    }
    throw S3ConfigError(
        "no S3 credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or give the "
        "profile \"default\" in " +
        where);
  }
  id = profiles.value("aws_access_key_id", false);
  secret = profiles.value("aws_secret_access_key", false);
  if (!id || !secret) {
    throw S3ConfigError("the profile \"" + profiles.name() + "\" in " + where + " lacks " +
                        (id ? "aws_secret_access_key" : "aws_access_key_id"));
  }
  return S3Credentials{*id, *secret, profiles.value("aws_session_token", false).value_or("")};
}

std::string resolveEndpoint(const S3Options& options, const EnvironmentLookup& environment,
                            bool& custom) {
  std::optional<std::string> given = options.endpoint;
  std::string source = "--s3-endpoint";
  for (const char* name : {"AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL"}) {
    if (given) break;
    given = environment(name);
    source = name;
  }
  custom = given.has_value();
  if (!given) return {};
  std::string url = *given;
  const auto scheme = lower(url.substr(0, url.find("://")));
  const auto rest = url.find("://") == std::string::npos ? std::string::npos : url.find("://") + 3;
  if ((scheme != "http" && scheme != "https") || rest == std::string::npos || rest >= url.size() ||
      url[rest] == '/') {
    throw S3ConfigError(source + " \"" + url + "\" is not an http:// or https:// URL");
  }
  if (url.find_first_of("?#") != std::string::npos) {
    throw S3ConfigError(source + " \"" + url + "\" has a query or fragment");
  }
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
      throw S3ConfigError(source + " holds a space or control character");
    }
  }
  while (url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

std::optional<std::string> processEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string publicEndpoint(const std::string& region) {
  std::string host = "https://s3." + region + ".amazonaws.com";
  if (region.rfind("cn-", 0) == 0) host += ".cn";
  return host;
}

std::string S3Config::describe() const {
  std::string text = "endpoint " + endpoint + ", addressing " + addressingName(addressing) +
                     ", region " +
                     region + ", access key " + credentials.accessKeyId;
  if (!credentials.sessionToken.empty()) text += " with a session token";
  if (!caBundle.empty()) text += ", CA bundle " + caBundle;
  return text;
}

S3Config resolveS3Config(const S3Options& options, const EnvironmentLookup& lookup) {
  // Every empty variable counts as unset, as the usual tools treat them.
  const EnvironmentLookup environment = [&lookup](const std::string& name) {
    auto value = lookup(name);
    if (value && value->empty()) value.reset();
    return value;
  };
  Profiles profiles(environment);
  S3Config config;

  bool custom = false;
  config.endpoint = resolveEndpoint(options, environment, custom);

  config.region = [&]() -> std::string {
    if (options.region && !options.region->empty()) return *options.region;
    for (const char* name : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
      if (auto value = environment(name)) return *value;
    }
    if (auto value = profiles.value("region", true)) return *value;
    return "us-east-1";
  }();
  for (const char c : config.region) {
    // The region is a field of the signature's scope, which ":" and "/" separate.
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == ':' || c == '/') {
      throw S3ConfigError("the region \"" + config.region + "\" is not a region name");
    }
  }

  if (!custom) config.endpoint = publicEndpoint(config.region);
  config.credentials = resolveCredentials(environment, profiles);
  config.caBundle = environment("AWS_CA_BUNDLE").value_or("");
  return config;
}

}  // namespace corvane::s3
