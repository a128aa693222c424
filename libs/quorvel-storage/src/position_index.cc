#include "position_index.h"

#include <algorithm>
#include <bit>

#include "populated.h"

namespace quorvel {

void PositionIndex::assign(std::string_view id, std::size_t position, const Ids& ids) {
  // At most seven tenths full, so that probes stay short.
  if ((size_ + 1) * 10 > slots_.size() * 7) rehash(std::max<std::size_t>(16, slots_.size() * 2), ids);
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t hash = hash_of(id);
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    std::uint64_t& entry = slots_[slot];
    if (entry == kEmpty) {
      entry = held(hash, position);
      ++size_;
      return;
    }
    if ((entry & kTagMask) == tag_of(hash) && ids[entry & kPositionMask] == id) {
      entry = held(hash, position);
      return;
    }
  }
}

void PositionIndex::erase(std::string_view id, const Ids& ids) {
  if (slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t hash = hash_of(id);
  std::size_t slot = hash & mask;
  const auto holds_id = [&](std::uint64_t entry) {
    return (entry & kTagMask) == tag_of(hash) && ids[entry & kPositionMask] == id;
  };
  while (slots_[slot] != kEmpty && !holds_id(slots_[slot])) slot = (slot + 1) & mask;
  if (slots_[slot] == kEmpty) return;
  // Backward-shift deletion: move later members of the probe run into the
  // hole when their home slot does not lie between the hole and them.
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; slots_[next] != kEmpty; next = (next + 1) & mask) {
    const std::size_t home = slot_of(ids[slots_[next] & kPositionMask]);
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (!stays) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = kEmpty;
  --size_;
}

void PositionIndex::rebuild(const Ids& ids) noexcept {
  std::fill(slots_.begin(), slots_.end(), kEmpty);
  size_ = 0;
  if (slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t position = 0; position < ids.size(); ++position) {
    const std::uint64_t hash = hash_of(ids[position]);
    std::size_t slot = hash & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = held(hash, position);
    ++size_;
  }
}

void PositionIndex::reserve(std::size_t count, const Ids& ids) {
  const std::size_t wanted = std::bit_ceil(std::max<std::size_t>(16, count * 10 / 7 + 1));
  if (wanted > slots_.size()) rehash(wanted, ids);
}

void PositionIndex::rehash(std::size_t slot_count, const Ids& ids) {
  Column<std::uint64_t> old = std::move(slots_);
  slots_.clear();
  resize_populated(slots_, slot_count);
  std::fill(slots_.begin(), slots_.end(), kEmpty);
  const std::size_t mask = slot_count - 1;
  for (const std::uint64_t entry : old) {
    if (entry == kEmpty) continue;
    const std::uint64_t hash = hash_of(ids[entry & kPositionMask]);
    std::size_t slot = hash & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = held(hash, entry & kPositionMask);
  }
}

}  // namespace quorvel
