// FileProviderExtension: the object the host creates for one domain.
//
// It owns the domain's engine client and the scope cache, and turns every
// host request into engine requests. Besides the replicated extension it
// offers partial content fetching (host/partial_contents.h) and the setting
// of modification dates (host/modification_dates.h). Asynchronous
// entry points return a progress object at once and run their body on the
// global concurrent queue; each body calls its handler exactly once. Bodies hold the extension's
// state by shared pointer, so they run to their end even after the host has dropped the extension.
// Thread-safe: any number of requests may run at once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/engine_client.h"
#include "engine/records.h"
#include "host/extension.h"
#include "host/manager.h"
#include "host/modification_dates.h"
#include "host/partial_contents.h"
#include "items/item.h"

namespace corvane {

class FileProviderExtension final : public host::ReplicatedExtension,
                                    public host::PartialContentFetching,
                                    public host::ModificationDateSetting {
 public:
  // Writes the start line to the log; contacts nothing. `managers` is the
  // host's lookup of the domain's manager (none: no manager for any domain).
  explicit FileProviderExtension(host::Domain domain, host::ManagerLookup managers = {});

  const host::Domain& domain() const { return state_->domain; }
  const std::shared_ptr<const EngineClient>& engine() const { return state_->engine; }
  std::optional<Scope> cachedScope() const;

  void invalidate() override {}

  host::ProgressPtr item(const host::ItemIdentifier& identifier, const host::Request& request,
                         host::ItemHandler completionHandler) override;
  host::ProgressPtr fetchContents(const host::ItemIdentifier& identifier,
                                  const std::optional<host::ItemVersion>& requestedVersion,
                                  const host::Request& request,
                                  host::FetchHandler completionHandler) override;
  host::ProgressPtr fetchPartialContents(const host::ItemIdentifier& identifier,
                                         const std::optional<host::ItemVersion>& requestedVersion,
                                         const host::Request& request, host::ByteRange minimalRange,
                                         std::int64_t alignment, host::FetchContentsOptions options,
                                         host::PartialFetchHandler completionHandler) override;
  host::ProgressPtr createItem(std::shared_ptr<const host::Item> itemTemplate,
                               host::ItemFields fields,
                               const std::optional<std::filesystem::path>& contents,
                               host::CreateItemOptions options, const host::Request& request,
                               host::ChangeItemHandler completionHandler) override;
  host::ProgressPtr modifyItem(std::shared_ptr<const host::Item> item,
                               const host::ItemVersion& baseVersion,
                               host::ItemFields changedFields,
                               const std::optional<std::filesystem::path>& contents,
                               host::ModifyItemOptions options, const host::Request& request,
                               host::ChangeItemHandler completionHandler) override;
  host::ProgressPtr deleteItem(const host::ItemIdentifier& identifier,
                               const host::ItemVersion& baseVersion,
                               host::DeleteItemOptions options, const host::Request& request,
                               host::DeleteHandler completionHandler) override;
  host::ProgressPtr setContentModificationDate(const host::ItemIdentifier& identifier,
                                               host::FileTime date,
                                               const host::ItemVersion& baseVersion,
                                               const host::Request& request,
                                               host::ItemHandler completionHandler) override;
  std::shared_ptr<host::Enumerator> enumerator(const host::ItemIdentifier& container,
                                               const host::Request& request) override;

  // Runs `body` on the global concurrent queue and returns a progress of one
  // unit, completed after the body has returned. A failure escaping the body
  // is discarded.
  static host::ProgressPtr run(std::function<void()> body);

  // What bodies share with the extension; immutable but for the scope cache.
  struct State {
    host::Domain domain;
    std::shared_ptr<const EngineClient> engine;
    host::ManagerLookup managers;

    // The domain's scope: the cached one, else the first of the engine's
    // scopes whose id equals the domain's identifier (cached from then on).
    // Throws the engine's error, or EngineError::notFound when none matches.
    Scope scope() const;
    std::optional<Scope> cached() const;

    // The item at `path`: the root without a request, else found by name in
    // the listing of its parent folder.
    std::shared_ptr<const Item> lookup(const std::string& path, const Scope& scope) const;

    // A new download destination: a fresh UUID name in the manager's
    // temporary folder for the domain, or in the process's temporary folder
    // when the host has no manager. Nothing is created; a failing folder
    // lookup throws its own error.
    std::filesystem::path newDownloadFile() const;

   private:
    mutable std::mutex mutex_;
    mutable std::optional<Scope> cachedScope_;
  };

 private:
  std::shared_ptr<State> state_;
};

}  // namespace corvane
