#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace quorvel {

namespace column_memory {

// Storage for a column of `bytes` bytes (aligned for any element type).
// A large column gets its own mapping that begins on a 2 MiB boundary and
// asks for transparent huge pages, so that its first writes cost one fault
// per 2 MiB rather than one per 4 KiB; a small one comes from the heap.
// Throws std::bad_alloc.
void* allocate(std::size_t bytes);

// Gives back what allocate(bytes) returned, with the same `bytes`.
void release(void* data, std::size_t bytes) noexcept;

}  // namespace column_memory

// The allocator of the record list's columns (see column_memory).
template <typename T>
struct ColumnAllocator {
  using value_type = T;

  ColumnAllocator() = default;
  template <typename U>
  ColumnAllocator(const ColumnAllocator<U>&) {}

  T* allocate(std::size_t count) {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    return static_cast<T*>(column_memory::allocate(count * sizeof(T)));
  }
  void deallocate(T* data, std::size_t count) noexcept { column_memory::release(data, count * sizeof(T)); }

  template <typename U>
  friend bool operator==(const ColumnAllocator&, const ColumnAllocator<U>&) {
    return true;
  }
};

// A column of the record list: one value per position.
template <typename T>
using Column = std::vector<T, ColumnAllocator<T>>;

}  // namespace quorvel
