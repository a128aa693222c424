#include "engine_lock.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <vector>

namespace quorvel::python {

// The fork handlers over every live EngineLock. Before a fork, each lock is
// taken shared: that waits for the write in flight, if any, and keeps the
// next one out until the fork is done. Neither a write nor a search needs
// the interpreter lock to finish, so the forking thread, which holds it, is
// never waited for.
struct ForkBarrier {
  static pthread_mutex_t& guard() {
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    return mutex;
  }
  // Never destroyed: a fork at exit may still run the handlers.
  static std::vector<EngineLock*>& locks() {
    static auto* live = new std::vector<EngineLock*>();
    return *live;
  }

  static void before() {
    pthread_mutex_lock(&guard());
    for (EngineLock* lock : locks()) lock->held_for_fork_ = pthread_rwlock_rdlock(&lock->lock_) == 0;
  }
  static void in_parent() {
    for (EngineLock* lock : locks()) {
      if (lock->held_for_fork_) pthread_rwlock_unlock(&lock->lock_);
      lock->held_for_fork_ = false;
    }
    pthread_mutex_unlock(&guard());
  }
  // The memory of each lock names holders that are gone; it is set up
  // afresh rather than released or destroyed, which they would need.
  static void in_child() {
    for (EngineLock* lock : locks()) {
      lock->held_for_fork_ = false;
      lock->reset();
    }
    pthread_mutex_init(&guard(), nullptr);
  }

  static void add(EngineLock* lock) {
    pthread_mutex_lock(&guard());
    try {
      locks().push_back(lock);
    } catch (...) {
      pthread_mutex_unlock(&guard());
      throw;
    }
    pthread_mutex_unlock(&guard());
  }
  static void remove(EngineLock* lock) {
    pthread_mutex_lock(&guard());
    std::erase(locks(), lock);
    pthread_mutex_unlock(&guard());
  }
};

void EngineLock::install_fork_handlers() {
  // Handlers installed later run earlier before a fork, and later after it.
  static const bool installed =
      pthread_atfork(ForkBarrier::before, ForkBarrier::in_parent, ForkBarrier::in_child) == 0;
  if (!installed) throw std::system_error(ENOMEM, std::generic_category(), "pthread_atfork");
}

EngineLock::EngineLock() {
  if (const int failed = reset(); failed != 0) {
    if (failed == ENOMEM) throw std::bad_alloc();
    throw std::system_error(failed, std::generic_category(), "pthread_rwlock_init");
  }
  try {
    ForkBarrier::add(this);
  } catch (...) {
    pthread_rwlock_destroy(&lock_);
    throw;
  }
}

EngineLock::~EngineLock() {
  // Out of the fork handlers' list before the memory goes.
  ForkBarrier::remove(this);
  pthread_rwlock_destroy(&lock_);
}

int EngineLock::reset() noexcept {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  const int failed = pthread_rwlock_init(&lock_, &attributes);
  pthread_rwlockattr_destroy(&attributes);
  return failed;
}

bool EngineLock::try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }

void EngineLock::lock_shared() {
  // Fails only for too many readers (EAGAIN), which a process cannot reach
  // with threads of its own.
  if (const int failed = pthread_rwlock_rdlock(&lock_); failed != 0) {
    throw std::system_error(failed, std::generic_category(), "pthread_rwlock_rdlock");
  }
}

void EngineLock::unlock_shared() { pthread_rwlock_unlock(&lock_); }

void EngineLock::lock() {
  if (const int failed = pthread_rwlock_wrlock(&lock_); failed != 0) {
    throw std::system_error(failed, std::generic_category(), "pthread_rwlock_wrlock");
  }
}

void EngineLock::unlock() { pthread_rwlock_unlock(&lock_); }

}  // namespace quorvel::python
