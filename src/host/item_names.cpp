#include "host/item_names.h"

#include <algorithm>
#include <ctime>

#include "platform/unicode.h"

namespace corvane::host {
namespace {

NameVerdict refused(NameVerdict::Kind kind, std::string message) {
  return NameVerdict{kind, std::move(message)};
}

// "is 300 bytes long, more than the 255 a name may have"
NameVerdict tooLong(std::size_t size, std::size_t limit, const char* what) {
  return refused(NameVerdict::Kind::tooLong,
                 "is " + std::to_string(size) + " bytes long, more than the " +
                     std::to_string(limit) + " a " + what + " may have");
}

}  // namespace

NameVerdict checkItemName(std::string_view name) {
  using Kind = NameVerdict::Kind;
  if (name.size() > kMaxNameBytes) return tooLong(name.size(), kMaxNameBytes, "name");
  if (name.empty()) return refused(Kind::invalid, "is empty");
  if (name == "." || name == "..") return refused(Kind::invalid, "is \".\" or \"..\"");
  if (name.find('/') != std::string_view::npos) return refused(Kind::invalid, "holds a \"/\"");
  if (name.find('\0') != std::string_view::npos) {
    return refused(Kind::invalid, "holds a NUL character");
  }
  if (name.find('\\') != std::string_view::npos) return refused(Kind::invalid, "holds a backslash");
  if (!platform::isValidUTF8(name)) return refused(Kind::invalid, "is not valid UTF-8");
  return {};
}

NameVerdict checkItemPath(std::string_view path) {
  using Kind = NameVerdict::Kind;
  if (path.size() > kMaxPathBytes) return tooLong(path.size(), kMaxPathBytes, "path");
  if (path.empty()) return {};
  if (path.front() == '/') {
    return refused(Kind::invalid, "begins with \"/\"; paths are relative to the scope");
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view name =
        path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    // Said of the path: what a name holds is what the path holds, but the
    // other faults need to say that one of its names has them.
    if (name.empty()) {
      return refused(Kind::invalid, "has an empty name (two \"/\" in a row, or one at the end)");
    }
    if (name == "." || name == "..") return refused(Kind::invalid, "has a \".\" or \"..\" name");
    if (name.size() > kMaxNameBytes) {
      return refused(Kind::tooLong, "has a name of " + std::to_string(name.size()) +
                                        " bytes, more than the " + std::to_string(kMaxNameBytes) +
                                        " a name may have");
    }
    if (NameVerdict verdict = checkItemName(name); !verdict.ok()) return verdict;
    if (slash == std::string_view::npos) return {};
    start = slash + 1;
  }
}

std::size_t nameRoomIn(std::string_view parentPath) {
  const std::size_t used = parentPath.empty() ? 0 : parentPath.size() + 1;
  if (used >= kMaxPathBytes) return 0;
  return std::min(kMaxNameBytes, kMaxPathBytes - used);
}

std::string conflictName(std::string_view name, std::chrono::system_clock::time_point when,
                         int counter, std::size_t maxBytes) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
  std::string tag = std::string(" (conflict ") + stamp;
  if (counter > 1) tag += " " + std::to_string(counter);
  tag += ")";

  std::string_view stem = name;
  std::string_view extension;
  // A leading dot names a hidden file, not an extension.
  if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
  // A name may use the whole of the limit, and the copy must still fit: the
  // stem gives way. An "extension" too long to leave any stem is no real
  // extension and is cut with the rest.
  if (extension.size() + tag.size() >= maxBytes) {
    stem = name;
    extension = {};
  }
  const std::size_t room =
      maxBytes > tag.size() + extension.size() ? maxBytes - tag.size() - extension.size() : 0;
  std::string result(platform::prefixAtCharacter(stem, room));
  result += tag;
  result += extension;
  return result;
}

}  // namespace corvane::host
