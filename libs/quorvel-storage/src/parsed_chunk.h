#pragma once

// Records parsed from text on several workers at once, a run of consecutive
// values each, and appended to a record list in order. Each run keeps its
// buffers from one use to the next, so that parsing writes into memory that
// is already mapped, and only the final copy into the list's arena touches
// fresh pages.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "plain_floats.h"
#include "quorvel/json/json_reader.h"
#include "quorvel/storage/record_list.h"
#include "record_list_internals.h"

namespace quorvel {

// What one worker made of a run of consecutive values: their vectors back
// to back, the rest of each record, and the error of the first value that
// did not read, with its index (the values after it are not read).
struct ParsedChunk {
  FloatBlock floats;
  std::vector<LoadedEntry> entries;
  std::optional<JsonError> error;
  std::size_t error_at = 0;

  // Reads values begin to end - 1 with read(index, floats), which appends a
  // value's vector to `floats` and returns the rest of its record.
  template <typename Read>
  void parse(std::size_t begin, std::size_t end, Read read) {
    floats.clear();
    entries.clear();
    error.reset();
    for (std::size_t index = begin; index < end; ++index) {
      auto entry = read(index, floats);
      if (!entry) {
        error = std::move(entry.error());
        error_at = index;
        return;
      }
      entries.push_back(std::move(*entry));
    }
  }
};

// The first chunk of `chunks` holding an error, or null.
const ParsedChunk* first_failed(std::span<const ParsedChunk> chunks);

// Moves every record of `chunks` into `list`, in order, their floats into
// one stretch of the arena.
void append_chunks(RecordList& list, std::span<ParsedChunk> chunks);

}  // namespace quorvel
