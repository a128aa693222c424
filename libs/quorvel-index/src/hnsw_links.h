#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "quorvel/index/hnsw_index.h"

namespace quorvel {

// An allocator whose resize() leaves new elements of trivial types
// unwritten: the arrays of a graph read back (levels, first upper lists,
// the slots of every layer) are filled from the image as it is read, which
// then faults their fresh pages in once instead of after a pass that
// zeroes them first. A value given to resize() or assign() is still
// written.
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
// Node numbers and levels are held in 32 bits: a list costs half the memory
// and half the cache lines it would in 64, and every search reads lists.
// Numbers stay below kMostSlots, so a graph holds at most that many node
// slots (add() refuses more).
//
// Layer 0, which every search expands, is stored in one array with a slot
// of fixed size per node number ([count, number, number, ...]) whenever the
// longest possible list is short enough, so that expanding a node reads one
// place in memory; with larger bounds each list is a vector of its own.
// Lists of layers 1 and above, which only nodes of higher levels have, are
// numbered in the order their nodes were added: a node's lists follow one
// another from its first one (first_upper_), each a fixed slot of one
// shared pool when the longest upper list is short enough, else a vector
// of its own. Node numbers are meant to be dense: storage grows to one slot
// per number up to the largest one added.
//
// Not thread-safe: add, append and assign need exclusive access; the
// readers may run concurrently with each other.
class HnswLinks {
 public:
  // A number as the lists hold it.
  using Number = std::uint32_t;
  // One more than the largest node number the lists can hold; also the
  // level that marks a slot without a node.
  static constexpr std::uint64_t kMostSlots = kHnswMostSlots;
  static_assert(kMostSlots == std::numeric_limits<Number>::max());

  // Lists on layer 0 never hold more than `longest_layer0` numbers, lists
  // above it never more than `longest_upper`.
  HnswLinks(std::uint64_t longest_layer0, std::uint64_t longest_upper);

  // One past the largest node number added (0 while empty).
  std::uint64_t slots() const { return levels_.size(); }

  // Whether `node` has been added.
  bool contains(std::uint64_t node) const { return node < levels_.size() && levels_[node] != kNoNode; }

  // The level of `node`. REQUIRES: contains(node).
  std::uint64_t level(std::uint64_t node) const { return levels_[node]; }

  // The list of `node` on `layer`, empty when the node has no list there.
  // Valid until the next change. REQUIRES: contains(node).
  std::span<const Number> list(std::uint64_t node, std::uint64_t layer) const {
    if (layer == 0) {
      if (slot_size_ == 0) return layer0_lists_[node];
      const Number* slot = layer0_slots_.data() + node * slot_size_;
      return {slot + 1, static_cast<std::size_t>(slot[0])};
    }
    if (layer > levels_[node]) return {};
    const std::size_t upper = upper_of(node, layer);
    if (upper_slot_size_ == 0) return upper_lists_[upper];
    const Number* slot = upper_slots_.data() + upper * upper_slot_size_;
    return {slot + 1, static_cast<std::size_t>(slot[0])};
  }

  // Asks the processor to bring the list of `node` on layer 0 towards the
  // cache, for a list about to be read. No effect on the lists.
  // REQUIRES: contains(node).
  void prefetch_layer0(std::uint64_t node) const {
    if (slot_size_ == 0) return;
    const char* slot = reinterpret_cast<const char*>(layer0_slots_.data() + node * slot_size_);
    for (std::size_t offset = 0; offset < slot_size_ * sizeof(Number); offset += 64) {
      __builtin_prefetch(slot + offset, 0, 3);
    }
  }

  // Adds `node` with `level` + 1 empty lists. REQUIRES: !contains(node).
  // Throws std::length_error when `node` is not below kMostSlots, when
  // `level` is not below kMostSlots or when the upper lists would pass
  // kMostSlots; otherwise fails like any container when the sizes cannot
  // be allocated.
  void add(std::uint64_t node, std::uint64_t level);

  // Appends `neighbor` to the list of `node` on `layer`. REQUIRES: the
  // node has that layer, `neighbor` is a node, and the list holds fewer
  // numbers than its longest.
  void append(std::uint64_t node, std::uint64_t layer, std::uint64_t neighbor);

  // Replaces the list of `node` on `layer` by `numbers` (nodes), which must
  // not be longer than the list's longest.
  void assign(std::uint64_t node, std::uint64_t layer, std::span<const std::uint64_t> numbers);

 private:
  friend struct HnswImage;  // writes and reads the lists as they lie (hnsw_image.h)

  static constexpr Number kNoNode = std::numeric_limits<Number>::max();
  // Fixed slots up to this many numbers (1 KiB a list).
  static constexpr std::uint64_t kLongestSlot = 255;

  // The count word and numbers of a fixed slot, or nothing when lists of
  // `longest` numbers live in vectors of their own.
  static std::size_t slot_size_for(std::uint64_t longest) {
    return longest <= kLongestSlot ? static_cast<std::size_t>(longest) + 1 : 0;
  }

  // Where the list of `node` on `layer` (1 or above, at most its level)
  // lies among the lists of layers 1 and above.
  std::size_t upper_of(std::uint64_t node, std::uint64_t layer) const {
    return static_cast<std::size_t>(first_upper_[node] + (layer - 1));
  }

  // The list `upper` of layers 1 and above, to change.
  Number* upper_slot(std::size_t upper) { return upper_slots_.data() + upper * upper_slot_size_; }

  std::vector<Number, UnwrittenAllocator<Number>> levels_;  // kNoNode where no node is
  std::size_t slot_size_ = 0;          // 0: layer 0 lives in layer0_lists_
  std::vector<Number, UnwrittenAllocator<Number>> layer0_slots_;
  std::vector<std::vector<Number>> layer0_lists_;
  // By node number: the number of the node's list on layer 1 (0 for nodes
  // of level 0); its lists on the layers above follow it.
  std::vector<Number, UnwrittenAllocator<Number>> first_upper_;
  std::uint64_t upper_count_ = 0;      // lists of layers 1 and above
  std::size_t upper_slot_size_ = 0;    // 0: those lists live in upper_lists_
  std::vector<Number, UnwrittenAllocator<Number>> upper_slots_;
  std::vector<std::vector<Number>> upper_lists_;
};

}  // namespace quorvel
