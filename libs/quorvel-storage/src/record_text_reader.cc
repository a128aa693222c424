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
  std::vector<ParsedChunk> chunks;
};

RecordTextReader::RecordTextReader() : chunks_(std::make_unique<Chunks>()) {}
RecordTextReader::RecordTextReader(RecordTextReader&&) noexcept = default;
RecordTextReader& RecordTextReader::operator=(RecordTextReader&&) noexcept = default;
RecordTextReader::~RecordTextReader() = default;

std::expected<void, RecordTextReader::Refusal> RecordTextReader::append(RecordList& list,
                                                                        std::span<const std::string_view> values,
                                                                        const ParallelFor& parallel_for) {
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
  append_chunks(list, used);
  return {};
}

}  // namespace quorvel
