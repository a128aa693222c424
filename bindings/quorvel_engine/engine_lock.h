#pragma once

#include <pthread.h>

namespace quorvel::python {

// Many readers or one writer over one Engine object's engine. A waiting
// writer holds back new readers, so that a stream of searches cannot keep a
// write out for ever. Callers never wait for it while they hold the
// interpreter lock, and never take the interpreter lock while they hold it:
// either order kept the other way round would deadlock.
//
// Once install_fork_handlers() has run, a fork waits until no write holds
// any live EngineLock, so that a forked child sees each engine as a write
// left it, never half changed; the child starts with every lock free, since
// the holders at the fork are threads it does not have. Searches in flight
// do not hold a fork back.
//
// Thread-safe.
class EngineLock {
 public:
  EngineLock();
  ~EngineLock();
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  // Installs the fork handlers, once per process; later calls do nothing.
  // Call it after an engine has opened its file: the store installs fork
  // handlers of its own at its first open, and these must be installed
  // after them, so that they run before them at a fork (a write in flight
  // may still need a lock that the store's handler holds until the fork is
  // done). Throws std::system_error when they cannot be installed.
  static void install_fork_handlers();

  // A shared hold if one can be had at once; false otherwise.
  [[nodiscard]] bool try_lock_shared();
  void lock_shared();
  void unlock_shared();
  void lock();
  void unlock();

 private:
  friend struct ForkBarrier;
  // Sets the lock up, free; returns pthread_rwlock_init's answer.
  int reset() noexcept;

  pthread_rwlock_t lock_;
  bool held_for_fork_ = false;  // a shared hold taken before a fork, for the fork's parent to drop
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
