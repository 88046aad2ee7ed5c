// Partial content fetching: an optional protocol of the extension, beside
// ReplicatedExtension::fetchContents. A host finds out whether an extension
// offers it by asking, and falls back to whole downloads when it does not:
//
//   if (auto partial = std::dynamic_pointer_cast<host::PartialContentFetching>(extension)) ...
//
// The entry point returns a progress of one unit at once and calls its handler
// exactly once, on a background thread, never on the caller's; the progress
// reads 1 of 1 once the handler has returned. Any number of calls may run at
// once, also for the same item.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "host/error.h"
#include "host/extension.h"
#include "host/identifiers.h"
#include "host/item.h"
#include "host/types.h"

namespace corvane::host {

// On success: `file`, `item`, `delivered`, `flags`, and no error.
// On failure: no file, no item, an empty range at 0, no flags, and the error.
using PartialFetchHandler = std::function<void(
    std::optional<std::filesystem::path> file, std::shared_ptr<const Item> item,
    ByteRange delivered, MaterializationFlags flags, std::optional<Error> error)>;

class PartialContentFetching {
 public:
  virtual ~PartialContentFetching() = default;

  // Fetches at least the bytes of `minimalRange` of the file `identifier`.
  //
  // The range asked of the engine is `minimalRange` widened outward to
  // multiples of `alignment` (0 or 1: no widening): its start rounded down,
  // its end rounded up. A length that runs past the largest offset means "to
  // the end of the file". A zero length asks for no bytes: the range is empty,
  // at the start rounded down, and the call still answers the current item.
  //
  // What the handler receives on success:
  //  - `file`: a fresh file, in the manager's temporary folder for the domain
  //    (the process's temporary folder without a manager), that the host takes
  //    over; the extension never touches it again. It holds exactly the
  //    delivered bytes: the item's byte at `delivered.offset` is the file's
  //    byte 0, and the file is `delivered.length` bytes long.
  //  - `item`: the item as of the delivered bytes. Its content version names
  //    them, and its document size is the size of the whole file.
  //  - `delivered`: the asked range clipped to the file, or the whole file
  //    when the engine can only deliver whole files; either way it covers
  //    every byte of `minimalRange` that the file has. A widened range that
  //    starts at or past the end is delivered as the empty range at the end.
  //  - `flags`: materialization::kReachesEndOfFile when the delivered range
  //    ends at the end of the file (also for the empty range at the end).
  //
  // `requestedVersion` is not compared: like a whole download, the fetch
  // delivers the engine's current bytes, and the item says which version they
  // are. A host that keeps ranges must key them by content version and never
  // combine ranges of different versions.
  //
  // Failures: the error the whole download would report for the same cause;
  // a negative offset, length or alignment is the POSIX error EINVAL and
  // contacts nothing. After a failure nothing is handed over, and a
  // destination the engine began to write is left as it is in the temporary
  // folder.
  virtual ProgressPtr fetchPartialContents(const ItemIdentifier& identifier,
                                           const std::optional<ItemVersion>& requestedVersion,
                                           const Request& request, ByteRange minimalRange,
                                           std::int64_t alignment, FetchContentsOptions options,
                                           PartialFetchHandler completionHandler) = 0;
};

}  // namespace corvane::host
