#pragma once

#include <cstddef>
#include <span>

namespace quorvel {

// One contiguous, growable block of floats in its own memory mapping.
//
// Growing moves the mapping's pages (mremap) rather than copying them, so
// filling an arena of gigabytes costs no copy and no peak of twice its
// size. Pages are only touched, and so only become resident, as floats are
// written. An arena mapped large from the start (a first reserve or grow
// of 8 MiB or more) asks for transparent huge pages: under a virtual
// machine writing fresh 4 KiB pages ran ten times slower than writing huge
// ones, even when the kernel first had to reclaim or compact memory for
// them, and streaming through the vectors is faster too (fewer TLB misses).
//
// Pointers into the arena stay valid until it grows or is dropped.
// Not thread-safe for changes; threads may write disjoint ranges of floats
// that grow() has handed out.
class FloatArena {
 public:
  FloatArena() = default;
  FloatArena(FloatArena&& other) noexcept;
  FloatArena& operator=(FloatArena&& other) noexcept;
  FloatArena(const FloatArena&) = delete;
  FloatArena& operator=(const FloatArena&) = delete;
  ~FloatArena();

  // The floats written so far.
  std::size_t size() const { return size_; }
  const float* data() const { return data_; }
  float* data() { return data_; }

  // Extends the arena by `count` floats and returns where they begin, for
  // the caller to fill. Throws std::bad_alloc when memory cannot be mapped.
  float* grow(std::size_t count);

  // grow(), but leaves the new pages to be mapped where they are first
  // written: for a caller that fills them from several threads, which then
  // share the kernel's work of mapping and zeroing them.
  float* grow_unpopulated(std::size_t count);

  // Appends a copy of `floats` and returns the offset where it begins.
  std::size_t append(std::span<const float> floats);

  // Makes room for `count` more floats, so that growing by up to that many
  // neither moves the arena nor fails; a large room is mapped in at once.
  // Throws std::bad_alloc.
  void reserve_more(std::size_t count);

  // Drops every float; keeps nothing mapped.
  void clear();

 private:
  void reserve(std::size_t capacity);
  // Room for `count` more floats, mapped but not populated.
  void make_room(std::size_t count);

  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // floats mapped
};

}  // namespace quorvel
