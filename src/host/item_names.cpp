#include "host/item_names.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

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

std::string machineNameOf(std::string_view raw) {
  std::string out;
  for (const char c : raw.substr(0, raw.find('.'))) {
    if (out.size() == kMaxMachineNameBytes) break;
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    if (kept) out.push_back(c);
  }
  return out;
}

const std::string& machineName() {
  static const std::string name = [] {
    if (const char* given = std::getenv("CORVANE_MACHINE_NAME"); given && *given) {
      return machineNameOf(given);
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return std::string();
    return machineNameOf(host);
  }();
  return name;
}

namespace {

constexpr std::string_view kConflictTag = " (conflict ";

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int digits(std::string_view text) {
  int value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value;
}

// "YYYY-MM-DD" and "HHMMSS" as a local time.
std::optional<std::chrono::system_clock::time_point> localStamp(std::string_view date,
                                                                std::string_view time) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-' || !allDigits(date.substr(0, 4)) ||
      !allDigits(date.substr(5, 2)) || !allDigits(date.substr(8, 2)) || time.size() != 6 ||
      !allDigits(time)) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = digits(date.substr(0, 4)) - 1900;
  local.tm_mon = digits(date.substr(5, 2)) - 1;
  local.tm_mday = digits(date.substr(8, 2));
  local.tm_hour = digits(time.substr(0, 2));
  local.tm_min = digits(time.substr(2, 2));
  local.tm_sec = digits(time.substr(4, 2));
  local.tm_isdst = -1;
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 ||
      local.tm_hour > 23 || local.tm_min > 59 || local.tm_sec > 60) {
    return std::nullopt;
  }
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(t);
}

}  // namespace

std::string conflictName(std::string_view name, std::chrono::system_clock::time_point when,
                         int counter, std::size_t maxBytes, std::string_view machine) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
  std::string tag(kConflictTag);
  if (!machine.empty()) tag += std::string(machine) + " ";
  tag += stamp;
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

std::optional<ConflictCopyName> parseConflictName(std::string_view name) {
  const std::size_t tag = name.rfind(kConflictTag);
  if (tag == std::string_view::npos || tag == 0) return std::nullopt;
  const std::size_t close = name.find(')', tag);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view extension = name.substr(close + 1);
  if (!extension.empty() &&
      (extension[0] != '.' || extension.find('.', 1) != std::string_view::npos)) {
    return std::nullopt;
  }
  std::vector<std::string_view> words;
  std::string_view inside = name.substr(tag + kConflictTag.size(), close - tag - kConflictTag.size());
  for (std::size_t at = 0; at <= inside.size();) {
    const std::size_t blank = std::min(inside.find(' ', at), inside.size());
    words.push_back(inside.substr(at, blank - at));
    at = blank + 1;
  }
  ConflictCopyName out;
  std::size_t next = 0;
  if (words.size() >= 3 && !localStamp(words[0], words[1])) {
    out.machine = std::string(words[0]);
    if (out.machine.empty() || machineNameOf(out.machine) != out.machine) return std::nullopt;
    next = 1;
  }
  if (words.size() < next + 2 || words.size() > next + 3) return std::nullopt;
  const auto when = localStamp(words[next], words[next + 1]);
  if (!when) return std::nullopt;
  out.when = *when;
  if (words.size() == next + 3) {
    if (!allDigits(words[next + 2]) || words[next + 2].size() > 6) return std::nullopt;
    out.counter = digits(words[next + 2]);
    if (out.counter < 2) return std::nullopt;
  }
  out.original = std::string(name.substr(0, tag)) + std::string(extension);
  return out;
}

}  // namespace corvane::host
