#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/storage/column.h"

namespace quorvel {

// A hash index from ids to positions in the record list. It keeps only
// positions (open addressing, linear probing) and reads the ids from the
// list's own column, `ids`, so that no id is held twice. Every call takes
// that column as it stands.
//
// Not thread-safe for changes; lookups may run concurrently.
class PositionIndex {
 public:
  using Ids = Column<std::string>;

  // The position whose id equals `id`, or nothing.
  std::optional<std::size_t> find(std::string_view id, const Ids& ids) const {
    return find(id, ids, [](std::size_t) {});
  }

  // The same, calling `on_candidate(position)` for the position whose id
  // is about to be compared, before it is read: a caller that will read
  // the entry's other columns can start fetching them there, so that their
  // cache misses overlap the id's.
  template <typename OnCandidate>
  std::optional<std::size_t> find(std::string_view id, const Ids& ids, OnCandidate on_candidate) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t hash = hash_of(id);
    const std::uint64_t tag = tag_of(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint64_t held = slots_[slot];
      if (held == kEmpty) return std::nullopt;
      // Only an equal tag sends the lookup to the id column, a cache miss
      // in a large list; another id's tag is equal once in 16 million.
      if ((held & kTagMask) != tag) continue;
      const std::size_t position = held & kPositionMask;
      on_candidate(position);
      if (ids[position] == id) return position;
    }
  }

  // Maps `id` to `position`, replacing the position of an equal id.
  void assign(std::string_view id, std::size_t position, const Ids& ids);

  // Removes `id`, if present.
  void erase(std::string_view id, const Ids& ids);

  // Maps every id of `ids` to its position afresh, after the list moved its
  // entries (the ids are distinct). Keeps the table's size: allocates
  // nothing while it holds at most as many ids as it did.
  void rebuild(const Ids& ids) noexcept;

  // Makes room for `count` ids without rehashing.
  void reserve(std::size_t count, const Ids& ids);

  std::size_t size() const { return size_; }

 private:
  // A slot holds a position in its low 40 bits and, above them, the top 24
  // bits of its id's hash (the tag), or kEmpty. Positions stay far below
  // 2^40 - 1, so no held slot equals kEmpty.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr int kPositionBits = 40;
  static constexpr std::uint64_t kPositionMask = (std::uint64_t{1} << kPositionBits) - 1;
  static constexpr std::uint64_t kTagMask = ~kPositionMask;

  static std::uint64_t hash_of(std::string_view id) { return std::hash<std::string_view>{}(id); }
  static std::uint64_t tag_of(std::uint64_t hash) { return hash & kTagMask; }
  static std::uint64_t held(std::uint64_t hash, std::size_t position) { return tag_of(hash) | position; }
  std::size_t slot_of(std::string_view id) const { return hash_of(id) & (slots_.size() - 1); }
  void rehash(std::size_t slot_count, const Ids& ids);

  Column<std::uint64_t> slots_;  // see kEmpty; the size is a power of two
  std::size_t size_ = 0;
};

}  // namespace quorvel
