#include "parsed_chunk.h"

namespace quorvel {

const ParsedChunk* first_failed(std::span<const ParsedChunk> chunks) {
  for (const ParsedChunk& chunk : chunks) {
    if (chunk.error) return &chunk;
  }
  return nullptr;
}

void append_chunks(RecordList& list, std::span<ParsedChunk> chunks) {
  std::size_t entries = 0;
  std::size_t floats = 0;
  bool timestamps = false;
  for (const ParsedChunk& chunk : chunks) {
    entries += chunk.entries.size();
    floats += chunk.floats.size();
    for (const LoadedEntry& entry : chunk.entries) timestamps = timestamps || entry.timestamp.has_value();
  }
  list.reserve_more(entries, floats, timestamps);
  for (ParsedChunk& chunk : chunks) RecordListInternals::append_loaded(list, chunk.floats, chunk.entries);
}

}  // namespace quorvel
