// Modification: new contents, then rename, then move, in that order.
#include <chrono>

#include "diagnostics/errors.h"
#include "engine/engine_error.h"
#include "extension/file_provider_extension.h"
#include "platform/uniform_types.h"
#include "platform/unicode.h"

namespace corvane {
namespace {

std::string withoutTrailingSlash(std::string path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

std::string lastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

host::ProgressPtr FileProviderExtension::modifyItem(
    std::shared_ptr<const host::Item> item, const host::ItemVersion& baseVersion,
    host::ItemFields changedFields, const std::optional<std::filesystem::path>& contents,
    host::ModifyItemOptions, const host::Request&, host::ChangeItemHandler completionHandler) {
  return run([state = state_, item = std::move(item), baseContent = baseVersion.contentVersion,
              changedFields, contents, handler = std::move(completionHandler)] {
    std::shared_ptr<const host::Item> result;
    // Set when the engine kept another version and the user's bytes went to a
    // conflict copy: the bytes the host holds are no longer those of the
    // item it is given, so it must fetch them again.
    bool conflicted = false;
    try {
      const Scope scope = state->scope();
      const EngineClient& engine = *state->engine;
      std::string current = Item::path(item->itemIdentifier());

      if ((changedFields & host::fields::kContents) && contents) {
        try {
          Entry uploaded = engine.upload(current, *contents, platform::decodeUTF8Lossy(baseContent));
          result = std::make_shared<const Item>(std::move(uploaded), scope);
        } catch (const EngineError& e) {
          if (e.kind() != EngineError::Case::conflict) throw;
          // The engine moved on: keep the user's bytes beside it and report
          // the engine's version at the path.
          engine.conflictCopy(current, *contents);
          result = state->lookup(current, scope);
          conflicted = true;
        }
      }

      const auto type = item->contentType();
      const bool folder = type && *type == platform::kFolderType;
      const std::string slash = folder ? "/" : "";
      const bool renamed = changedFields & host::fields::kFilename;
      const bool moved = changedFields & host::fields::kParentItemIdentifier;

      if (renamed) {
        current = withoutTrailingSlash(engine.rename(current + slash, item->filename()));
        result.reset();
      }
      if (moved) {
        current = withoutTrailingSlash(
            engine.move(current + slash, Item::path(item->parentItemIdentifier())));
        result.reset();
      }

      if (folder && (renamed || moved)) {
        const auto now =
            std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
        result = std::make_shared<const Item>(
            Entry{current, lastComponent(current), true, 0, now, "dir"}, scope);
      } else if (!result) {
        result = state->lookup(current, scope);
      }
    } catch (...) {
      handler(nullptr, 0, false, Errors::map(std::current_exception()));
      return;
    }
    handler(std::move(result), 0, conflicted, std::nullopt);
  });
}

}  // namespace corvane
