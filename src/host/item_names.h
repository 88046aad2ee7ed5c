// The names and paths an item may have, and the name of a conflict copy.
//
// One rule for every side: the engine refuses what it refuses, and a host
// asks it before it makes a name, so that a name the engine would refuse is
// refused where it is made instead of looking written. Every scope must be
// able to live in a bucket of an S3-compatible store, whose object keys hold
// at most 1024 bytes, so the path limit holds for local scopes too.
//
// Pure functions, callable from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::host {

// The longest name of an item, in bytes: what the common file systems take.
inline constexpr std::size_t kMaxNameBytes = 255;
// The longest path of an item below its scope's root, in bytes.
inline constexpr std::size_t kMaxPathBytes = 1024;

// Whether a name or path may be used, and if not, why: `message` continues a
// sentence about it ("The name "a/b" " + message), so each side can word the
// rest its own way.
struct NameVerdict {
  enum class Kind { ok, tooLong, invalid };

  Kind kind = Kind::ok;
  std::string message;  // empty when ok

  bool ok() const { return kind == Kind::ok; }
};

// A name (one component) is refused as too long over kMaxNameBytes; as
// invalid when it is empty, "." or "..", holds "/", NUL or a backslash, or is
// not valid UTF-8.
NameVerdict checkItemName(std::string_view name);

// A path is "" (the scope's root) or names joined by "/", without a leading
// or trailing "/". Refused as too long over kMaxPathBytes; otherwise as its
// first refused name is.
NameVerdict checkItemPath(std::string_view path);

// The room a new name has in the folder `parentPath` ("" for the root): the
// name limit, or less where the folder's path leaves less of the path limit.
std::size_t nameRoomIn(std::string_view parentPath);

// The longest machine name a conflict copy carries, in bytes.
inline constexpr std::size_t kMaxMachineNameBytes = 12;

// `raw` as a conflict copy's machine name: its first label (up to the first
// "."), with only ASCII letters, digits, "-" and "_" kept, cut to
// kMaxMachineNameBytes. Empty when nothing is left.
std::string machineNameOf(std::string_view raw);

// This machine's name in the conflict copies it makes: CORVANE_MACHINE_NAME
// when set and not empty, else the host name, as machineNameOf() makes it.
// Decided at the first call and the same for the life of the process.
const std::string& machineName();

// "<stem> (conflict <machine> YYYY-MM-DD HHMMSS)<.ext>" for `name` at local
// time `when`, made on `machine` (a name as machineNameOf() makes it; with
// none, "<stem> (conflict YYYY-MM-DD HHMMSS)<.ext>"); `counter` > 1 adds
// " <counter>" inside the parentheses. The extension is the part from the
// last "." unless that is the first character. The stem gives way, cut at a
// UTF-8 character boundary, so that the result has at most `maxBytes` bytes;
// an "extension" that leaves no room for any stem is cut with the rest. When
// `maxBytes` cannot hold even the stamp, the result is the stamp alone and
// longer than `maxBytes`.
std::string conflictName(std::string_view name, std::chrono::system_clock::time_point when,
                         int counter = 1, std::size_t maxBytes = kMaxNameBytes,
                         std::string_view machine = machineName());

// What a conflict copy's name tells: the name it is a copy of, the machine
// that made it (empty in names without one) and when (local time, to the
// second). For names conflictName() makes, with or without a machine, and
// only for those that were not cut.
struct ConflictCopyName {
  std::string original;
  std::string machine;
  std::chrono::system_clock::time_point when;
  int counter = 1;
};
std::optional<ConflictCopyName> parseConflictName(std::string_view name);

}  // namespace corvane::host
