// The host's request for a file's contents: a download into the host's
// temporary folder.
#include "diagnostics/errors.h"
#include "extension/file_provider_extension.h"
#include "platform/folders.h"
#include "platform/uuid.h"

namespace corvane {

host::ProgressPtr FileProviderExtension::fetchContents(const host::ItemIdentifier& identifier,
                                                       const std::optional<host::ItemVersion>&,
                                                       const host::Request&,
                                                       host::FetchHandler completionHandler) {
  return run([state = state_, identifier, handler = std::move(completionHandler)] {
    std::filesystem::path destination;
    std::shared_ptr<const host::Item> result;
    try {
      const Scope scope = state->scope();
      destination = state->newDownloadFile();
      Entry entry = state->engine->fetch(Item::path(identifier), destination);
      result = std::make_shared<const Item>(std::move(entry), scope);
    } catch (...) {
      handler(std::nullopt, nullptr, Errors::map(std::current_exception()));
      return;
    }
    handler(std::move(destination), std::move(result), std::nullopt);
  });
}

std::filesystem::path FileProviderExtension::State::newDownloadFile() const {
  std::shared_ptr<host::Manager> manager = managers ? managers(domain) : nullptr;
  const std::filesystem::path folder =
      manager ? manager->temporaryDirectoryURL() : platform::temporaryFolder();
  return folder / platform::newUUID();
}

}  // namespace corvane
