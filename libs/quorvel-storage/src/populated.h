#pragma once

// Large buffers made resident in one call before they are first written.
// A page touched for the first time costs a fault, a trap into the kernel
// that a virtual machine makes dear (ten microseconds apiece here); asking
// the kernel to map a whole range at once costs about half of that a page,
// and a transparent huge page costs about as much as one small page for
// 512 of them. Loading a companion file fills columns of hundreds of
// thousands of entries, so their pages are mapped this way first, and
// huge pages are asked for whatever free memory looks like: with memory
// fragmented or nearly all in use, the kernel's reclaim and compaction for
// them cost a tenth of the faults of small pages (a 1.5 GB arena filled in
// 0.3 to 1.1 s on huge pages against 3.1 to 4.5 s on small ones).

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

// A transparent huge page.
inline constexpr std::size_t kHugePage = 2 * 1024 * 1024;

// A fresh private anonymous mapping of `bytes` bytes (a multiple of the
// page size) that begins on a huge page boundary, so that every whole huge
// page of it can be one; MAP_FAILED when it cannot be mapped. Unmapped
// with munmap(data, bytes).
void* map_on_huge_boundary(std::size_t bytes);

// Maps the pages of [data, data + bytes), which nothing has touched yet,
// for writing. A hint that changes no byte.
void populate_pages(const void* data, std::size_t bytes);

// populate_pages(), the whole huge pages inside the range mapped as huge
// pages when the range is large (and the system has them switched on).
// Only for a buffer that is its own mapping and is never remapped as a
// whole (mremap refuses a range that the advice split into parts).
void populate_huge_pages(const void* data, std::size_t bytes);

// `vector` resized to `count` value-initialized elements, its storage mapped
// in one call before the elements are made.
template <typename T, typename Allocator>
void resize_populated(std::vector<T, Allocator>& vector, std::size_t count) {
  if (count > vector.capacity()) {
    vector.reserve(count);
    populate_huge_pages(vector.data(), count * sizeof(T));
  }
  vector.resize(count);
}

}  // namespace quorvel
