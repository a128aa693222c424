#include "quorvel/storage/record_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "quorvel/storage/messages.h"

namespace quorvel {
namespace {

using Kind = StorageError::Kind;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS records "
    "(id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID";

// Stored values are parsed in batches of this many rows, so that the raw
// bytes of a large file are never all in memory at once.
constexpr std::size_t kLoadBatch = 8192;

std::unexpected<StorageError> fail(Kind kind, sqlite3* db) {
  return std::unexpected(StorageError{kind, sqlite3_errmsg(db)});
}

// A prepared statement, finalized on destruction.
class Statement {
 public:
  Statement() = default;
  explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  Statement(Statement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}
  Statement& operator=(Statement&& other) noexcept {
    std::swap(stmt_, other.stmt_);
    return *this;
  }
  ~Statement() { sqlite3_finalize(stmt_); }

  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::expected<Statement, StorageError> prepare(sqlite3* db, const char* sql, Kind kind) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    return fail(kind, db);
  }
  return Statement(stmt);
}

// Runs a statement that returns no rows of interest to completion.
std::expected<void, StorageError> execute(sqlite3* db, sqlite3_stmt* stmt, Kind kind) {
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE) return fail(kind, db);
  return {};
}

std::expected<void, StorageError> execute(sqlite3* db, const char* sql, Kind kind) {
  auto stmt = prepare(db, sql, kind);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  return execute(db, stmt->get(), kind);
}

std::string column_text(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text),
                                                       static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

// Checks that the table "records" has exactly the columns this store writes.
std::expected<void, StorageError> check_table_shape(sqlite3* db) {
  auto info = prepare(db, "PRAGMA table_info(records)", Kind::Table);
  if (!info) return std::unexpected(std::move(info.error()));
  std::string shape;
  int rc;
  while ((rc = sqlite3_step(info->get())) == SQLITE_ROW) {
    if (!shape.empty()) shape += ", ";
    shape += column_text(info->get(), 1) + " " + column_text(info->get(), 2);
    if (sqlite3_column_int(info->get(), 3) != 0) shape += " NOT NULL";
    if (sqlite3_column_int(info->get(), 5) != 0) shape += " PRIMARY KEY";
  }
  if (rc != SQLITE_DONE) return fail(Kind::Table, db);
  if (shape != messages::kExpectedColumns) {
    return std::unexpected(StorageError{
        Kind::Table, std::string(messages::kTableHasColumns) + shape + std::string(messages::kTableExpected) +
                         std::string(messages::kExpectedColumns) + ")"});
  }
  return {};
}

// The name under which SQLite opens the file at `path`. SQLite reads some
// names as something other than a file: "" is a temporary database and
// ":memory:" one in memory, both gone when the store is, and a name that
// begins with "file:" is a URI whose options may do the same. "./" before a
// relative path names the same file and none of these; an absolute path is
// never read specially.
std::string sqlite_file_name(const std::string& path) {
  return path.starts_with('/') ? path : "./" + path;
}

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
        loaded = fail(Kind::Storage, db);
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

struct RecordStore::Database {
  sqlite3* db = nullptr;
  Statement begin;
  Statement commit;
  Statement rollback;
  Statement put;
  Statement erase;

  ~Database() {
    // Statements first: a connection with live statements does not close.
    begin = {};
    commit = {};
    rollback = {};
    put = {};
    erase = {};
    sqlite3_close(db);
  }

  // Begins a write transaction, runs `write`, and commits; on any failure the
  // transaction is rolled back so that the file keeps its earlier content.
  template <typename Write>
  std::expected<void, StorageError> write_transaction(Write&& write) {
    if (auto ok = execute(db, begin.get(), Kind::Transaction); !ok) return ok;
    std::expected<void, StorageError> result = write();
    if (result) result = execute(db, commit.get(), Kind::Commit);
    if (!result && !sqlite3_get_autocommit(db)) {
      sqlite3_step(rollback.get());
      sqlite3_reset(rollback.get());
    }
    return result;
  }
};

std::expected<RecordStore, StorageError> RecordStore::open(const std::string& path,
                                                           const ParallelFor& parallel_for) {
  // A NUL would cut the name short and open another file.
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(StorageError{Kind::Database, std::string(messages::kPathHoldsNul)});
  }
  auto database = std::make_unique<Database>();
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(sqlite_file_name(path).c_str(), &database->db, flags, nullptr) != SQLITE_OK) {
    if (database->db == nullptr) return std::unexpected(StorageError{Kind::Database, std::string(messages::kOutOfMemory)});
    return fail(Kind::Database, database->db);
  }
  sqlite3* db = database->db;
  sqlite3_extended_result_codes(db, 1);

  // Exclusive locking mode keeps every lock once taken; the write
  // transaction below takes the exclusive lock, so a second store fails here
  // at once. A new file gets 64 KiB pages: a record of a few hundred floats
  // then fits in its b-tree cell instead of a chain of overflow pages, which
  // makes loading many times faster at the same commit rate (an existing
  // file keeps its page size). WAL under the exclusive lock needs no
  // shared-memory file and one sync per commit; the WAL file is folded back
  // into the database when the store closes.
  for (const char* pragma : {"PRAGMA locking_mode=EXCLUSIVE", "PRAGMA page_size=65536",
                             "PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "BEGIN EXCLUSIVE",
                             "COMMIT"}) {
    if (auto ok = execute(db, pragma, Kind::Database); !ok) return std::unexpected(std::move(ok.error()));
  }

  auto prepare_into = [db](Statement& slot, const char* sql) -> std::expected<void, StorageError> {
    auto stmt = prepare(db, sql, Kind::Database);
    if (!stmt) return std::unexpected(std::move(stmt.error()));
    slot = std::move(*stmt);
    return {};
  };
  for (auto [slot, sql] : {std::pair{&database->begin, "BEGIN IMMEDIATE"},
                           std::pair{&database->commit, "COMMIT"},
                           std::pair{&database->rollback, "ROLLBACK"}}) {
    if (auto ok = prepare_into(*slot, sql); !ok) return std::unexpected(std::move(ok.error()));
  }

  // Create the table when missing and check its shape, in one committed write.
  auto created = database->write_transaction([db]() -> std::expected<void, StorageError> {
    if (auto ok = execute(db, kCreateTable, Kind::Table); !ok) return ok;
    return check_table_shape(db);
  });
  if (!created) return std::unexpected(std::move(created.error()));

  for (auto [slot, sql] : {std::pair{&database->put, "INSERT OR REPLACE INTO records (id, value) VALUES (?1, ?2)"},
                           std::pair{&database->erase, "DELETE FROM records WHERE id = ?1"}}) {
    auto stmt = prepare(db, sql, Kind::Table);
    if (!stmt) return std::unexpected(std::move(stmt.error()));
    *slot = std::move(*stmt);
  }

  auto records = load_records(db, parallel_for);
  if (!records) return std::unexpected(std::move(records.error()));
  return RecordStore(std::move(database), std::move(*records));
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
  sqlite3* db = database_->db;
  sqlite3_stmt* put = database_->put.get();
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
  sqlite3* db = database_->db;
  sqlite3_stmt* erase = database_->erase.get();
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
