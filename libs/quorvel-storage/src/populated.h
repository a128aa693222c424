#pragma once

// Large buffers made resident in one call before they are first written.
// A page touched for the first time costs a fault, a trap into the kernel
// that a virtual machine makes dear (ten to twenty microseconds apiece
// here); asking the kernel to map a whole range at once costs about one
// microsecond a page. Loading a companion file fills columns of hundreds of
// thousands of entries, so their pages are mapped this way first.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

// Maps the pages of [data, data + bytes) for writing, where the system
// supports it; a hint that changes no byte.
inline void populate_pages(const void* data, std::size_t bytes) {
  constexpr std::size_t kWorthIt = 64 * 1024;
  if (bytes < kWorthIt) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
  const auto last = reinterpret_cast<std::uintptr_t>(data) + bytes;
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

// `vector` resized to `count` value-initialized elements, its storage mapped
// in one call before the elements are made.
template <typename T, typename Allocator>
void resize_populated(std::vector<T, Allocator>& vector, std::size_t count) {
  if (count > vector.capacity()) {
    vector.reserve(count);
    populate_pages(vector.data(), count * sizeof(T));
  }
  vector.resize(count);
}

}  // namespace quorvel
