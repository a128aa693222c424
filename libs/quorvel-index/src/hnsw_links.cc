#include "hnsw_links.h"

#include <algorithm>

namespace quorvel {

HnswLinks::HnswLinks(std::uint64_t longest_layer0) {
  if (longest_layer0 <= kLongestSlot) slot_size_ = static_cast<std::size_t>(longest_layer0) + 1;
}

void HnswLinks::add(std::uint64_t node, std::uint64_t level) {
  // Sizes that wrap around or exceed what a vector holds are passed on as
  // the largest size, so that the allocation fails instead of coming out
  // small. levels_ grows last: its size is what says the others are grown.
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  const std::size_t slots = node < kHuge ? static_cast<std::size_t>(node) + 1 : kHuge;
  if (levels_.size() < slots) {
    upper_.resize(slots);
    if (slot_size_ != 0) {
      std::size_t values = 0;
      if (__builtin_mul_overflow(slots, slot_size_, &values)) values = kHuge;
      layer0_slots_.resize(values, 0);
    } else {
      layer0_lists_.resize(slots);
    }
    levels_.resize(slots, kNoNode);
  }
  upper_[node].resize(level < kHuge ? static_cast<std::size_t>(level) : kHuge);
  levels_[node] = level;
}

void HnswLinks::append(std::uint64_t node, std::uint64_t layer, std::uint64_t neighbor) {
  if (layer > 0) {
    upper_[node][layer - 1].push_back(neighbor);
  } else if (slot_size_ == 0) {
    layer0_lists_[node].push_back(neighbor);
  } else {
    std::uint64_t* slot = layer0_slots_.data() + node * slot_size_;
    slot[1 + slot[0]] = neighbor;
    ++slot[0];
  }
}

void HnswLinks::assign(std::uint64_t node, std::uint64_t layer, std::span<const std::uint64_t> numbers) {
  if (layer > 0) {
    upper_[node][layer - 1].assign(numbers.begin(), numbers.end());
  } else if (slot_size_ == 0) {
    layer0_lists_[node].assign(numbers.begin(), numbers.end());
  } else {
    std::uint64_t* slot = layer0_slots_.data() + node * slot_size_;
    std::copy(numbers.begin(), numbers.end(), slot + 1);
    slot[0] = numbers.size();
  }
}

}  // namespace quorvel
