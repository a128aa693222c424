#include "quorvel/storage/column.h"

#include <sys/mman.h>

#include "populated.h"

namespace quorvel::column_memory {
namespace {

// Columns from this size get a mapping of their own.
constexpr std::size_t kMappedFrom = 1024 * 1024;
constexpr std::size_t kSmallPage = 4096;

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// The bytes mapped for a column of `bytes`: whole huge pages when that
// wastes at most a quarter of them (their pages become resident whole),
// otherwise whole small pages, the tail past the last huge page then kept
// on small pages.
std::size_t mapped_bytes(std::size_t bytes) {
  const std::size_t whole = round_up(bytes, kHugePage);
  return whole - bytes <= bytes / 4 ? whole : round_up(bytes, kSmallPage);
}

}  // namespace

void* allocate(std::size_t bytes) {
  if (bytes < kMappedFrom) return ::operator new(bytes);
  const std::size_t length = mapped_bytes(bytes);
  void* mapped = map_on_huge_boundary(length);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const std::size_t huge = length / kHugePage * kHugePage;
  if (huge > 0) (void)::madvise(mapped, huge, MADV_HUGEPAGE);
  return mapped;
}

void release(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes < kMappedFrom) {
    ::operator delete(data);
    return;
  }
  ::munmap(data, mapped_bytes(bytes));
}

}  // namespace quorvel::column_memory
