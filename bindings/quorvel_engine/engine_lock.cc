#include "engine_lock.h"

#include <atomic>
#include <new>
#include <system_error>

namespace quorvel::python {
namespace {

// How many forks lie behind this process: each child counts one more than
// its parent did at the fork. Cheaper to read on every call than the
// process id, which costs a system call.
std::atomic<unsigned> forks{0};

void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }

void count_forks_from_now_on() {
  static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
  if (!registered) throw std::system_error(ENOMEM, std::generic_category(), "pthread_atfork");
}

}  // namespace

EngineLock::EngineLock() {
  count_forks_from_now_on();
  initialise();
}

EngineLock::~EngineLock() { pthread_rwlock_destroy(&lock_); }

void EngineLock::initialise() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  const int failed = pthread_rwlock_init(&lock_, &attributes);
  pthread_rwlockattr_destroy(&attributes);
  if (failed == ENOMEM) throw std::bad_alloc();
  if (failed != 0) throw std::system_error(failed, std::generic_category(), "pthread_rwlock_init");
  forks_seen_ = forks.load(std::memory_order_relaxed);
}

void EngineLock::forget_other_processes() {
  if (forks_seen_ == forks.load(std::memory_order_relaxed)) return;
  // The state copied at the fork names holders that are gone; the memory is
  // set up afresh rather than destroyed, which a held lock does not allow.
  initialise();
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
