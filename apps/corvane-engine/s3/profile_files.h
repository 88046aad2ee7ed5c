// The shared profile files of S3 tools: AWS_SHARED_CREDENTIALS_FILE
// (~/.aws/credentials, sections "[NAME]") and AWS_CONFIG_FILE (~/.aws/config,
// sections "[profile NAME]", the default one also "[default]"), read when
// first asked for so that a configuration given entirely by the environment
// never touches them.
//
// Owned by whoever resolves one configuration; not thread-safe. Files that do
// not exist count as empty; one that exists but cannot be read throws
// S3ConfigError.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "s3/s3_config.h"

namespace corvane::s3 {

using ProfileSection = std::map<std::string, std::string>;  // keys lower-cased

// One profile's sections in the two files (either may be missing).
struct Profile {
  std::string name;
  const ProfileSection* credentials = nullptr;
  const ProfileSection* config = nullptr;

  bool exists() const { return credentials || config; }
  // The value of `key` from the credentials file, else the config file;
  // nothing when neither has it or it is empty.
  std::optional<std::string> value(const std::string& key) const;
  // The same, config file first (settings such as "region").
  std::optional<std::string> setting(const std::string& key) const;
  // The value in one of the files only.
  std::optional<std::string> inCredentialsFile(const std::string& key) const;
};

class ProfileFiles {
 public:
  explicit ProfileFiles(EnvironmentLookup environment);

  // The profile `name`; its sections are empty when no file has it.
  Profile profile(const std::string& name);

  // "~/.aws/credentials or ~/.aws/config" as the user's paths, for messages.
  std::string where();
  // A path as the files name it, "~/" being HOME.
  std::string expandHome(const std::string& path) const;

 private:
  void load();

  EnvironmentLookup environment_;
  bool loaded_ = false;
  std::string credentialsPath_;
  std::string configPath_;
  std::optional<std::map<std::string, ProfileSection>> credentials_;
  std::optional<std::map<std::string, ProfileSection>> config_;
};

}  // namespace corvane::s3
