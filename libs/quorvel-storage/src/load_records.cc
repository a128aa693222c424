#include "load_records.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database.h"
#include "mapped_allocator.h"
#include "open_errors.h"
#include "parsed_chunk.h"
#include "record_json.h"
#include "record_list_internals.h"

namespace quorvel {
namespace {

using Kind = StorageError::Kind;

// Rows read from SQLite before they are parsed.
constexpr std::size_t kBatchRows = 8192;
// Rows one worker parses into one block: enough to make the block's copy
// into the arena one large copy, few enough to spread a batch over workers.
constexpr std::size_t kChunkRows = 64;

// Rows of one batch, each key followed by its value, back to back in one
// buffer (mapped, so that it leaves nothing resident once the load is done).
class RowBatch {
 public:
  void clear() {
    bytes_.clear();
    ends_.clear();
  }
  void add(sqlite3_stmt* select) {
    for (int column = 0; column < 2; ++column) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select, column));
      if (bytes != nullptr) bytes_.insert(bytes_.end(), bytes, bytes + sqlite3_column_bytes(select, column));
      ends_.push_back(bytes_.size());
    }
  }
  std::size_t size() const { return ends_.size() / 2; }
  std::string_view key(std::size_t row) const { return part(2 * row); }
  std::string_view value(std::size_t row) const { return part(2 * row + 1); }

 private:
  std::string_view part(std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_.data() + start, ends_[i] - start);
  }

  std::vector<char, MappedAllocator<char>> bytes_;
  std::vector<std::size_t> ends_;  // the key of row r ends at ends_[2r], its value at ends_[2r + 1]
};

// Reads up to kBatchRows rows from `select`; `done` is set at the end of
// the table.
std::expected<void, StorageError> read_batch(sqlite3* db, sqlite3_stmt* select, RowBatch& batch, bool& done) {
  batch.clear();
  while (batch.size() < kBatchRows) {
    const int rc = sqlite3_step(select);
    if (rc == SQLITE_DONE) {
      done = true;
      return {};
    }
    if (rc != SQLITE_ROW) return sqlite_failure(Kind::Storage, db);
    batch.add(select);
  }
  return {};
}

// The parsed chunks of one batch, in key order.
using Chunks = std::vector<ParsedChunk>;

// A pipeline of three stages, each step running all three at once on the
// workers: one task reads batch k + 1 from SQLite, one appends the records
// of batch k - 1 to the list, and the others parse batch k, a chunk each.
std::expected<void, StorageError> load_into(RecordList& list, sqlite3* db, sqlite3_stmt* select,
                                            std::string_view path, const ParallelFor& parallel_for) {
  RowBatch batches[2];
  Chunks parsed[2];  // kept across batches, so their blocks are allocated once
  std::size_t parsed_count[2] = {0, 0};
  std::size_t current = 0;
  bool done = false;
  if (auto ok = read_batch(db, select, batches[current], done); !ok) return ok;
  bool appending = false;  // parsed[1 - current] holds a batch waiting to be appended
  while (batches[current].size() > 0) {
    const RowBatch& batch = batches[current];
    RowBatch& next = batches[1 - current];
    Chunks& chunks = parsed[current];
    Chunks& previous = parsed[1 - current];
    next.clear();
    const std::size_t chunk_count = (batch.size() + kChunkRows - 1) / kChunkRows;
    if (chunks.size() < chunk_count) chunks.resize(chunk_count);
    parsed_count[current] = chunk_count;
    bool next_done = done;
    std::expected<void, StorageError> next_read;
    // The first task reads, the last appends, and those between parse a
    // chunk each: the two long tasks at the two ends of the range fall to
    // different workers, and the parsing fills around them.
    const std::size_t last_task = chunk_count + 1;
    parallel_for(last_task + 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t task = begin; task < end; ++task) {
        if (task == 0) {
          if (!done) next_read = read_batch(db, select, next, next_done);
        } else if (task == last_task) {
          if (appending) append_chunks(list, std::span(previous).first(parsed_count[1 - current]));
        } else {
          const std::size_t c = task - 1;
          chunks[c].parse(c * kChunkRows, std::min(batch.size(), (c + 1) * kChunkRows),
                          [&](std::size_t row, FloatBlock& floats) {
                            return read_record_json_into(batch.value(row), floats, batch.key(row));
                          });
        }
      }
    });
    // In key order: the first row that did not read fails the load.
    if (const ParsedChunk* failed = first_failed(std::span(chunks).first(chunk_count))) {
      return std::unexpected(StorageError{
          Kind::Serialization, damaged_row_detail(failed->error->message(), batch.key(failed->error_at), path),
          StorageError::Cause::Damaged});
    }
    if (!next_read) return next_read;
    appending = true;
    done = next_done;
    current = 1 - current;
  }
  if (appending) append_chunks(list, std::span(parsed[1 - current]).first(parsed_count[1 - current]));
  return {};
}

}  // namespace

std::expected<RecordList, StorageError> load_records(sqlite3* db, std::string_view path,
                                                    const ParallelFor& parallel_for) {
  auto select = prepare(db, "SELECT id, value FROM records ORDER BY id", Kind::Table);
  if (!select) return std::unexpected(std::move(select.error()));
  if (auto ok = execute(db, "BEGIN", Kind::Transaction); !ok) return std::unexpected(std::move(ok.error()));
  RecordList list;
  auto loaded = load_into(list, db, select->get(), path, parallel_for);
  sqlite3_reset(select->get());
  (void)execute(db, "COMMIT", Kind::Transaction);  // Ends a read: nothing to lose.
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return list;
}

}  // namespace quorvel
