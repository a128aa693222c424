#pragma once

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace quorvel {

// The order that a loop on the worker pool guarantees, shown to
// ThreadSanitizer. oneTBB hands the loop's parts to its threads and waits
// for them with synchronisation inside its library, which is built without
// the sanitizer and so unseen by it: every value the caller prepares for the
// parts, and every result the parts leave for the caller, would be reported
// as a race. With these marks, what the caller does before the loop happens
// before every part, and every part before what the caller does after the
// loop. The parts stay unordered among themselves, so races between them are
// still reported. Without ThreadSanitizer the marks do nothing.
class LoopOrder {
 public:
  // The caller, before the loop starts.
  void before_loop() { release(&before_); }
  // Each part, first.
  void part_starts() { acquire(&before_); }
  // Each part, last.
  void part_ends() { release(&after_); }
  // The caller, once the loop has returned.
  void after_loop() { acquire(&after_); }

 private:
  static void release([[maybe_unused]] void* mark) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(mark);
#endif
  }
  static void acquire([[maybe_unused]] void* mark) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(mark);
#endif
  }

  char before_ = 0;
  char after_ = 0;
};

}  // namespace quorvel
