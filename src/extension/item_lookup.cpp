// The host's request for one item by its identifier.
#include "diagnostics/errors.h"
#include "engine/engine_error.h"
#include "extension/file_provider_extension.h"
#include "platform/unicode.h"

namespace corvane {

host::ProgressPtr FileProviderExtension::item(const host::ItemIdentifier& identifier,
                                              const host::Request&,
                                              host::ItemHandler completionHandler) {
  return run([state = state_, identifier, handler = std::move(completionHandler)] {
    std::shared_ptr<const host::Item> result;
    try {
      const Scope scope = state->scope();
      if (platform::canonicallyEqual(identifier, host::kTrashContainerItemIdentifier)) {
        throw EngineError::notFound();
      }
      result = state->lookup(Item::path(identifier), scope);
    } catch (...) {
      handler(nullptr, Errors::map(std::current_exception()));
      return;
    }
    handler(std::move(result), std::nullopt);
  });
}

}  // namespace corvane
