#include "quorvel/storage/record_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "database.h"

namespace quorvel {
namespace {

using Kind = StorageError::Kind;

// Stored values are parsed in batches of this many rows, so that the raw
// bytes of a large file are never all in memory at once.
constexpr std::size_t kLoadBatch = 8192;

// Stored values of one load batch, back to back in one buffer.
class ValueBatch {
 public:
  void clear() {
    bytes_.clear();
    ends_.clear();
  }
  void add(const void* data, std::size_t size) {
    bytes_.append(data == nullptr ? "" : static_cast<const char*>(data), size);
    ends_.push_back(bytes_.size());
  }
  std::size_t size() const { return ends_.size(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(start, ends_[i] - start);
  }

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;  // value i ends at ends_[i]
};

// Reads every stored record in key order, in one read transaction. Values are
// read in batches on this thread and each batch is parsed with
// `parallel_for`, so the raw bytes of a large file are never all in memory.
std::expected<std::vector<Record>, StorageError> load_records(sqlite3* db, const ParallelFor& parallel_for) {
  auto select = prepare(db, "SELECT value FROM records ORDER BY id", Kind::Table);
  if (!select) return std::unexpected(std::move(select.error()));
  if (auto ok = execute(db, "BEGIN", Kind::Transaction); !ok) return std::unexpected(std::move(ok.error()));

  std::vector<Record> records;
  ValueBatch batch;
  std::vector<std::expected<Record, JsonError>> parsed;
  std::expected<void, StorageError> loaded;
  for (bool done = false; !done && loaded;) {
    batch.clear();
    while (batch.size() < kLoadBatch) {
      const int rc = sqlite3_step(select->get());
      if (rc == SQLITE_DONE) {
        done = true;
        break;
      }
      if (rc != SQLITE_ROW) {
        loaded = sqlite_failure(Kind::Storage, db);
        break;
      }
      batch.add(sqlite3_column_blob(select->get(), 0),
                static_cast<std::size_t>(sqlite3_column_bytes(select->get(), 0)));
    }
    if (!loaded) break;
    parsed.assign(batch.size(), std::unexpected(JsonError{}));
    parallel_for(batch.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) parsed[i] = read_record_json(batch[i]);
    });
    for (auto& result : parsed) {
      if (!result) {
        loaded = std::unexpected(StorageError{Kind::Serialization, result.error().message()});
        break;
      }
      records.push_back(std::move(*result));
    }
  }
  sqlite3_reset(select->get());
  (void)execute(db, "COMMIT", Kind::Transaction);  // Ends a read: nothing to lose.
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return records;
}

}  // namespace

void run_serially(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  if (count > 0) body(0, count);
}

std::expected<RecordStore, StorageError> RecordStore::open(const std::string& path,
                                                           const ParallelFor& parallel_for) {
  auto database = Database::open(path);
  if (!database) return std::unexpected(std::move(database.error()));
  auto records = load_records((*database)->handle(), parallel_for);
  if (!records) return std::unexpected(std::move(records.error()));
  return RecordStore(std::move(*database), std::move(*records));
}

RecordStore::RecordStore(std::unique_ptr<Database> database, std::vector<Record> records)
    : database_(std::move(database)), records_(std::move(records)) {
  rebuild_positions();
}

RecordStore::RecordStore(RecordStore&&) noexcept = default;
RecordStore& RecordStore::operator=(RecordStore&&) noexcept = default;
RecordStore::~RecordStore() = default;

void RecordStore::rebuild_positions() {
  positions_.clear();
  positions_.reserve(records_.size());
  for (std::size_t i = 0; i < records_.size(); ++i) positions_.insert_or_assign(records_[i].id, i);
}

const Record* RecordStore::find(std::string_view id) const {
  const auto it = positions_.find(id);
  return it == positions_.end() ? nullptr : &records_[it->second];
}

std::expected<void, StorageError> RecordStore::insert(Record record) {
  std::string value;
  if (auto ok = append_record_json(value, record); !ok) {
    return std::unexpected(StorageError{Kind::Serialization, std::move(ok.error())});
  }
  sqlite3* db = database_->handle();
  sqlite3_stmt* put = database_->put();
  auto written = database_->write_transaction([&]() -> std::expected<void, StorageError> {
    sqlite3_bind_text64(put, 1, record.id.data(), record.id.size(), SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_blob64(put, 2, value.data(), value.size(), SQLITE_STATIC);
    auto ok = execute(db, put, Kind::Storage);
    sqlite3_clear_bindings(put);
    return ok;
  });
  if (!written) return written;

  // Committed: now the record list. A stored id is replaced where it stands.
  if (const auto it = positions_.find(std::string_view(record.id)); it != positions_.end()) {
    records_[it->second] = std::move(record);
  } else {
    positions_.emplace(record.id, records_.size());
    records_.push_back(std::move(record));
  }
  return {};
}

std::expected<bool, StorageError> RecordStore::remove(std::string_view id) {
  sqlite3* db = database_->handle();
  sqlite3_stmt* erase = database_->erase();
  bool removed = false;
  auto written = database_->write_transaction([&]() -> std::expected<void, StorageError> {
    sqlite3_bind_text64(erase, 1, id.data(), id.size(), SQLITE_STATIC, SQLITE_UTF8);
    auto ok = execute(db, erase, Kind::Storage);
    sqlite3_clear_bindings(erase);
    if (ok) removed = sqlite3_changes(db) > 0;
    return ok;
  });
  if (!written) return std::unexpected(std::move(written.error()));
  if (!removed) return false;

  // Committed: drop every entry with this id in one pass, keeping the order
  // of the others, and shift the positions that lay behind it.
  const auto it = positions_.find(id);
  const bool mapped = it != positions_.end();
  const std::size_t position = mapped ? it->second : 0;
  if (mapped) positions_.erase(it);
  const std::size_t erased =
      std::erase_if(records_, [id](const Record& record) { return record.id == id; });
  if (erased == 1 && mapped) {
    for (auto& entry : positions_) {
      if (entry.second > position) --entry.second;
    }
  } else if (erased > 0) {
    rebuild_positions();  // Only a file whose values repeat an id gets here.
  }
  return true;
}

}  // namespace quorvel
