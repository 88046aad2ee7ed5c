#include "cli/config_file.h"

#include <cstdlib>
#include <string>

namespace corvane::cli {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kFolder = "CorvaneSync";

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<fs::path> configFile(std::string_view name) {
  // A relative XDG_CONFIG_HOME is to be ignored, as the XDG rules ask.
  if (auto base = environment("XDG_CONFIG_HOME"); base && fs::path(*base).is_absolute()) {
    return fs::path(*base) / kFolder / name;
  }
  if (auto home = environment("HOME")) return fs::path(*home) / ".config" / kFolder / name;
  return std::nullopt;
}

std::string configFileShown(std::string_view name) {
  return "$XDG_CONFIG_HOME/" + std::string(kFolder) + "/" + std::string(name);
}

}  // namespace corvane::cli
