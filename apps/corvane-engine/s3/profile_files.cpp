#include "s3/profile_files.h"

#include <cerrno>
#include <fstream>
#include <system_error>
#include <utility>

namespace corvane::s3 {
namespace {

using Sections = std::map<std::string, ProfileSection>;

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

// The sections of an INI-style profile file; nothing when the file does not
// exist. Indented lines belong to nested blocks ("s3 =\n  addressing_style =
// path") or continue a value, and are not keys of the profile.
std::optional<Sections> readProfileFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw S3ConfigError("cannot read " + path + ": " +
                        std::error_code(errno, std::generic_category()).message());
  }
  Sections sections;
  ProfileSection* current = nullptr;
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

const ProfileSection* find(const std::optional<Sections>& sections, const std::string& name) {
  if (!sections) return nullptr;
  auto it = sections->find(name);
  return it == sections->end() ? nullptr : &it->second;
}

std::optional<std::string> lookUp(const ProfileSection* section, const std::string& key) {
  if (!section) return std::nullopt;
  auto it = section->find(key);
  if (it == section->end() || it->second.empty()) return std::nullopt;
  return it->second;
}

}  // namespace

std::optional<std::string> Profile::value(const std::string& key) const {
  if (auto v = lookUp(credentials, key)) return v;
  return lookUp(config, key);
}

std::optional<std::string> Profile::setting(const std::string& key) const {
  if (auto v = lookUp(config, key)) return v;
  return lookUp(credentials, key);
}

std::optional<std::string> Profile::inCredentialsFile(const std::string& key) const {
  return lookUp(credentials, key);
}

ProfileFiles::ProfileFiles(EnvironmentLookup environment) : environment_(std::move(environment)) {}

std::string ProfileFiles::expandHome(const std::string& path) const {
  if (path.rfind("~/", 0) != 0) return path;
  const auto home = environment_("HOME");
  return home ? *home + path.substr(1) : path;
}

void ProfileFiles::load() {
  if (loaded_) return;
  loaded_ = true;
  const auto home = environment_("HOME").value_or("");
  credentialsPath_ =
      expandHome(environment_("AWS_SHARED_CREDENTIALS_FILE").value_or(home + "/.aws/credentials"));
  configPath_ = expandHome(environment_("AWS_CONFIG_FILE").value_or(home + "/.aws/config"));
  credentials_ = readProfileFile(credentialsPath_);
  config_ = readProfileFile(configPath_);
}

Profile ProfileFiles::profile(const std::string& name) {
  load();
  Profile p;
  p.name = name;
  p.credentials = find(credentials_, name);
  p.config = find(config_, "profile " + name);
  if (!p.config && name == "default") p.config = find(config_, "default");
  return p;
}

std::string ProfileFiles::where() {
  load();
  return credentialsPath_ + " or " + configPath_;
}

}  // namespace corvane::s3
