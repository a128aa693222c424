#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace quorvel {

// An allocator that maps every block straight from the system and unmaps it
// when freed, for large buffers that live only for a while (the batches and
// blocks of loading a file). Such buffers taken from malloc stay resident
// after they are freed, between the small objects allocated meanwhile;
// mapped ones go back to the system at once.
template <typename T>
struct MappedAllocator {
  using value_type = T;

  MappedAllocator() = default;
  template <typename U>
  MappedAllocator(const MappedAllocator<U>&) {}

  T* allocate(std::size_t count) {
    void* block = ::mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t count) { ::munmap(block, count * sizeof(T)); }

  template <typename U>
  friend bool operator==(const MappedAllocator&, const MappedAllocator<U>&) {
    return true;
  }
};

}  // namespace quorvel
