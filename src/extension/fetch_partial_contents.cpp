// The host's request for a byte range of a file: a download of that range,
// widened to the host's alignment, into the host's temporary folder.
#include "diagnostics/errors.h"
#include "extension/file_provider_extension.h"
#include "extension/range_alignment.h"

namespace corvane {

host::ProgressPtr FileProviderExtension::fetchPartialContents(
    const host::ItemIdentifier& identifier, const std::optional<host::ItemVersion>&,
    const host::Request&, host::ByteRange minimalRange, std::int64_t alignment,
    host::FetchContentsOptions, host::PartialFetchHandler completionHandler) {
  return run([state = state_, identifier, minimalRange, alignment,
              handler = std::move(completionHandler)] {
    std::filesystem::path destination;
    std::shared_ptr<const host::Item> item;
    host::ByteRange delivered;
    host::MaterializationFlags flags = 0;
    try {
      // A range the engine could never serve is refused before anything
      // is contacted.
      const host::ByteRange wanted = widenedRange(minimalRange, alignment);
      const Scope scope = state->scope();
      destination = state->newDownloadFile();
      FetchedRange got = state->engine->fetchRange(Item::path(identifier), destination,
                                                   wanted.offset, wanted.length);
      delivered = host::ByteRange{got.offset, got.length};
      if (got.reachesEnd()) flags |= host::materialization::kReachesEndOfFile;
      item = std::make_shared<const Item>(std::move(got.entry), scope);
    } catch (...) {
      handler(std::nullopt, nullptr, host::ByteRange{}, 0, Errors::map(std::current_exception()));
      return;
    }
    handler(std::move(destination), std::move(item), delivered, flags, std::nullopt);
  });
}

}  // namespace corvane
