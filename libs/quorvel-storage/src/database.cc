#include "database.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "messages.h"

namespace quorvel {
namespace {

namespace messages = storage::messages;

using Kind = StorageError::Kind;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS records "
    "(id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID";

// Every object of the schema but SQLite's own, with a flag for the name
// "records" and one for the version table (SQLite compares names without
// regard to case).
constexpr const char* kListSchema =
    "SELECT type, name, name = 'records' COLLATE NOCASE, name = 'records_version' COLLATE NOCASE "
    "FROM sqlite_schema WHERE name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name";

// The version of the table "records" (see DatabaseVersion): one row, made
// with the table, and a trigger per kind of change that moves it inside the
// changing transaction. The texts are compared with what the schema holds,
// so they are written as SQLite keeps them.
constexpr const char* kCreateVersionTable =
    "CREATE TABLE records_version (database_id BLOB NOT NULL, counter INTEGER NOT NULL, stamp BLOB NOT NULL)";
constexpr const char* kFirstVersion = "INSERT INTO records_version VALUES (randomblob(16), 0, randomblob(8))";
constexpr std::pair<const char*, const char*> kVersionTriggers[] = {
    {"records_version_insert",
     "CREATE TRIGGER records_version_insert AFTER INSERT ON records BEGIN "
     "UPDATE records_version SET counter = counter + 1, stamp = randomblob(8); END"},
    {"records_version_update",
     "CREATE TRIGGER records_version_update AFTER UPDATE ON records BEGIN "
     "UPDATE records_version SET counter = counter + 1, stamp = randomblob(8); END"},
    {"records_version_delete",
     "CREATE TRIGGER records_version_delete AFTER DELETE ON records BEGIN "
     "UPDATE records_version SET counter = counter + 1, stamp = randomblob(8); END"},
};

// The longest path SQLite opens, made absolute: its limit of 512 bytes
// less room for the suffix of a journal.
constexpr std::size_t kLongestPath = 504;

// How many names of another application's objects an error lists.
constexpr std::size_t kForeignNamesShown = 8;

std::unexpected<StorageError> error(Kind kind, std::string detail) {
  return std::unexpected(StorageError{kind, std::move(detail)});
}

std::string column_text(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
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

// The directory that holds the file at `name` (a name from sqlite_file_name).
std::string directory_of(const std::string& name) {
  const std::string directory = std::filesystem::path(name).parent_path().string();
  return directory.empty() ? "/" : directory;
}

// The columns of `table` as "name TYPE [NOT NULL] [PRIMARY KEY], ...".
std::expected<std::string, StorageError> table_shape(sqlite3* db, const std::string& table) {
  auto info = prepare(db, ("PRAGMA table_info(" + table + ")").c_str(), Kind::Table);
  if (!info) return std::unexpected(std::move(info.error()));
  std::string shape;
  int rc;
  while ((rc = sqlite3_step(info->get())) == SQLITE_ROW) {
    if (!shape.empty()) shape += ", ";
    shape += column_text(info->get(), 1) + " " + column_text(info->get(), 2);
    if (sqlite3_column_int(info->get(), 3) != 0) shape += " NOT NULL";
    if (sqlite3_column_int(info->get(), 5) != 0) shape += " PRIMARY KEY";
  }
  if (rc != SQLITE_DONE) return sqlite_failure(Kind::Table, db);
  return shape;
}

// Checks that `table` has exactly the columns `expected`; the error names
// the table and both shapes.
std::expected<void, StorageError> check_table_shape(sqlite3* db, const std::string& table,
                                                    std::string_view expected) {
  auto shape = table_shape(db, table);
  if (!shape) return std::unexpected(std::move(shape.error()));
  if (*shape != expected) {
    return error(Kind::Table, std::string(messages::kTable) + table + std::string(messages::kHasColumns) + *shape +
                                  std::string(messages::kTableExpected) + std::string(expected) + ")");
  }
  return {};
}

// Reads the schema, without writing, and refuses a file that is not ours to
// change: one that holds other data and no table "records" (another
// application's database), or whose "records" is not our table. An empty
// database, and one with our table, pass; so does one that holds only the
// version table (its "records" was dropped).
std::expected<void, StorageError> check_schema(sqlite3* db, bool table_required) {
  // "file is not a database" shows here, when SQLite first reads the file.
  auto list = prepare(db, kListSchema, Kind::Database);
  if (!list) return std::unexpected(std::move(list.error()));
  std::optional<std::string> records_type;
  bool version_table = false;
  std::vector<std::string> others;
  int rc;
  while ((rc = sqlite3_step(list->get())) == SQLITE_ROW) {
    std::string type = column_text(list->get(), 0);
    if (sqlite3_column_int(list->get(), 2) != 0) {
      records_type = std::move(type);
    } else if (sqlite3_column_int(list->get(), 3) != 0 && type == "table") {
      version_table = true;
    } else {
      others.push_back(std::move(type) + " " + column_text(list->get(), 1));
    }
  }
  if (rc != SQLITE_DONE) return sqlite_failure(Kind::Database, db);

  if (records_type && *records_type != "table") {
    return error(Kind::Table, std::string(messages::kRecordsIsA) + *records_type + std::string(messages::kNotATable));
  }
  if (!records_type && !others.empty()) {
    std::string found;
    for (std::size_t i = 0; i < others.size() && i < kForeignNamesShown; ++i) {
      found += (i == 0 ? "" : ", ") + others[i];
    }
    if (others.size() > kForeignNamesShown) found += ", ...";
    return error(Kind::Table, std::string(messages::kForeignData) + found + std::string(messages::kForeignDataEnd));
  }
  if (version_table) {
    if (auto ok = check_table_shape(db, "records_version", messages::kExpectedVersionColumns); !ok) return ok;
  }
  if (records_type) return check_table_shape(db, "records", messages::kExpectedColumns);
  if (table_required) return error(Kind::Table, std::string(messages::kNoRecordsTable));
  return {};
}

// Runs a statement that returns one text, and returns that text.
std::expected<std::string, StorageError> query_text(sqlite3* db, const char* sql, Kind kind) {
  auto stmt = prepare(db, sql, kind);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  const int rc = sqlite3_step(stmt->get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqlite_failure(kind, db);
  return rc == SQLITE_ROW ? column_text(stmt->get(), 0) : std::string();
}

// Runs a statement that returns one integer, and returns it.
std::expected<std::int64_t, StorageError> query_integer(sqlite3* db, const char* sql, Kind kind) {
  auto stmt = prepare(db, sql, kind);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  if (sqlite3_step(stmt->get()) != SQLITE_ROW) return sqlite_failure(kind, db);
  return sqlite3_column_int64(stmt->get(), 0);
}

// The text of the schema object `name`, or "" when there is none.
std::expected<std::string, StorageError> schema_sql(sqlite3* db, const char* name) {
  auto stmt = prepare(db, "SELECT sql FROM sqlite_schema WHERE name = ?1", Kind::Table);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  sqlite3_bind_text(stmt->get(), 1, name, -1, SQLITE_STATIC);
  const int rc = sqlite3_step(stmt->get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqlite_failure(Kind::Table, db);
  return rc == SQLITE_ROW ? column_text(stmt->get(), 0) : std::string();
}

std::string column_bytes(sqlite3_stmt* stmt, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
  return bytes == nullptr ? std::string()
                          : std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

}  // namespace

std::unexpected<StorageError> sqlite_failure(Kind kind, sqlite3* db) {
  using Cause = StorageError::Cause;
  // SQLite names damage and a held lock by its primary result code.
  Cause cause = Cause::Other;
  switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: cause = Cause::Damaged; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: cause = Cause::Locked; break;
    default: break;
  }
  return std::unexpected(StorageError{kind, sqlite3_errmsg(db), cause});
}

std::expected<Statement, StorageError> prepare(sqlite3* db, const char* sql, Kind kind) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    return sqlite_failure(kind, db);
  }
  return Statement(stmt);
}

std::expected<void, StorageError> execute(sqlite3* db, sqlite3_stmt* stmt, Kind kind) {
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE) return sqlite_failure(kind, db);
  return {};
}

std::expected<void, StorageError> execute(sqlite3* db, const char* sql, Kind kind) {
  auto stmt = prepare(db, sql, kind);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  return execute(db, stmt->get(), kind);
}

std::expected<std::unique_ptr<Database>, StorageError> Database::open(const std::string& path) {
  // A NUL would cut the name short and open another file.
  if (path.find('\0') != std::string::npos) return error(Kind::Database, std::string(messages::kPathHoldsNul));
  const std::string name = sqlite_file_name(path);
  std::error_code ignored;
  if (std::filesystem::absolute(name, ignored).lexically_normal().native().size() > kLongestPath) {
    return error(Kind::Database, std::string(messages::kPathTooLong));
  }

  auto lock = FileLock::acquire(name);
  if (!lock) return std::unexpected(std::move(lock.error()));
  // A file that this open created goes again if the open fails before
  // anything is written to it (the target of a link, never the link).
  const std::string created = lock->created_path();
  auto opened = open_locked(name, std::move(*lock), false);
  if (!opened && !created.empty() && std::filesystem::file_size(created, ignored) == 0) {
    (void)::unlink(created.c_str());
  }
  return opened;
}

std::expected<std::unique_ptr<Database>, StorageError> Database::open_to_read(const std::string& path) {
  if (path.find('\0') != std::string::npos) return error(Kind::Database, std::string(messages::kPathHoldsNul));
  const std::string name = sqlite_file_name(path);
  auto lock = FileLock::acquire(name, FileLock::Access::kExisting);
  if (!lock) return std::unexpected(std::move(lock.error()));
  return open_locked(name, std::move(*lock), true);
}

std::expected<std::unique_ptr<Database>, StorageError> Database::open_locked(const std::string& name,
                                                                            FileLock lock, bool read_only) {
  // The write-ahead log is created beside the file; without it no write
  // could be made durable.
  if (::faccessat(AT_FDCWD, directory_of(name).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return error(Kind::Database, std::string(messages::kDirectoryNotWritable) + std::strerror(errno));
  }

  std::unique_ptr<Database> database(new Database(std::move(lock)));
  database->read_only_ = read_only;
  // SQLite reads a file in write-ahead-log mode only through its log, which
  // it must be able to create: a reader opens for writing too.
  const int flags = SQLITE_OPEN_READWRITE | (read_only ? 0 : SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(name.c_str(), &database->db_, flags, nullptr) != SQLITE_OK) {
    if (database->db_ == nullptr) return error(Kind::Database, std::string(messages::kOutOfMemory));
    return sqlite_failure(Kind::Database, database->db_);
  }
  sqlite3* db = database->db_;
  sqlite3_extended_result_codes(db, 1);
  const char* file_name = sqlite3_db_filename(db, "main");
  database->file_name_ = file_name;
  database->log_name_ = sqlite3_filename_wal(file_name);
  if (FileIdentity::of_path(database->file_name_) != database->lock_.identity()) {
    return error(Kind::Database, std::string(messages::kReplacedWhileOpening));
  }
  // SQLite has not read the file yet, so it has not opened a log either. A
  // log that a live connection holds is not ours to take, though its file
  // was deleted or replaced.
  if (FileLock::is_held(database->log_name_)) {
    return std::unexpected(
        StorageError{Kind::Database, std::string(messages::kLocked), StorageError::Cause::Locked});
  }

  // Exclusive locking mode keeps every SQLite lock once taken, so no other
  // program can write between our transactions. The schema is read before
  // anything is written, so that a file we refuse stays as it was.
  if (auto ok = execute(db, "PRAGMA locking_mode=EXCLUSIVE", Kind::Database); !ok) return std::unexpected(ok.error());
  if (auto ok = check_schema(db, read_only); !ok) return std::unexpected(std::move(ok.error()));
  if (read_only) return database;
  if (auto ok = database->set_up(); !ok) return std::unexpected(std::move(ok.error()));
  return database;
}

std::expected<void, StorageError> Database::set_up() {
  // A new file gets 4 KiB pages: every commit writes whole pages to the log,
  // and with larger pages a durable insert ran up to 1.6x slower, while an
  // open took as long (it waits on parsing, not on SQLite's reads). An
  // existing file keeps its page size. WAL under the exclusive lock needs no
  // shared-memory file and one sync per commit; the log is folded back into
  // the file when the connection closes.
  if (auto ok = execute(db_, "PRAGMA page_size=4096", Kind::Database); !ok) return ok;
  auto mode = query_text(db_, "PRAGMA journal_mode=WAL", Kind::Database);
  if (!mode) return std::unexpected(std::move(mode.error()));
  if (*mode != "wal") return error(Kind::Database, std::string(messages::kNoWriteAheadLog));
  // The exclusive transaction takes the exclusive lock now, so that a second
  // connection from elsewhere fails at once rather than at its first write.
  for (const char* sql : {"PRAGMA synchronous=FULL", "BEGIN EXCLUSIVE", "COMMIT"}) {
    if (auto ok = execute(db_, sql, Kind::Database); !ok) return ok;
  }

  for (auto [slot, sql] : {std::pair{&begin_, "BEGIN IMMEDIATE"}, std::pair{&commit_, "COMMIT"},
                           std::pair{&rollback_, "ROLLBACK"}}) {
    auto stmt = prepare(db_, sql, Kind::Database);
    if (!stmt) return std::unexpected(std::move(stmt.error()));
    *slot = std::move(*stmt);
  }
  auto created = write_transaction([this]() -> std::expected<void, StorageError> {
    return create_schema(db_);
  });
  if (!created) return created;
  auto log_lock = FileLock::acquire(log_name_);
  if (!log_lock) return std::unexpected(std::move(log_lock.error()));
  log_lock_ = std::move(*log_lock);

  for (auto [slot, sql] : {std::pair{&put_, "INSERT OR REPLACE INTO records (id, value) VALUES (?1, ?2)"},
                           std::pair{&erase_, "DELETE FROM records WHERE id = ?1"}}) {
    auto stmt = prepare(db_, sql, Kind::Table);
    if (!stmt) return std::unexpected(std::move(stmt.error()));
    *slot = std::move(*stmt);
  }
  return {};
}

std::expected<void, StorageError> create_schema(sqlite3* db) {
  if (auto ok = create_records_table(db); !ok) return ok;
  return create_version(db);
}

std::expected<void, StorageError> create_records_table(sqlite3* db) { return execute(db, kCreateTable, Kind::Table); }

std::expected<void, StorageError> create_version(sqlite3* db_) {
  auto table = schema_sql(db_, "records_version");
  if (!table) return std::unexpected(std::move(table.error()));
  if (table->empty()) {
    if (auto ok = execute(db_, kCreateVersionTable, Kind::Table); !ok) return ok;
    if (auto ok = execute(db_, kFirstVersion, Kind::Table); !ok) return ok;
  } else {
    // Another program may have emptied the table or added rows: the version
    // starts afresh, under a new database_id, so that no companion of an
    // earlier state can match it.
    auto rows = query_integer(db_, "SELECT count(*) FROM records_version", Kind::Table);
    if (!rows) return std::unexpected(std::move(rows.error()));
    if (*rows != 1) {
      if (auto ok = execute(db_, "DELETE FROM records_version", Kind::Table); !ok) return ok;
      if (auto ok = execute(db_, kFirstVersion, Kind::Table); !ok) return ok;
    }
  }
  for (const auto& [name, sql] : kVersionTriggers) {
    auto found = schema_sql(db_, name);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found == sql) continue;
    if (auto ok = execute(db_, ("DROP TRIGGER IF EXISTS " + std::string(name)).c_str(), Kind::Table); !ok) return ok;
    if (auto ok = execute(db_, sql, Kind::Table); !ok) return ok;
  }
  return {};
}

std::expected<std::optional<DatabaseVersion>, StorageError> read_version(sqlite3* db) {
  auto table = schema_sql(db, "records_version");
  if (!table) return std::unexpected(StorageError{Kind::Storage, std::move(table.error().detail)});
  if (table->empty()) return std::nullopt;
  auto select = prepare(db, "SELECT database_id, counter, stamp FROM records_version", Kind::Storage);
  if (!select) return std::unexpected(std::move(select.error()));
  const int rc = sqlite3_step(select->get());
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) return sqlite_failure(Kind::Storage, db);
  DatabaseVersion version;
  version.database_id = column_bytes(select->get(), 0);
  version.counter = static_cast<std::uint64_t>(sqlite3_column_int64(select->get(), 1));
  version.stamp = column_bytes(select->get(), 2);
  auto schema = query_integer(db, "PRAGMA schema_version", Kind::Storage);
  if (!schema) return std::unexpected(std::move(schema.error()));
  version.schema_version = static_cast<std::uint64_t>(*schema);
  return version;
}

std::expected<std::optional<DatabaseVersion>, StorageError> Database::version() const {
  if (!version_select_.get()) {
    // Prepared on first use: a file opened to be read may have no table.
    auto table = schema_sql(db_, "records_version");
    if (!table) return std::unexpected(StorageError{Kind::Storage, std::move(table.error().detail)});
    if (table->empty()) return std::nullopt;
    auto select = prepare(db_, "SELECT database_id, counter, stamp FROM records_version", Kind::Storage);
    if (!select) return std::unexpected(std::move(select.error()));
    auto schema = prepare(db_, "PRAGMA schema_version", Kind::Storage);
    if (!schema) return std::unexpected(std::move(schema.error()));
    version_select_ = std::move(*select);
    schema_select_ = std::move(*schema);
  }
  sqlite3_stmt* select = version_select_.get();
  const int rc = sqlite3_step(select);
  // A table without its row (emptied by another program) tells no version
  // until a store opens the file to write and starts it afresh.
  if (rc == SQLITE_DONE) {
    sqlite3_reset(select);
    return std::nullopt;
  }
  if (rc != SQLITE_ROW) {
    auto failure = sqlite_failure(Kind::Storage, db_);
    sqlite3_reset(select);
    return failure;
  }
  DatabaseVersion version;
  version.database_id = column_bytes(select, 0);
  version.counter = static_cast<std::uint64_t>(sqlite3_column_int64(select, 1));
  version.stamp = column_bytes(select, 2);
  sqlite3_reset(select);
  sqlite3_stmt* schema = schema_select_.get();
  if (sqlite3_step(schema) != SQLITE_ROW) {
    auto failure = sqlite_failure(Kind::Storage, db_);
    sqlite3_reset(schema);
    return failure;
  }
  version.schema_version = static_cast<std::uint64_t>(sqlite3_column_int64(schema, 0));
  sqlite3_reset(schema);
  return version;
}

bool Database::writable_here() const { return !read_only_ && lock_.held_here() && files_unchanged(); }

bool Database::files_unchanged() const {
  return FileIdentity::of_path(file_name_) == lock_.identity() &&
         (!log_lock_ || FileIdentity::of_path(log_name_) == log_lock_->identity());
}

void Database::empty_log() {
  sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

std::expected<void, StorageError> Database::check_writable() {
  if (read_only_) return error(Kind::Transaction, std::string(messages::kOpenedToRead));
  if (!lock_.held_here()) {
    return std::unexpected(StorageError{Kind::Transaction, std::string(messages::kOpenedByAnotherProcess),
                                        StorageError::Cause::ForkedChild});
  }
  std::string_view refusal;
  if (FileIdentity::of_path(file_name_) != lock_.identity()) {
    refusal = messages::kFileReplaced;
  } else if (log_lock_ && FileIdentity::of_path(log_name_) != log_lock_->identity()) {
    refusal = messages::kLogReplaced;
  } else {
    return {};
  }
  empty_log();
  return error(Kind::Transaction, std::string(refusal));
}

Database::~Database() {
  if (db_ == nullptr) return;
  Statement* statements[] = {&begin_, &commit_, &rollback_, &put_, &erase_, &version_select_, &schema_select_};
  if (!lock_.held_here()) {
    // A forked child: closing would checkpoint the parent's log into the
    // file and delete the log under the parent. Leave the connection as it
    // is; the parent owns it.
    for (Statement* statement : statements) statement->abandon();
    return;
  }
  // The file or its log was deleted, moved or replaced while open: fold the
  // log into the file that was opened and empty it, through the
  // connection's own descriptors, and keep SQLite from deleting whatever
  // now bears the log's name; an emptied log that is still ours is removed
  // below. Nothing is left that a later open could replay into another file.
  const bool unchanged = read_only_ || files_unchanged();
  if (!unchanged) {
    empty_log();
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  }
  // Statements first: a connection with live statements does not close.
  for (Statement* statement : statements) *statement = {};
  sqlite3_close(db_);
  if (!unchanged && log_lock_ && FileIdentity::of_path(log_name_) == log_lock_->identity()) {
    (void)::unlink(log_name_.c_str());
  }
}

}  // namespace quorvel
