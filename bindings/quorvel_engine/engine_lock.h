#pragma once

#include <pthread.h>

namespace quorvel::python {

// Many readers or one writer over one Engine object's engine. A waiting
// writer holds back new readers, so that a stream of searches cannot keep a
// write out for ever. Callers never wait for it while they hold the
// interpreter lock, and never take the interpreter lock while they hold it:
// either order kept the other way round would deadlock.
//
// Thread-safe. A forked child starts with the lock free (see
// forget_other_processes).
class EngineLock {
 public:
  EngineLock();
  ~EngineLock();
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  // In a process forked from the one that used the lock last, makes the
  // lock free again: whoever held it at the fork is a thread the child does
  // not have. REQUIRES: the interpreter lock, which orders this against
  // every other use in the child.
  void forget_other_processes();

  // A shared hold if one can be had at once; false otherwise.
  [[nodiscard]] bool try_lock_shared();
  void lock_shared();
  void unlock_shared();
  void lock();
  void unlock();

 private:
  void initialise();

  pthread_rwlock_t lock_;
  unsigned forks_seen_;  // how many forks lay behind this process when the lock was set up
};

// Holds an EngineLock, shared or exclusive, for its lifetime.
class EngineLockHold {
 public:
  enum class Access { kShared, kExclusive };
  // Waits for the lock.
  EngineLockHold(EngineLock& lock, Access access) : lock_(lock), access_(access) {
    if (access == Access::kShared) {
      lock.lock_shared();
    } else {
      lock.lock();
    }
  }
  // Takes over a shared hold the caller already has (from try_lock_shared).
  struct Adopt {};
  EngineLockHold(EngineLock& lock, Adopt) : lock_(lock), access_(Access::kShared) {}
  ~EngineLockHold() {
    if (access_ == Access::kShared) {
      lock_.unlock_shared();
    } else {
      lock_.unlock();
    }
  }
  EngineLockHold(const EngineLockHold&) = delete;
  EngineLockHold& operator=(const EngineLockHold&) = delete;

 private:
  EngineLock& lock_;
  Access access_;
};

}  // namespace quorvel::python
