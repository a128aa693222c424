#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/json/json_value.h"
#include "quorvel/storage/record.h"

namespace quorvel {

// One entry of a RecordList seen in place. The views stay valid until the
// list changes.
struct RecordView {
  std::string_view id;
  std::span<const float> vector;
  const std::optional<JsonValue>& metadata;
  std::optional<std::uint64_t> timestamp;

  // A deep copy.
  Record to_record() const;
};

// The in-memory record list, held column-wise: per entry its id, metadata
// and timestamp, and every vector in one contiguous arena of floats (an
// offset and a length per entry; any length, empty included). Entries are
// numbered by position, 0 to size() - 1, in list order. Ids are found
// through a hash index kept in step with the list.
//
// The arena stays compact: a vector replaced by a longer one or removed
// leaves a hole, and once the holes exceed a quarter of the floats in use
// (and 64 Ki floats) the arena is rebuilt in position order without them.
//
// Not thread-safe for changes; every const member may run concurrently.
class RecordList {
 public:
  RecordList();
  RecordList(RecordList&&) noexcept;
  RecordList& operator=(RecordList&&) noexcept;
  ~RecordList();

  std::size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }

  // The entry at `position` (REQUIRES: position < size()).
  RecordView operator[](std::size_t position) const {
    return {ids_[position], vector(position), metadata_[position], timestamp(position)};
  }
  std::string_view id(std::size_t position) const { return ids_[position]; }
  std::span<const float> vector(std::size_t position) const {
    return {floats_ + offsets_[position], lengths_[position]};
  }
  const std::optional<JsonValue>& metadata(std::size_t position) const { return metadata_[position]; }
  std::optional<std::uint64_t> timestamp(std::size_t position) const;

  // The position of the entry whose id equals `id` byte for byte, or
  // nothing. (Only a file whose values repeat an id under different keys
  // lists an id twice; then the later entry is found.)
  std::optional<std::size_t> find(std::string_view id) const;

  class Iterator;
  Iterator begin() const;
  Iterator end() const;

  // Makes room for `entries` more entries with `floats` floats in all (and
  // timestamps, when `timestamps`), so that the appends and replacements of
  // that much that follow cannot fail (but for the rebuild that compacts
  // the arena, which is skipped when memory is short). Throws
  // std::bad_alloc.
  void reserve_more(std::size_t entries, std::size_t floats, bool timestamps);

  // Appends an entry; copies `vector`.
  void append(std::string id, std::span<const float> vector, std::optional<JsonValue> metadata,
              std::optional<std::uint64_t> timestamp);

  // Gives the entry at `position` a new vector, metadata and timestamp; its
  // id and position stay.
  void replace(std::size_t position, std::span<const float> vector, std::optional<JsonValue> metadata,
               std::optional<std::uint64_t> timestamp);

  // Removes every entry whose id equals `id`, keeping the order of the
  // others; returns how many there were.
  std::size_t remove(std::string_view id);

 private:
  friend struct RecordListInternals;  // the loader's bulk append, the arena (src/record_list_internals.h)
  struct Storage;                     // the arena and the id index

  void compact_if_needed();
  // Room in every column and in the id index for `count` entries.
  void make_room_for(std::size_t count);
  void set_timestamp(std::size_t position, std::optional<std::uint64_t> timestamp);

  std::vector<std::string> ids_;
  std::vector<std::optional<JsonValue>> metadata_;
  std::vector<std::uint64_t> offsets_;  // where each vector begins in the arena
  std::vector<std::uint32_t> lengths_;  // its number of floats
  // Empty while no entry has a timestamp (most lists never have one);
  // otherwise one per entry.
  std::vector<std::optional<std::uint64_t>> timestamps_;
  std::size_t hole_floats_ = 0;
  std::unique_ptr<Storage> storage_;
  const float* floats_ = nullptr;  // the arena's first float, kept here for vector()
};

// Iterates over the entries in position order, as RecordViews.
class RecordList::Iterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = RecordView;
  using difference_type = std::ptrdiff_t;

  Iterator() = default;
  Iterator(const RecordList* list, std::size_t position) : list_(list), position_(position) {}

  RecordView operator*() const { return (*list_)[position_]; }
  Iterator& operator++() {
    ++position_;
    return *this;
  }
  Iterator operator++(int) {
    Iterator before = *this;
    ++position_;
    return before;
  }
  friend bool operator==(const Iterator&, const Iterator&) = default;

 private:
  const RecordList* list_ = nullptr;
  std::size_t position_ = 0;
};

inline RecordList::Iterator RecordList::begin() const { return Iterator(this, 0); }
inline RecordList::Iterator RecordList::end() const { return Iterator(this, size()); }

}  // namespace quorvel
