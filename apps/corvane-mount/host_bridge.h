// HostBridge: the mount's synchronous view of the host interface.
//
// The extension's entry points return at once and call a handler on a
// background thread; the mount's operations need the answer before they can
// reply to the kernel. Each call here submits one request, waits for its
// handler and returns the result or throws the host::Error it carried.
//
// Every answer, or its absence, goes to the EnginePresence. While the engine
// stalls, requests are not sent (they fail at once as unreachable, EIO), and
// lookups, listings and downloads still waiting give up; changes sent by the
// mount (create, modify, delete) are always waited for, since the engine may
// still carry them out. The change poller's calls (the *Within ones) are
// sent whatever the presence says and give up after their own timeout.
// Listings and change enumerations that may be given up on run on a thread
// of their own, so the caller can leave while the engine holds them; at most
// one such probe of the poller is in flight at a time.
//
// Owned by the mount; thread-safe (every call is independent).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane-mount/engine_presence.h"
#include "host/extension.h"
#include "host/modification_dates.h"

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
  // The file's new modification date alone, through the extension's
  // optional protocol. Nothing when the extension or its engine cannot set
  // it (the extension lacks the protocol, or answers ENOTSUP); the caller
  // keeps the date then.
  std::optional<ItemPtr> setModificationDate(const host::ItemIdentifier& identifier,
                                             host::FileTime date,
                                             const host::ItemVersion& baseVersion) const;

  // The container's children, in the engine's order.
  host::ItemList list(const host::ItemIdentifier& container) const;

  struct Changes {
    std::vector<host::ItemIdentifier> deleted;
    host::ItemList updated;
    host::SyncAnchor anchor;
  };
  // The change poller's calls: sent even while the engine stalls, given up
  // after `timeout` (the engine then counts as stalled).
  using Timeout = std::chrono::milliseconds;
  // The working set's changes since `anchor`; throws host::Error (code -1002
  // when the anchor has expired).
  Changes changesWithin(const host::SyncAnchor& anchor, Timeout timeout) const;
  // The current anchor; none when the engine cannot be asked.
  std::optional<host::SyncAnchor> currentAnchorWithin(Timeout timeout) const;
  ItemPtr itemWithin(const host::ItemIdentifier& identifier, Timeout timeout) const;

  EnginePresence& presence() const { return *presence_; }
  const std::shared_ptr<host::ReplicatedExtension>& extension() const { return extension_; }

  // How a call waits for its answer.
  struct Patience {
    bool sentWhileStalled = false;  // the poller's probes
    bool leavesWhenStalled = false;  // lookups, listings, downloads
    std::optional<Timeout> timeout;
  };

 private:
  // Throws unreachable at once when the call must not be sent now.
  void admit(const Patience& patience) const;
  // Runs `call` on a thread of its own and waits for it as `patience` says.
  template <typename T>
  T offThread(std::function<T()> call, const Patience& patience) const;

  std::shared_ptr<host::ReplicatedExtension> extension_;
  std::unique_ptr<EnginePresence> presence_;
  // Set while a probe of the poller runs on its own thread (shared with it,
  // since a probe given up on outlives the call, and maybe the bridge).
  std::shared_ptr<std::atomic<bool>> probing_;
};

// Whether a host error says "no such item".
bool isNoSuchItem(const host::Error& error);

}  // namespace corvane::mount
