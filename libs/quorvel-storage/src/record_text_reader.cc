#include "quorvel/storage/record_text_reader.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "parsed_chunk.h"
#include "record_json.h"

namespace quorvel {
namespace {

// Values one worker parses into one chunk: enough to make the chunk's copy
// into the arena one large copy, few enough to spread a block over workers.
constexpr std::size_t kChunkValues = 64;

}  // namespace

struct RecordTextReader::Chunks {
  std::vector<ParsedChunk> chunks;  // kept across reads, so that their buffers are mapped once
  std::size_t used = 0;             // the chunks the last read filled
};

RecordTextReader::RecordTextReader() : chunks_(std::make_unique<Chunks>()) {}
RecordTextReader::RecordTextReader(RecordTextReader&&) noexcept = default;
RecordTextReader& RecordTextReader::operator=(RecordTextReader&&) noexcept = default;
RecordTextReader::~RecordTextReader() = default;

std::expected<void, RecordTextReader::Refusal> RecordTextReader::read(std::span<const std::string_view> values,
                                                                      const ParallelFor& parallel_for) {
  chunks_->used = 0;
  const std::size_t count = (values.size() + kChunkValues - 1) / kChunkValues;
  std::vector<ParsedChunk>& chunks = chunks_->chunks;
  if (chunks.size() < count) chunks.resize(count);
  const std::span<ParsedChunk> used = std::span(chunks).first(count);
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t c = begin; c < end; ++c) {
      used[c].parse(c * kChunkValues, std::min(values.size(), (c + 1) * kChunkValues),
                    [&](std::size_t index, FloatBlock& floats) { return read_record_json_into(values[index], floats); });
    }
  });
  if (const ParsedChunk* failed = first_failed(used)) return std::unexpected(Refusal{failed->error_at, *failed->error});
  chunks_->used = count;
  return {};
}

std::size_t RecordTextReader::records() const {
  std::size_t count = 0;
  for (std::size_t c = 0; c < chunks_->used; ++c) count += chunks_->chunks[c].entries.size();
  return count;
}

std::size_t RecordTextReader::floats() const {
  std::size_t count = 0;
  for (std::size_t c = 0; c < chunks_->used; ++c) count += chunks_->chunks[c].floats.size();
  return count;
}

void RecordTextReader::append_to(RecordList& list) {
  append_chunks(list, std::span(chunks_->chunks).first(chunks_->used));
  chunks_->used = 0;
}

}  // namespace quorvel
