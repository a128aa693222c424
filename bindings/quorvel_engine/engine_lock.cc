#include "engine_lock.h"

#include <unistd.h>

#include <new>
#include <system_error>

namespace quorvel::python {

EngineLock::EngineLock() { initialise(); }

EngineLock::~EngineLock() { pthread_rwlock_destroy(&lock_); }

void EngineLock::initialise() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  const int failed = pthread_rwlock_init(&lock_, &attributes);
  pthread_rwlockattr_destroy(&attributes);
  if (failed == ENOMEM) throw std::bad_alloc();
  if (failed != 0) throw std::system_error(failed, std::generic_category(), "pthread_rwlock_init");
  owner_ = ::getpid();
}

void EngineLock::forget_other_processes() {
  if (owner_ == ::getpid()) return;
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
