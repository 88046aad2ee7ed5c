// Creation of a folder or a file from the host's template.
#include <fcntl.h>

#include <chrono>

#include "diagnostics/errors.h"
#include "extension/file_provider_extension.h"
#include "platform/folders.h"
#include "platform/uniform_types.h"
#include "platform/unique_fd.h"
#include "platform/uuid.h"

namespace corvane {
namespace {

// A fresh zero-byte file in the process's temporary folder, the contents of a
// file created without any. Removed when the creation is over.
class EmptyFile {
 public:
  EmptyFile() : path_(platform::temporaryFolder() / platform::newUUID()) {
    const platform::UniqueFd fd(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
      throw std::filesystem::filesystem_error("cannot create an empty file", path_,
                                              std::error_code(errno, std::generic_category()));
    }
  }
  ~EmptyFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

Timestamp now() {
  return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

}  // namespace

host::ProgressPtr FileProviderExtension::createItem(
    std::shared_ptr<const host::Item> itemTemplate, host::ItemFields,
    const std::optional<std::filesystem::path>& contents, host::CreateItemOptions,
    const host::Request&, host::ChangeItemHandler completionHandler) {
  return run([state = state_, itemTemplate = std::move(itemTemplate), contents,
              handler = std::move(completionHandler)] {
    std::shared_ptr<const host::Item> result;
    try {
      const Scope scope = state->scope();
      const std::string parent = Item::path(itemTemplate->parentItemIdentifier());
      const std::string filename = itemTemplate->filename();
      const std::string path = parent.empty() ? filename : parent + "/" + filename;
      const auto type = itemTemplate->contentType();
      if (type && *type == platform::kFolderType) {
        state->engine->mkdir(path);
        result = std::make_shared<const Item>(Entry{path, filename, true, 0, now(), "dir"}, scope);
      } else if (contents) {
        result = std::make_shared<const Item>(state->engine->upload(path, *contents, ""), scope);
      } else {
        EmptyFile empty;
        result = std::make_shared<const Item>(state->engine->upload(path, empty.path(), ""), scope);
      }
    } catch (...) {
      handler(nullptr, 0, false, Errors::map(std::current_exception()));
      return;
    }
    handler(std::move(result), 0, false, std::nullopt);
  });
}

}  // namespace corvane
