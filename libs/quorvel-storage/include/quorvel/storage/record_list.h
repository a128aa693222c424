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
#include "quorvel/storage/column.h"
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
// offset and a length per entry; any length, empty included). Ids are found
// through a hash index kept in step with the list.
//
// Entries stand at positions (slots) 0 to slot_count() - 1, in list order.
// A removal frees its slot rather than moving every later entry up, so that
// it costs the same whatever the list's length: a free slot holds an empty
// id and vector and no metadata or timestamp, the id index forgets it at
// once, and iteration skips it. New entries are always appended, so list
// order stays load order, then insertion order. compact() closes the free
// slots, keeping the order; positions change only there. The owner calls it
// when compaction_due() says the free slots have grown to a share of the
// list (the engine does, see Engine), so that compaction, which moves every
// entry, costs a constant amount per removal on average.
//
// The arena stays compact too: a vector replaced by a longer one or removed
// leaves a hole, and once the holes exceed a quarter of the floats in use
// (and 64 Ki floats) the arena is rebuilt in position order without them;
// that changes no position.
//
// Not thread-safe for changes; every const member may run concurrently.
class RecordList {
 public:
  RecordList();
  RecordList(RecordList&&) noexcept;
  RecordList& operator=(RecordList&&) noexcept;
  ~RecordList();

  // The number of entries (free slots not counted).
  std::size_t size() const { return ids_.size() - free_slots_; }
  bool empty() const { return size() == 0; }

  // The number of positions, free slots included: every position below it
  // holds an entry or is free.
  std::size_t slot_count() const { return ids_.size(); }
  // The number of free slots.
  std::size_t free_slots() const { return free_slots_; }
  // Whether the slot at `position` (< slot_count()) is free.
  bool is_free(std::size_t position) const { return live_[position] == 0; }
  // Per position, 1 for an entry and 0 for a free slot; empty while no slot
  // is free, so that a scan can take every position without looking.
  std::span<const std::uint8_t> live_marks() const {
    return free_slots_ == 0 ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(live_);
  }

  // The entry at `position` (REQUIRES: position < slot_count()); for a free
  // slot, an empty id and vector without metadata or timestamp.
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
  // nothing (never a free slot).
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

  // Gives the entry at `position` (not a free slot) a new vector, metadata
  // and timestamp; its id and position stay.
  void replace(std::size_t position, std::span<const float> vector, std::optional<JsonValue> metadata,
               std::optional<std::uint64_t> timestamp);

  // Removes the entry whose id equals `id`, if any, freeing its slot: no
  // other entry moves. Returns whether there was one. Allocates nothing
  // (but for the rebuild that compacts the arena, which is skipped when
  // memory is short).
  bool remove(std::string_view id);

  // Whether the free slots have grown past their share: more than a quarter
  // of the entries, and more than kToleratedFreeSlots.
  bool compaction_due() const;

  // Closes every free slot, moving the entries after it up and keeping
  // their order; positions change (an entry moves up by the number of free
  // slots before it), nothing else does. Linear in slot_count(); allocates
  // nothing.
  void compact() noexcept;

  // Free slots that never make compaction due, however short the list.
  static constexpr std::size_t kToleratedFreeSlots = 64;

 private:
  friend struct RecordListInternals;  // the loader's bulk append, the arena (src/record_list_internals.h)
  struct Storage;                     // the arena and the id index

  void compact_if_needed();
  // Room in every column and in the id index for `count` entries.
  void make_room_for(std::size_t count);
  void set_timestamp(std::size_t position, std::optional<std::uint64_t> timestamp);

  Column<std::string> ids_;
  Column<std::optional<JsonValue>> metadata_;
  Column<std::uint64_t> offsets_;  // where each vector begins in the arena
  Column<std::uint32_t> lengths_;  // its number of floats
  // Empty while no entry has a timestamp (most lists never have one);
  // otherwise one per entry.
  Column<std::optional<std::uint64_t>> timestamps_;
  Column<std::uint8_t> live_;  // 1 for an entry, 0 for a free slot
  std::size_t free_slots_ = 0;
  std::size_t hole_floats_ = 0;
  std::unique_ptr<Storage> storage_;
  const float* floats_ = nullptr;  // the arena's first float, kept here for vector()
};

// Iterates over the entries in position order, as RecordViews, skipping
// free slots.
class RecordList::Iterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = RecordView;
  using difference_type = std::ptrdiff_t;

  Iterator() = default;
  // At the first entry at or after `position`.
  Iterator(const RecordList* list, std::size_t position) : list_(list), position_(position) { skip_free(); }

  RecordView operator*() const { return (*list_)[position_]; }
  // The entry's position in the list.
  std::size_t position() const { return position_; }
  Iterator& operator++() {
    ++position_;
    skip_free();
    return *this;
  }
  Iterator operator++(int) {
    Iterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const Iterator&, const Iterator&) = default;

 private:
  void skip_free() {
    if (list_->free_slots_ == 0) return;
    while (position_ < list_->slot_count() && list_->is_free(position_)) ++position_;
  }

  const RecordList* list_ = nullptr;
  std::size_t position_ = 0;
};

inline RecordList::Iterator RecordList::begin() const { return Iterator(this, 0); }
inline RecordList::Iterator RecordList::end() const { return Iterator(this, slot_count()); }

}  // namespace quorvel
