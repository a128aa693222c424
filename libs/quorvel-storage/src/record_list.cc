#include "quorvel/storage/record_list.h"

#include <algorithm>
#include <new>
#include <utility>

#include "float_arena.h"
#include "position_index.h"
#include "record_list_internals.h"

namespace quorvel {
namespace {

// Holes are tolerated up to a quarter of the floats in use, and always up to
// this many, so that small lists are not rebuilt over and over.
constexpr std::size_t kToleratedHoleFloats = 64 * 1024;

// Room for `count` elements, growing geometrically: reserving the exact
// count on every call would copy the column each time.
template <typename Column>
void make_room(Column& column, std::size_t count) {
  if (column.capacity() < count) column.reserve(std::max(count, column.capacity() * 2));
}

}  // namespace

struct RecordList::Storage {
  FloatArena arena;
  PositionIndex index;
};

Record RecordView::to_record() const {
  return Record{std::string(id), std::vector<float>(vector.begin(), vector.end()), metadata, timestamp};
}

RecordList::RecordList() : storage_(std::make_unique<Storage>()) {}
RecordList::RecordList(RecordList&&) noexcept = default;
RecordList& RecordList::operator=(RecordList&&) noexcept = default;
RecordList::~RecordList() = default;

std::optional<std::uint64_t> RecordList::timestamp(std::size_t position) const {
  return timestamps_.empty() ? std::nullopt : timestamps_[position];
}

std::optional<std::size_t> RecordList::find(std::string_view id) const { return storage_->index.find(id, ids_); }

std::span<const float> RecordListInternals::arena(const RecordList& list) {
  return {list.storage_->arena.data(), list.storage_->arena.size()};
}

void RecordList::make_room_for(std::size_t count) {
  make_room(ids_, count);
  make_room(metadata_, count);
  make_room(offsets_, count);
  make_room(lengths_, count);
  if (!timestamps_.empty()) make_room(timestamps_, count);
  storage_->index.reserve(count, ids_);
}

void RecordList::reserve_more(std::size_t entries, std::size_t floats, bool timestamps) {
  const std::size_t count = size() + entries;
  if (timestamps) make_room(timestamps_, count);
  make_room_for(count);
  storage_->arena.reserve_more(floats);
}

void RecordList::append(std::string id, std::span<const float> vector, std::optional<JsonValue> metadata,
                        std::optional<std::uint64_t> timestamp) {
  LoadedEntry entry{std::move(id), vector.size(), std::move(metadata), timestamp};
  RecordListInternals::append_loaded(*this, vector, std::span(&entry, 1));
}

void RecordListInternals::append_loaded(RecordList& list, std::span<const float> floats,
                                        std::span<LoadedEntry> entries) {
  list.make_room_for(list.size() + entries.size());

  std::size_t offset = list.storage_->arena.append(floats);
  list.floats_ = list.storage_->arena.data();
  for (LoadedEntry& entry : entries) {
    list.ids_.push_back(std::move(entry.id));
    list.metadata_.push_back(std::move(entry.metadata));
    list.offsets_.push_back(offset);
    list.lengths_.push_back(static_cast<std::uint32_t>(entry.vector_length));
    list.set_timestamp(list.ids_.size() - 1, entry.timestamp);
    list.storage_->index.assign(list.ids_.back(), list.ids_.size() - 1, list.ids_);
    offset += entry.vector_length;
  }
}

void RecordList::replace(std::size_t position, std::span<const float> vector, std::optional<JsonValue> metadata,
                         std::optional<std::uint64_t> timestamp) {
  const std::size_t old_length = lengths_[position];
  if (vector.size() <= old_length) {
    // The new vector fits where the old one was.
    std::copy(vector.begin(), vector.end(), storage_->arena.data() + offsets_[position]);
    hole_floats_ += old_length - vector.size();
  } else {
    offsets_[position] = storage_->arena.append(vector);
    floats_ = storage_->arena.data();
    hole_floats_ += old_length;
  }
  lengths_[position] = static_cast<std::uint32_t>(vector.size());
  metadata_[position] = std::move(metadata);
  set_timestamp(position, timestamp);
  compact_if_needed();
}

std::size_t RecordList::remove(std::string_view id) {
  std::size_t removed = 0;
  std::size_t kept = 0;
  storage_->index.erase(id, ids_);
  for (std::size_t position = 0; position < size(); ++position) {
    if (ids_[position] == id) {
      hole_floats_ += lengths_[position];
      storage_->index.close_gap(position - removed);
      ++removed;
      continue;
    }
    if (kept != position) {
      ids_[kept] = std::move(ids_[position]);
      metadata_[kept] = std::move(metadata_[position]);
      offsets_[kept] = offsets_[position];
      lengths_[kept] = lengths_[position];
      if (!timestamps_.empty()) timestamps_[kept] = timestamps_[position];
    }
    ++kept;
  }
  ids_.resize(kept);
  metadata_.resize(kept);
  offsets_.resize(kept);
  lengths_.resize(kept);
  if (!timestamps_.empty()) timestamps_.resize(kept);
  if (removed > 0) compact_if_needed();
  return removed;
}

void RecordList::set_timestamp(std::size_t position, std::optional<std::uint64_t> timestamp) {
  if (timestamps_.empty()) {
    if (!timestamp) return;
    timestamps_.resize(size());  // the first timestamp: every entry gets a slot
  } else if (timestamps_.size() < size()) {
    timestamps_.resize(size());
  }
  timestamps_[position] = timestamp;
}

void RecordList::compact_if_needed() {
  const std::size_t in_use = storage_->arena.size() - hole_floats_;
  if (hole_floats_ <= std::max(kToleratedHoleFloats, in_use / 4)) return;
  FloatArena compacted;
  float* out;
  try {
    out = compacted.grow(in_use);
  } catch (const std::bad_alloc&) {
    return;  // No memory for a second arena now: keep the holes until the next change.
  }
  std::size_t offset = 0;
  for (std::size_t position = 0; position < size(); ++position) {
    std::copy_n(storage_->arena.data() + offsets_[position], lengths_[position], out + offset);
    offsets_[position] = offset;
    offset += lengths_[position];
  }
  storage_->arena = std::move(compacted);
  floats_ = storage_->arena.data();
  hole_floats_ = 0;
}

}  // namespace quorvel
