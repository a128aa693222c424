#include "quorvel/storage/record_list.h"

#include <algorithm>
#include <new>
#include <utility>

#include "float_arena.h"
#include "populated.h"
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

namespace {

// Asks for the cache line holding `address`. GCC drops __builtin_prefetch
// in the lookup below, so on x86-64 the instruction is written out.
inline void fetch_line(const void* address) {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

}  // namespace

std::optional<std::size_t> RecordList::find(std::string_view id) const {
  // A found entry is mostly read next (its vector above all): its columns
  // and vector are fetched while the id is compared, so that the cache
  // misses of a lookup in a large list overlap instead of following one
  // another.
  //
  // The vector's place is first guessed, without waiting for its offset to
  // arrive: when every vector has the first one's length and they lie in
  // position order, as after an open, entry p's starts at p times that
  // length. A wrong guess costs only the lines fetched in vain; the place
  // the offset gives is fetched as well when it differs.
  return storage_->index.find(id, ids_, [this](std::size_t position) {
    fetch_line(&metadata_[position]);
    if (!timestamps_.empty()) fetch_line(&timestamps_[position]);
    const std::size_t length = lengths_[0];
    const auto fetch_vector = [this](std::size_t offset, std::size_t count) {
      const char* const first = reinterpret_cast<const char*>(floats_ + offset);
      const char* const end = reinterpret_cast<const char*>(floats_ + offset + count);
      for (const char* line = first; line < end; line += 64) fetch_line(line);
    };
    if (position * length < storage_->arena.size()) fetch_vector(position * length, length);
    if (offsets_[position] != position * length) fetch_vector(offsets_[position], lengths_[position]);
  });
}

std::span<const float> RecordListInternals::arena(const RecordList& list) {
  return {list.storage_->arena.data(), list.storage_->arena.size()};
}

void RecordList::make_room_for(std::size_t count) {
  make_room(ids_, count);
  make_room(metadata_, count);
  make_room(offsets_, count);
  make_room(lengths_, count);
  make_room(live_, count);
  if (!timestamps_.empty()) make_room(timestamps_, count);
  storage_->index.reserve(count, ids_);
}

void RecordList::reserve_more(std::size_t entries, std::size_t floats, bool timestamps) {
  const std::size_t count = slot_count() + entries;
  if (timestamps) make_room(timestamps_, count);
  make_room_for(count);
  storage_->arena.reserve_more(floats);
  // The arena may have moved; vector() reads through this pointer, also
  // before (or without) the appends that follow.
  floats_ = storage_->arena.data();
}

void RecordList::append(std::string id, std::span<const float> vector, std::optional<JsonValue> metadata,
                        std::optional<std::uint64_t> timestamp) {
  LoadedEntry entry{std::move(id), vector.size(), std::move(metadata), timestamp};
  RecordListInternals::append_loaded(*this, vector, std::span(&entry, 1));
}

void RecordListInternals::append_loaded(RecordList& list, std::span<const float> floats,
                                        std::span<LoadedEntry> entries) {
  list.make_room_for(list.slot_count() + entries.size());

  std::size_t offset = list.storage_->arena.append(floats);
  list.floats_ = list.storage_->arena.data();
  for (LoadedEntry& entry : entries) {
    list.ids_.push_back(std::move(entry.id));
    list.metadata_.push_back(std::move(entry.metadata));
    list.offsets_.push_back(offset);
    list.lengths_.push_back(static_cast<std::uint32_t>(entry.vector_length));
    list.live_.push_back(1);
    list.set_timestamp(list.ids_.size() - 1, entry.timestamp);
    list.storage_->index.assign(list.ids_.back(), list.ids_.size() - 1, list.ids_);
    offset += entry.vector_length;
  }
}

void RecordListInternals::adopt(RecordList& list, Column<std::string> ids, Column<std::optional<JsonValue>> metadata,
                                std::span<const std::uint32_t> lengths, Column<std::optional<std::uint64_t>> timestamps) {
  const std::size_t count = ids.size();
  list.ids_ = std::move(ids);
  list.metadata_ = std::move(metadata);
  resize_populated(list.lengths_, count);
  std::copy(lengths.begin(), lengths.end(), list.lengths_.begin());
  resize_populated(list.offsets_, count);
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < count; ++i) {
    list.offsets_[i] = offset;
    offset += lengths[i];
  }
  list.timestamps_ = std::move(timestamps);
  resize_populated(list.live_, count);
  std::fill(list.live_.begin(), list.live_.end(), 1);
  list.free_slots_ = 0;
  list.hole_floats_ = 0;
  list.storage_->index.reserve(count, list.ids_);
  list.storage_->index.rebuild(list.ids_);
}

void RecordListInternals::adopt_floats(RecordList& list, FloatArena arena) {
  list.storage_->arena = std::move(arena);
  list.floats_ = list.storage_->arena.data();
}

void RecordListInternals::reorder(RecordList& list, std::span<const std::size_t> order) {
  Column<std::string> ids(order.size());
  Column<std::optional<JsonValue>> metadata(order.size());
  Column<std::uint64_t> offsets(order.size());
  Column<std::uint32_t> lengths(order.size());
  Column<std::optional<std::uint64_t>> timestamps(list.timestamps_.empty() ? 0 : order.size());
  std::size_t used = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t from = order[i];
    ids[i] = std::move(list.ids_[from]);
    metadata[i] = std::move(list.metadata_[from]);
    offsets[i] = list.offsets_[from];
    lengths[i] = list.lengths_[from];
    used += lengths[i];
    if (!timestamps.empty()) timestamps[i] = list.timestamps_[from];
  }
  list.ids_ = std::move(ids);
  list.metadata_ = std::move(metadata);
  list.offsets_ = std::move(offsets);
  list.lengths_ = std::move(lengths);
  list.timestamps_ = std::move(timestamps);
  list.live_.assign(order.size(), 1);
  list.free_slots_ = 0;
  list.hole_floats_ = list.storage_->arena.size() - used;
  // The table was sized for at least as many ids: it only needs filling.
  list.storage_->index.rebuild(list.ids_);
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

bool RecordList::remove(std::string_view id) {
  const std::optional<std::size_t> found = find(id);
  if (!found) return false;
  const std::size_t position = *found;
  storage_->index.erase(id, ids_);  // while the id is still in its column
  hole_floats_ += lengths_[position];
  lengths_[position] = 0;
  std::string().swap(ids_[position]);  // gives the id's memory back
  metadata_[position].reset();
  if (!timestamps_.empty()) timestamps_[position].reset();
  live_[position] = 0;
  ++free_slots_;
  compact_if_needed();
  return true;
}

bool RecordList::compaction_due() const {
  return free_slots_ > std::max(kToleratedFreeSlots, size() / 4);
}

void RecordList::compact() noexcept {
  if (free_slots_ == 0) return;
  std::size_t kept = 0;
  for (std::size_t position = 0; position < slot_count(); ++position) {
    if (live_[position] == 0) continue;
    if (kept != position) {
      ids_[kept] = std::move(ids_[position]);
      metadata_[kept] = std::move(metadata_[position]);
      offsets_[kept] = offsets_[position];
      lengths_[kept] = lengths_[position];
      if (!timestamps_.empty()) timestamps_[kept] = timestamps_[position];
    }
    ++kept;
  }
  // Shrinking keeps every column's capacity: nothing is allocated.
  ids_.resize(kept);
  metadata_.resize(kept);
  offsets_.resize(kept);
  lengths_.resize(kept);
  if (!timestamps_.empty()) timestamps_.resize(kept);
  live_.assign(kept, 1);
  free_slots_ = 0;
  storage_->index.rebuild(ids_);
}

void RecordList::set_timestamp(std::size_t position, std::optional<std::uint64_t> timestamp) {
  if (timestamps_.empty()) {
    if (!timestamp) return;
    timestamps_.resize(slot_count());  // the first timestamp: every entry gets one
  } else if (timestamps_.size() < slot_count()) {
    timestamps_.resize(slot_count());
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
  for (std::size_t position = 0; position < slot_count(); ++position) {
    std::copy_n(storage_->arena.data() + offsets_[position], lengths_[position], out + offset);
    offsets_[position] = offset;
    offset += lengths_[position];
  }
  storage_->arena = std::move(compacted);
  floats_ = storage_->arena.data();
  hole_floats_ = 0;
}

}  // namespace quorvel
