#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace quorvel {

// An allocator whose resize() leaves new elements of trivial types
// unwritten: the levels and the layer-0 array of a graph read back are
// filled from the image by several threads, which then fault their fresh
// pages in side by side instead of one thread zeroing them all first. A
// value given to resize() or assign() is still written.
template <typename T>
struct UnwrittenAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UnwrittenAllocator<U>;
  };
  UnwrittenAllocator() = default;
  template <typename U>
  UnwrittenAllocator(const UnwrittenAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

// The neighbour lists of every node of an HNSW graph, kept by node number.
//
// Layer 0, which every search expands, is stored in one array with a slot
// of fixed size per node number ([count, number, number, ...]) whenever the
// longest possible list is short enough, so that expanding a node reads one
// place in memory; with larger bounds each list is a vector of its own.
// Lists of layers 1 and above, which only nodes of higher levels have, are
// vectors per node and layer. Node numbers are meant to be dense: storage
// grows to one slot per number up to the largest one added.
//
// Not thread-safe: add, append and assign need exclusive access; the
// readers may run concurrently with each other.
class HnswLinks {
 public:
  // Lists on layer 0 never hold more than `longest_layer0` numbers.
  explicit HnswLinks(std::uint64_t longest_layer0);

  // One past the largest node number added (0 while empty).
  std::uint64_t slots() const { return levels_.size(); }

  // Whether `node` has been added.
  bool contains(std::uint64_t node) const { return node < levels_.size() && levels_[node] != kNoNode; }

  // The level of `node`. REQUIRES: contains(node).
  std::uint64_t level(std::uint64_t node) const { return levels_[node]; }

  // The list of `node` on `layer`, empty when the node has no list there.
  // Valid until the next change. REQUIRES: contains(node).
  std::span<const std::uint64_t> list(std::uint64_t node, std::uint64_t layer) const {
    if (layer == 0) {
      if (slot_size_ == 0) return layer0_lists_[node];
      const std::uint64_t* slot = layer0_slots_.data() + node * slot_size_;
      return {slot + 1, static_cast<std::size_t>(slot[0])};
    }
    if (layer > levels_[node]) return {};
    return upper_[node][layer - 1];
  }

  // Asks the processor to bring the list of `node` on layer 0 towards the
  // cache, for a list about to be read. No effect on the lists.
  // REQUIRES: contains(node).
  void prefetch_layer0(std::uint64_t node) const {
    if (slot_size_ == 0) return;
    const char* slot = reinterpret_cast<const char*>(layer0_slots_.data() + node * slot_size_);
    for (std::size_t offset = 0; offset < slot_size_ * sizeof(std::uint64_t); offset += 64) {
      __builtin_prefetch(slot + offset, 0, 3);
    }
  }

  // Adds `node` with `level` + 1 empty lists. REQUIRES: !contains(node).
  // Fails like any container when the sizes cannot be allocated.
  void add(std::uint64_t node, std::uint64_t level);

  // Appends `neighbor` to the list of `node` on `layer`. REQUIRES: the
  // node has that layer, and on layer 0 the list holds fewer than
  // longest_layer0 numbers.
  void append(std::uint64_t node, std::uint64_t layer, std::uint64_t neighbor);

  // Replaces the list of `node` on `layer` by `numbers`, which must not be
  // longer than the list it replaces.
  void assign(std::uint64_t node, std::uint64_t layer, std::span<const std::uint64_t> numbers);

 private:
  friend struct HnswImage;  // writes and reads the lists as they lie (hnsw_image.h)

  static constexpr std::uint64_t kNoNode = std::numeric_limits<std::uint64_t>::max();
  // Fixed slots up to this many numbers (2 KiB a node).
  static constexpr std::uint64_t kLongestSlot = 255;

  std::vector<std::uint64_t, UnwrittenAllocator<std::uint64_t>> levels_;  // kNoNode where no node is
  std::size_t slot_size_ = 0;          // 0: layer 0 lives in layer0_lists_
  std::vector<std::uint64_t, UnwrittenAllocator<std::uint64_t>> layer0_slots_;
  std::vector<std::vector<std::uint64_t>> layer0_lists_;
  std::vector<std::vector<std::vector<std::uint64_t>>> upper_;  // upper_[node][layer - 1]
};

}  // namespace quorvel
