#pragma once

// An allocator for the index's large arrays, which every search reads at
// random places: blocks of 2 MiB and more are aligned to 2 MiB and offered
// to the kernel for transparent huge pages, so that reading them misses the
// address translation caches far less often. Smaller blocks come from the
// ordinary heap. Internal to the index library.

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace quorvel {

template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // rebinding keeps nothing

  T* allocate(std::size_t count) {
    if (count > kLargest / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
    // Only advice: where the kernel gives no huge pages the block works as
    // it is.
    (void)::madvise(block, rounded, MADV_HUGEPAGE);
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    if (count * sizeof(T) < kHugePage) {
      ::operator delete(block);
    } else {
      std::free(block);
    }
  }

  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kLargest = ~std::size_t{0} - kHugePage;
};

}  // namespace quorvel
