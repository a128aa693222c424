#include "float_arena.h"

#include "populated.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <utility>

namespace quorvel {
namespace {

// Mappings grow in steps of this many bytes.
constexpr std::size_t kStep = 2 * 1024 * 1024;
// The first mapping: small arenas stay small.
constexpr std::size_t kFirstCapacity = 64 * 1024 / sizeof(float);

// A transparent huge page, and the arena size from which one is asked for.
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kHugeFrom = 8 * 1024 * 1024;

std::size_t bytes_of(std::size_t floats) {
  const std::size_t bytes = floats * sizeof(float);
  return (bytes + kStep - 1) / kStep * kStep;
}

// Whether free memory holds `bytes` in whole huge pages now, so that huge
// pages come without compaction: the free blocks of 2 MiB and larger that
// /proc/buddyinfo lists ("Node 0, zone Normal <free blocks of order 0> ...
// <order 10>"), and transparent huge pages not switched off.
bool huge_pages_at_hand(std::size_t bytes) {
  std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  if (!std::getline(enabled, modes) || modes.find("[never]") != std::string::npos) return false;
  constexpr std::size_t kHugeOrder = 9;  // 2 MiB in 4 KiB pages
  std::ifstream buddies("/proc/buddyinfo");
  std::string line;
  std::size_t huge_pages = 0;
  while (std::getline(buddies, line)) {
    std::istringstream fields(line.substr(std::min(line.size(), line.find("zone") + 4)));
    std::string zone;
    fields >> zone;
    std::size_t count = 0;
    for (std::size_t order = 0; fields >> count; ++order) {
      if (order >= kHugeOrder) huge_pages += count << (order - kHugeOrder);
    }
  }
  return huge_pages * kHugePage >= 2 * bytes;  // leave room for everyone else
}

// A fresh mapping of `bytes`, starting on a huge page boundary and asking
// for huge pages when they are at hand.
void* map_fresh(std::size_t bytes) {
  if (bytes < kHugeFrom || !huge_pages_at_hand(bytes)) {
    return ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  void* mapped = ::mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return mapped;
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(mapped, aligned - start);
  if (const std::size_t tail = start + kHugePage - aligned; tail > 0) {
    ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  }
  (void)::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

FloatArena::FloatArena(FloatArena&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FloatArena& FloatArena::operator=(FloatArena&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  return *this;
}

FloatArena::~FloatArena() { clear(); }

void FloatArena::clear() {
  if (data_ != nullptr) ::munmap(data_, bytes_of(capacity_));
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

void FloatArena::reserve(std::size_t capacity) {
  const std::size_t new_bytes = bytes_of(capacity);
  void* mapped;
  if (data_ == nullptr) {
    mapped = map_fresh(new_bytes);
  } else {
    mapped = ::mremap(data_, bytes_of(capacity_), new_bytes, MREMAP_MAYMOVE);
  }
  if (mapped == MAP_FAILED) throw std::bad_alloc();

  data_ = static_cast<float*>(mapped);
  capacity_ = new_bytes / sizeof(float);
}

void FloatArena::reserve_more(std::size_t count) {
  if (count > capacity_ - size_) reserve(std::max({size_ + count, capacity_ * 2, kFirstCapacity}));
  // A large stretch is about to be filled: map its pages in one call rather
  // than fault them in one by one (see populated.h).
  populate_pages(data_ + size_, count * sizeof(float));
}

float* FloatArena::grow(std::size_t count) {
  reserve_more(count);
  float* start = data_ + size_;
  size_ += count;
  return start;
}

std::size_t FloatArena::append(std::span<const float> floats) {
  const std::size_t offset = size_;
  if (!floats.empty()) std::memcpy(grow(floats.size()), floats.data(), floats.size_bytes());
  return offset;
}

}  // namespace quorvel
