// KernelNotes: the kernel notifications the mount's logic has decided on and
// not yet sent.
//
// Telling the kernel to drop an entry from inside one of its requests can
// deadlock it, so no part of the logic notifies the kernel itself: each
// queues a note here, the listener (the ChangePoller) is woken, and the
// poller's thread takes the notes and sends them. Owned by MountFileSystem
// and shared by reference with its parts. Thread-safe: one mutex, never held
// while the listener runs, so a note may be queued under any other lock of
// the mount.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "corvane-mount/item_cache.h"

namespace corvane::mount {

class KernelNotes {
 public:
  void note(Invalidation invalidation);
  void note(const std::vector<Invalidation>& invalidations);
  // The notes queued since the last call, each once, in the order queued.
  std::vector<Invalidation> take();
  // Called after every note (to wake the poller); empty to stop.
  void setListener(std::function<void()> listener);

 private:
  std::mutex mutex_;
  std::vector<Invalidation> notes_;  // guarded by mutex_
  std::function<void()> listener_;   // guarded by mutex_
};

}  // namespace corvane::mount
