#include "float_arena.h"

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

std::size_t bytes_of(std::size_t floats) {
  const std::size_t bytes = floats * sizeof(float);
  return (bytes + kStep - 1) / kStep * kStep;
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
    mapped = ::mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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
  // than fault them in one by one (each fault is a trap, dear in a virtual
  // machine). A hint: where the kernel does not know it, the faults come.
  constexpr std::size_t kPopulateFrom = 256 * 1024;  // bytes
  if (count * sizeof(float) >= kPopulateFrom) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(data_ + size_) & ~(page - 1);
    const auto last = reinterpret_cast<std::uintptr_t>(data_ + size_ + count);
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
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
