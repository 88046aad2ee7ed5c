#include "items/item.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include "host/item_paths.h"
#include "platform/uniform_types.h"

namespace corvane {

std::shared_ptr<const Item> Item::root(const Scope& scope) {
  return std::make_shared<const Item>(Entry{"", scope.bucket, true, 0, Timestamp{}, "dir"}, scope);
}

host::ItemIdentifier Item::identifier(std::string_view path) {
  return host::paths::identifier(path);
}

std::string Item::path(std::string_view identifier) { return host::paths::path(identifier); }

std::string Item::parent(std::string_view path) { return host::paths::parent(path); }

std::string Item::secondsText(Timestamp t) {
  const double seconds = std::chrono::duration<double>(t.time_since_epoch()).count();
  const double magnitude = std::fabs(seconds);
  char buf[64];
  // Plain notation for every real modification time; the exponent form only
  // where a double's shortest text would need it anyway.
  const bool scientific = magnitude >= 9007199254740992.0 || (magnitude != 0 && magnitude < 1e-4);
  auto fmt = scientific ? std::chars_format::scientific : std::chars_format::fixed;
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds, fmt);
  std::string text(buf, ec == std::errc() ? end : buf);
  if (!scientific && text.find('.') == std::string::npos) text += ".0";
  return text;
}

host::ItemIdentifier Item::itemIdentifier() const { return identifier(entry_.path); }

host::ItemIdentifier Item::parentItemIdentifier() const {
  return identifier(parent(entry_.path));
}

std::optional<std::string> Item::contentType() const {
  if (entry_.dir) return std::string(platform::kFolderType);
  return platform::typeForFilenameExtension(platform::pathExtension(entry_.name));
}

std::optional<std::int64_t> Item::documentSize() const {
  if (entry_.dir) return std::nullopt;
  return entry_.size;
}

std::optional<host::Date> Item::contentModificationDate() const {
  if (entry_.path.empty()) return std::nullopt;
  return entry_.mod_time;
}

host::ItemVersion Item::itemVersion() const {
  return host::ItemVersion{entry_.dir ? std::string("dir") : entry_.version,
                           entry_.name + " " + secondsText(entry_.mod_time)};
}

host::ItemCapabilities Item::capabilities() const {
  using namespace host::capabilities;
  host::ItemCapabilities caps = kReading;
  if (scope_->write) caps |= kWriting | kReparenting | kRenaming;
  if (scope_->delete_) caps |= kDeleting;
  return caps;
}

}  // namespace corvane
