#include "hnsw_links.h"

#include <algorithm>
#include <stdexcept>

#include "messages.h"

namespace quorvel {

HnswLinks::HnswLinks(std::uint64_t longest_layer0, std::uint64_t longest_upper)
    : slot_size_(slot_size_for(longest_layer0)), upper_slot_size_(slot_size_for(longest_upper)) {}

void HnswLinks::add(std::uint64_t node, std::uint64_t level) {
  std::uint64_t upper_count = 0;
  if (node >= kMostSlots || level >= kMostSlots || __builtin_add_overflow(upper_count_, level, &upper_count) ||
      (level > 0 && upper_count > kMostSlots)) {
    throw std::length_error(index::messages::kNodeNumberTooLarge);
  }
  // Sizes that exceed what a vector holds are passed on as the largest
  // size, so that the allocation fails instead of coming out small.
  // levels_ grows last: its size is what says the others are grown.
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  const auto slots = static_cast<std::size_t>(node) + 1;
  if (levels_.size() < slots) {
    first_upper_.resize(slots, 0);
    if (slot_size_ != 0) {
      std::size_t values = 0;
      if (__builtin_mul_overflow(slots, slot_size_, &values)) values = kHuge;
      layer0_slots_.resize(values, 0);
    } else {
      layer0_lists_.resize(slots);
    }
    levels_.resize(slots, kNoNode);
  }
  if (level > 0) {
    if (upper_slot_size_ != 0) {
      std::size_t values = 0;
      if (__builtin_mul_overflow(static_cast<std::size_t>(upper_count), upper_slot_size_, &values)) values = kHuge;
      upper_slots_.resize(values, 0);
    } else {
      upper_lists_.resize(static_cast<std::size_t>(upper_count));
    }
    first_upper_[node] = static_cast<Number>(upper_count_);
    upper_count_ = upper_count;
  }
  levels_[node] = static_cast<Number>(level);
}

void HnswLinks::append(std::uint64_t node, std::uint64_t layer, std::uint64_t neighbor) {
  const auto number = static_cast<Number>(neighbor);
  Number* slot = nullptr;
  if (layer > 0) {
    const std::size_t upper = upper_of(node, layer);
    if (upper_slot_size_ == 0) {
      upper_lists_[upper].push_back(number);
      return;
    }
    slot = upper_slot(upper);
  } else if (slot_size_ == 0) {
    layer0_lists_[node].push_back(number);
    return;
  } else {
    slot = layer0_slots_.data() + node * slot_size_;
  }
  slot[1 + slot[0]] = number;
  ++slot[0];
}

void HnswLinks::assign(std::uint64_t node, std::uint64_t layer, std::span<const std::uint64_t> numbers) {
  const auto narrow = [](std::uint64_t number) { return static_cast<Number>(number); };
  Number* slot = nullptr;
  if (layer > 0) {
    const std::size_t upper = upper_of(node, layer);
    if (upper_slot_size_ == 0) {
      upper_lists_[upper].resize(numbers.size());
      std::ranges::transform(numbers, upper_lists_[upper].begin(), narrow);
      return;
    }
    slot = upper_slot(upper);
  } else if (slot_size_ == 0) {
    layer0_lists_[node].resize(numbers.size());
    std::ranges::transform(numbers, layer0_lists_[node].begin(), narrow);
    return;
  } else {
    slot = layer0_slots_.data() + node * slot_size_;
  }
  std::ranges::transform(numbers, slot + 1, narrow);
  slot[0] = static_cast<Number>(numbers.size());
}

}  // namespace quorvel
