#include "populated.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quorvel {
namespace {

// Ranges from which huge pages are asked for.
constexpr std::size_t kHugeFrom = 4 * 1024 * 1024;

}  // namespace

void* map_on_huge_boundary(std::size_t bytes) {
  void* mapped = ::mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return mapped;
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(mapped, aligned - start);
  if (const std::size_t tail = start + kHugePage - aligned; tail > 0) {
    ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  }
  return reinterpret_cast<void*>(aligned);
}

void populate_pages(const void* data, std::size_t bytes) {
  constexpr std::size_t kWorthIt = 64 * 1024;
  if (bytes < kWorthIt) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
  const auto last = reinterpret_cast<std::uintptr_t>(data) + bytes;
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

void populate_huge_pages(const void* data, std::size_t bytes) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const auto last = start + bytes;
  if (bytes >= kHugeFrom) {
    const std::uintptr_t huge_first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t huge_last = last & ~(kHugePage - 1);
    if (huge_last > huge_first) {
      (void)::madvise(reinterpret_cast<void*>(huge_first), huge_last - huge_first, MADV_HUGEPAGE);
    }
  }
  populate_pages(data, bytes);
}

}  // namespace quorvel
