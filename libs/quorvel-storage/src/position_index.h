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
  std::optional<std::size_t> find(std::string_view id, const Ids& ids) const;

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
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  std::size_t slot_of(std::string_view id) const { return std::hash<std::string_view>{}(id) & (slots_.size() - 1); }
  void rehash(std::size_t slot_count, const Ids& ids);

  Column<std::uint64_t> slots_;  // a position, or kEmpty; the size is a power of two
  std::size_t size_ = 0;
};

}  // namespace quorvel
