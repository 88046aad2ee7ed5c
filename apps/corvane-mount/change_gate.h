// ChangeGate: keeps the change poller's view of the engine in step with the
// mount's own requests.
//
// Every operation that asks the engine and then records the answer in the
// cache holds the gate shared for both steps; the poller holds it exclusive
// while it applies a batch of changes. It asks for the batch without the
// gate (an engine slow to answer must not hold up the mount's requests), so
// it takes a ticket first and applies the batch only when no shared holder
// was inside or came in between (quietSince): then the batch meets a cache
// that already holds the effect of every request that finished before it was
// asked for, and no request's answer lands on top of a newer batch. The
// poller is preferred once it waits, so a stream of requests cannot hold it
// off. Not recursive: a thread takes it once. Thread-safe.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace corvane::mount {

class ChangeGate {
 public:
  ChangeGate() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~ChangeGate() { pthread_rwlock_destroy(&lock_); }
  ChangeGate(const ChangeGate&) = delete;
  ChangeGate& operator=(const ChangeGate&) = delete;

  class Shared {
   public:
    explicit Shared(ChangeGate& gate) : gate_(gate) {
      pthread_rwlock_rdlock(&gate_.lock_);
      gate_.holders_++;
      gate_.entries_++;
    }
    ~Shared() {
      gate_.holders_--;
      pthread_rwlock_unlock(&gate_.lock_);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    ChangeGate& gate_;
  };

  class Exclusive {
   public:
    explicit Exclusive(ChangeGate& gate) : gate_(gate) { pthread_rwlock_wrlock(&gate_.lock_); }
    ~Exclusive() { pthread_rwlock_unlock(&gate_.lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    ChangeGate& gate_;
  };

  // Where the shared holders stand: taken before the poller asks for a batch.
  struct Ticket {
    std::uint64_t entries = 0;
    int holders = 0;
  };
  Ticket ticket() const {
    // Entries first: a holder counted in neither comes in later, and so
    // changes the entries that quietSince() compares.
    const std::uint64_t entries = entries_.load();
    return Ticket{entries, holders_.load()};
  }
  // Whether no shared holder was inside at `ticket` or came in since: any
  // answer recorded since then would be newer than a batch asked for after
  // it.
  bool quietSince(const Ticket& ticket) const {
    return ticket.holders == 0 && entries_.load() == ticket.entries;
  }

 private:
  pthread_rwlock_t lock_;
  std::atomic<int> holders_{0};
  std::atomic<std::uint64_t> entries_{0};
};

}  // namespace corvane::mount
