// Deletion: look the item up to learn whether its key is a folder's.
#include "diagnostics/errors.h"
#include "extension/file_provider_extension.h"

namespace corvane {
namespace {

// The root's key would be "/" (or ""), which names the whole scope.
host::Error rootDeletionRejected() {
  return host::Error::fileProvider(host::codes::kDeletionRejected);
}

}  // namespace

host::ProgressPtr FileProviderExtension::deleteItem(const host::ItemIdentifier& identifier,
                                                    const host::ItemVersion&,
                                                    host::DeleteItemOptions,
                                                    const host::Request&,
                                                    host::DeleteHandler completionHandler) {
  return run([state = state_, identifier, handler = std::move(completionHandler)] {
    try {
      const std::string path = Item::path(identifier);
      if (path.empty()) throw rootDeletionRejected();
      const Scope scope = state->scope();
      auto found = state->lookup(path, scope);
      const Entry& entry = found->entry();
      if (entry.path.empty() || entry.path == "/") throw rootDeletionRejected();
      state->engine->delete_({entry.dir ? entry.path + "/" : entry.path});
    } catch (...) {
      handler(Errors::map(std::current_exception()));
      return;
    }
    handler(std::nullopt);
  });
}

}  // namespace corvane
