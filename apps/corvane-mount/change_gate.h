// ChangeGate: keeps the change poller's view of the engine in step with the
// mount's own requests.
//
// Every operation that asks the engine and then records the answer in the
// cache holds the gate shared for both steps; the poller holds it exclusive
// while it asks for the changes and applies them. So each batch of changes
// meets a cache that already holds the effect of every request that finished
// before the batch was asked for, and no request's answer lands on top of a
// newer batch. The poller is preferred once it waits, so a stream of requests
// cannot hold it off. Not recursive: a thread takes it once.
#pragma once

#include <pthread.h>

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
    explicit Shared(ChangeGate& gate) : gate_(gate) { pthread_rwlock_rdlock(&gate_.lock_); }
    ~Shared() { pthread_rwlock_unlock(&gate_.lock_); }
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

 private:
  pthread_rwlock_t lock_;
};

}  // namespace corvane::mount
