#pragma once

// What the record loader and the tests reach of a RecordList beside its
// public interface. Internal to the storage library.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <vector>

#include "float_arena.h"
#include "quorvel/json/json_value.h"
#include "quorvel/storage/record_list.h"

namespace quorvel {

// Entry data for RecordListInternals::append_loaded(): everything but the
// vector's floats.
struct LoadedEntry {
  std::string id;
  std::size_t vector_length = 0;
  std::optional<JsonValue> metadata;
  std::optional<std::uint64_t> timestamp;
};

struct RecordListInternals {
  // Appends entries to `list` whose vectors lie back to back in `floats`,
  // in order, each as long as its vector_length (which must add up to
  // floats.size()). Takes the entries' contents over.
  static void append_loaded(RecordList& list, std::span<const float> floats, std::span<LoadedEntry> entries);

  // Every vector's floats, for scanning: vector(i) lies inside it, and
  // while the list has no holes the vectors lie back to back in position
  // order.
  static std::span<const float> arena(const RecordList& list);

  // Fills the empty `list` from whole columns: the ids (distinct), metadata
  // and vector lengths of every entry, and their timestamps (empty when none
  // has one). Takes everything over. The list is whole once adopt_floats()
  // has given it the vectors.
  static void adopt(RecordList& list, Column<std::string> ids, Column<std::optional<JsonValue>> metadata,
                    std::span<const std::uint32_t> lengths, Column<std::optional<std::uint64_t>> timestamps);

  // Gives the `list` that adopt() filled its vectors: an arena holding every
  // vector back to back in order, as long as the lengths add up to.
  static void adopt_floats(RecordList& list, FloatArena arena);

  // Puts the entries at the positions `order` names in that order, as
  // positions 0 to order.size() - 1, and drops every other slot: order[i]
  // is the old position of the entry that comes to stand at i. Vectors stay
  // where they are in the arena.
  static void reorder(RecordList& list, std::span<const std::size_t> order);

  // Floats of the arena that no entry uses.
  static std::size_t hole_floats(const RecordList& list) { return list.hole_floats_; }
};

}  // namespace quorvel
