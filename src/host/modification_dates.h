// Modification dates: an optional protocol of the extension, beside
// ReplicatedExtension::modifyItem. A host that has changed nothing of a file
// but its content modification date (a `touch`, the times a copy keeps)
// hands the date on without sending the file's contents again. A host finds
// out whether an extension offers it by asking, and keeps the date to itself
// when it does not:
//
//   if (auto dates = std::dynamic_pointer_cast<host::ModificationDateSetting>(extension)) ...
//
// Dates of new or changed contents need none of this: they travel with the
// contents, as the modification time of the file the host hands over.
//
// The entry point returns a progress of one unit at once and calls its handler
// exactly once, on a background thread, never on the caller's; the progress
// reads 1 of 1 once the handler has returned. Any number of calls may run at
// once.
#pragma once

#include <cstdint>

#include "host/extension.h"
#include "host/identifiers.h"
#include "host/types.h"

namespace corvane::host {

// A file's modification time to the nanosecond: whole seconds since 1970 and
// the nanoseconds after them (0 to 999,999,999). Every time a file system can
// hold fits, unlike a Date.
struct FileTime {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  bool operator==(const FileTime&) const = default;
};

class ModificationDateSetting {
 public:
  virtual ~ModificationDateSetting() = default;

  // Gives the file `identifier`, as the host holds it at the content version
  // of `baseVersion`, the content modification date `date`.
  //
  // On success the handler gets the item as it now is: its date is `date` in
  // whole seconds, as every item's, and its version may be a new one (where
  // the engine's versions follow a file's time), which the host takes as the
  // base of its next change.
  //
  // Failures: no such item when the file is gone; the file name collision
  // error (-1001) when its contents changed since `baseVersion` (the host's
  // date then yields to the other change); the POSIX error ENOTSUP when the
  // engine cannot set a date without the contents, which a host remembers
  // (it keeps such dates itself) and which contacts the engine once per
  // extension at most; otherwise what a modification would report for the
  // same cause.
  virtual ProgressPtr setContentModificationDate(const ItemIdentifier& identifier, FileTime date,
                                                 const ItemVersion& baseVersion,
                                                 const Request& request,
                                                 ItemHandler completionHandler) = 0;
};

}  // namespace corvane::host
