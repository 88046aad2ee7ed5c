#include "host/item_paths.h"

#include "platform/unicode.h"

namespace corvane::host::paths {

ItemIdentifier identifier(std::string_view path) {
  if (path.empty()) return ItemIdentifier(kRootContainerItemIdentifier);
  return ItemIdentifier(path);
}

std::string path(std::string_view identifier) {
  if (platform::canonicallyEqual(identifier, kRootContainerItemIdentifier)) return {};
  return std::string(identifier);
}

std::string parent(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(path.substr(0, slash));
}

std::string name(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(path.substr(slash + 1));
}

std::string child(std::string_view parentPath, std::string_view name) {
  std::string out(parentPath);
  if (!out.empty()) out += '/';
  out += name;
  return out;
}

}  // namespace corvane::host::paths
