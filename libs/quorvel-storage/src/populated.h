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
// them cost a third to a tenth of the time that faulting in small pages
// does (bench/README.md, "Huge pages when memory is short").

#include <cstddef>

#include "quorvel/storage/column.h"

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

// `column` resized to `count` value-initialized elements, its storage
// mapped in one call before the elements are made. A column, because a
// large one is a mapping of its own (see column.h), as huge pages need.
template <typename T>
void resize_populated(Column<T>& column, std::size_t count) {
  if (count > column.capacity()) {
    column.reserve(count);
    populate_huge_pages(column.data(), count * sizeof(T));
  }
  column.resize(count);
}

}  // namespace quorvel
