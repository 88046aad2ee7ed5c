// The host's new modification date for a file whose contents stay as they
// are: the engine sets the time alone.
#include <cerrno>

#include "diagnostics/errors.h"
#include "extension/file_provider_extension.h"
#include "platform/unicode.h"

namespace corvane {

host::ProgressPtr FileProviderExtension::setContentModificationDate(
    const host::ItemIdentifier& identifier, host::FileTime date,
    const host::ItemVersion& baseVersion, const host::Request&,
    host::ItemHandler completionHandler) {
  return run([state = state_, identifier, date, baseContent = baseVersion.contentVersion,
              handler = std::move(completionHandler)] {
    std::shared_ptr<const host::Item> result;
    try {
      const Scope scope = state->scope();
      auto entry = state->engine->setModTime(Item::path(identifier), date.seconds, date.nanoseconds,
                                             platform::decodeUTF8Lossy(baseContent));
      if (!entry) {
        throw host::Error(std::string(host::kPOSIXErrorDomain), ENOTSUP,
                          {{std::string(host::kLocalizedDescriptionKey),
                            "the engine cannot set a file's modification date without its "
                            "contents"}});
      }
      result = std::make_shared<const Item>(std::move(*entry), scope);
    } catch (...) {
      handler(nullptr, Errors::map(std::current_exception()));
      return;
    }
    handler(std::move(result), std::nullopt);
  });
}

}  // namespace corvane
