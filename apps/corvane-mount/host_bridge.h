// HostBridge: the mount's synchronous view of the host interface.
//
// The extension's entry points return at once and call a handler on a
// background thread; the mount's operations need the answer before they can
// reply to the kernel. Each call here submits one request, waits for its
// handler and returns the result or throws the host::Error it carried.
// Enumerator calls run on the calling thread, as the host interface defines.
// Owned by the mount; thread-safe (every call is independent).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/extension.h"

namespace corvane::mount {

class HostBridge {
 public:
  explicit HostBridge(std::shared_ptr<host::ReplicatedExtension> extension);

  using ItemPtr = std::shared_ptr<const host::Item>;

  ItemPtr item(const host::ItemIdentifier& identifier) const;

  struct Fetched {
    std::filesystem::path file;  // ours to take over
    ItemPtr item;
  };
  Fetched fetchContents(const host::ItemIdentifier& identifier) const;

  ItemPtr createItem(ItemPtr itemTemplate,
                     const std::optional<std::filesystem::path>& contents) const;
  struct Modified {
    ItemPtr item;
    // The item's contents are not those sent (the engine kept another
    // version; the sent bytes became a conflict copy): fetch them again.
    bool shouldFetchContent = false;
  };
  Modified modifyItem(ItemPtr item, const host::ItemVersion& baseVersion, host::ItemFields fields,
                      const std::optional<std::filesystem::path>& contents) const;
  void deleteItem(const host::ItemIdentifier& identifier,
                  const host::ItemVersion& baseVersion) const;

  // The container's children, in the engine's order.
  host::ItemList list(const host::ItemIdentifier& container) const;

  struct Changes {
    std::vector<host::ItemIdentifier> deleted;
    host::ItemList updated;
    host::SyncAnchor anchor;
  };
  // The working set's changes since `anchor`; throws host::Error (code -1002
  // when the anchor has expired).
  Changes changes(const host::SyncAnchor& anchor) const;
  // The current anchor; none when the engine cannot be asked.
  std::optional<host::SyncAnchor> currentAnchor() const;

  const std::shared_ptr<host::ReplicatedExtension>& extension() const { return extension_; }

 private:
  std::shared_ptr<host::ReplicatedExtension> extension_;
};

// Whether a host error says "no such item".
bool isNoSuchItem(const host::Error& error);

}  // namespace corvane::mount
