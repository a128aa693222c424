#include "float_arena.h"

#include "populated.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace quorvel {
namespace {

// Mappings grow in steps of this many bytes.
constexpr std::size_t kStep = 2 * 1024 * 1024;
// The first mapping: small arenas stay small.
constexpr std::size_t kFirstCapacity = 64 * 1024 / sizeof(float);

// The arena size from which huge pages are asked for.
constexpr std::size_t kHugeFrom = 8 * 1024 * 1024;

std::size_t bytes_of(std::size_t floats) {
  const std::size_t bytes = floats * sizeof(float);
  return (bytes + kStep - 1) / kStep * kStep;
}

// A fresh mapping of `bytes`; a large one starts on a huge page boundary
// and asks for huge pages.
void* map_fresh(std::size_t bytes) {
  if (bytes < kHugeFrom) {
    return ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  void* mapped = map_on_huge_boundary(bytes);
  if (mapped == MAP_FAILED) return mapped;
  (void)::madvise(mapped, bytes, MADV_HUGEPAGE);
  return mapped;
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
  make_room(count);
  // A large stretch is about to be filled: map its pages in one call rather
  // than fault them in one by one (see populated.h).
  populate_pages(data_ + size_, count * sizeof(float));
}

void FloatArena::make_room(std::size_t count) {
  if (count > capacity_ - size_) reserve(std::max({size_ + count, capacity_ * 2, kFirstCapacity}));
}

float* FloatArena::grow(std::size_t count) {
  reserve_more(count);
  float* start = data_ + size_;
  size_ += count;
  return start;
}

float* FloatArena::grow_unpopulated(std::size_t count) {
  make_room(count);
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
