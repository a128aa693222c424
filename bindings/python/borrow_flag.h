#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace quorvel::python {

// Many readers or one writer over one instance's engine. The flag is 0 when
// free, n when n shared borrows are held, and all ones while the exclusive
// borrow is held. Taking a borrow never waits: a conflicting request fails
// at once, which is what a re-entrant call (Python code running inside an
// argument conversion) needs, since waiting there would never end.
//
// Thread-safe: every access is atomic.
class BorrowFlag {
 public:
  static constexpr std::uint64_t kExclusive = std::numeric_limits<std::uint64_t>::max();

  // Adds a shared borrow; false (flag unchanged) while the exclusive one is
  // held.
  [[nodiscard]] bool try_share() noexcept {
    std::uint64_t current = value_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) return false;
    } while (!value_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  // Takes the exclusive borrow; false (flag unchanged) while any borrow is
  // held.
  [[nodiscard]] bool try_exclude() noexcept {
    std::uint64_t expected = 0;
    return value_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  // Gives back one shared borrow. REQUIRES: one is held.
  void release_shared() noexcept { value_.fetch_sub(1, std::memory_order_release); }
  // Gives back the exclusive borrow. REQUIRES: it is held.
  void release_exclusive() noexcept { value_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// One held borrow, released when the Borrow is destroyed, whatever the path
// out of the method.
class [[nodiscard]] Borrow {
 public:
  // Takes a shared borrow of `flag`; on a conflict raises RuntimeError
  // "Already mutably borrowed" and returns an empty Borrow.
  static Borrow shared(BorrowFlag& flag);
  // Takes the exclusive borrow of `flag`; on a conflict raises RuntimeError
  // "Already borrowed" and returns an empty Borrow.
  static Borrow exclusive(BorrowFlag& flag);

  Borrow(Borrow&& other) noexcept : flag_(other.flag_), exclusive_(other.exclusive_) {
    other.flag_ = nullptr;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow();

  // Whether the borrow was taken.
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  Borrow(BorrowFlag* flag, bool exclusive) noexcept : flag_(flag), exclusive_(exclusive) {}

  BorrowFlag* flag_;
  bool exclusive_;
};

}  // namespace quorvel::python
