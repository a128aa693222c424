#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "file_lock.h"
#include "quorvel/storage/storage_error.h"

namespace quorvel {

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

  // Gives the statement up without finalizing it (see Database's destructor).
  void abandon() { stmt_ = nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Which state of the table "records" a database file holds, as the file
// itself records it: triggers on "records" move `counter` and draw a new
// random `stamp` inside every transaction that changes a row, whichever
// program writes, and `database_id` is drawn once, when the file gets its
// version table. Two states are the same only if all four fields are:
// `schema_version` (SQLite's own counter of schema changes) moves when a
// trigger is dropped or made again, which could have let changes pass
// unseen.
struct DatabaseVersion {
  std::string database_id;
  std::uint64_t counter = 0;
  std::string stamp;
  std::uint64_t schema_version = 0;

  friend bool operator==(const DatabaseVersion&, const DatabaseVersion&) = default;
};

// Creates what the store keeps in a database file where it is missing or
// not as the store makes it: the table "records", and what keeps its
// version (the table records_version with its one row, and the triggers on
// "records"). Run inside a write transaction. Fails with Table.
[[nodiscard]] std::expected<void, StorageError> create_schema(sqlite3* db);
// The two parts of create_schema(): the table "records", and what keeps
// its version (which every change to "records" after it then moves).
[[nodiscard]] std::expected<void, StorageError> create_records_table(sqlite3* db);
[[nodiscard]] std::expected<void, StorageError> create_version(sqlite3* db);

// The version of the records of the database `db` (see Database::version).
[[nodiscard]] std::expected<std::optional<DatabaseVersion>, StorageError> read_version(sqlite3* db);

// A StorageError of `kind` carrying SQLite's current message on `db`.
std::unexpected<StorageError> sqlite_failure(StorageError::Kind kind, sqlite3* db);

// Prepares `sql` once for repeated use; a failure is an error of `kind`.
[[nodiscard]] std::expected<Statement, StorageError> prepare(sqlite3* db, const char* sql,
                                                             StorageError::Kind kind);

// Runs a statement that returns no rows of interest to completion and resets
// it; a failure is an error of `kind`.
[[nodiscard]] std::expected<void, StorageError> execute(sqlite3* db, sqlite3_stmt* stmt,
                                                        StorageError::Kind kind);
[[nodiscard]] std::expected<void, StorageError> execute(sqlite3* db, const char* sql,
                                                        StorageError::Kind kind);

// The open SQLite connection to one database file, and what keeps writes to
// it safe: locks on the file and on its write-ahead log that no other close
// in the process can drop (FileLock), which also tell the identities of
// both as they were opened, and the process that opened them. The log is
// locked as well because it is found by name: a new file at the same path
// must not take over the log of a live connection whose file was deleted or
// replaced.
//
// A write is refused, before anything is written, in a forked child and when
// the path no longer names the file or the log that were opened. Dropping the
// connection in a forked child leaves the parent's files alone; dropping it
// after the file was replaced leaves nothing behind that could be replayed
// into the replacement.
//
// Not thread-safe.
class Database {
 public:
  // Opens or creates the database file at `path` for the record store: takes
  // the lock, refuses a file of another application (tables, and no table
  // "records") or a table "records" of another shape without changing a
  // byte, then sets the file up (4 KiB pages for a new file, write-ahead
  // logging, full syncs, exclusive locking), creates the table when missing
  // and prepares the statements. Fails with Database (cannot open, create,
  // lock or write the file or its directory, or not a database),
  // Transaction, Table or Commit.
  [[nodiscard]] static std::expected<std::unique_ptr<Database>, StorageError> open(const std::string& path);

  // Opens an existing database file for reading its rows: takes the same
  // lock as open() (so a live store and a reader exclude each other),
  // requires our table "records", and changes nothing but what SQLite does
  // on every open (the log of a crash is folded into the file when the
  // connection closes). Every write transaction is refused. Fails with
  // Database or Table.
  [[nodiscard]] static std::expected<std::unique_ptr<Database>, StorageError> open_to_read(
      const std::string& path);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }

  // "INSERT OR REPLACE INTO records (id, value) VALUES (?1, ?2)".
  sqlite3_stmt* put() const { return put_.get(); }
  // "DELETE FROM records WHERE id = ?1".
  sqlite3_stmt* erase() const { return erase_.get(); }

  // The state of the table "records" (see DatabaseVersion), read now; inside
  // a write transaction, the state that committing it makes. Nothing when
  // the file has no version table (a file opened to be read that no store
  // has opened to write since versions were kept). Fails with Storage.
  [[nodiscard]] std::expected<std::optional<DatabaseVersion>, StorageError> version() const;

  // The file's absolute name (symbolic links followed), as SQLite opened it.
  const std::string& file_name() const { return file_name_; }

  // Whether this process may write the file now: it opened it, not to be
  // read only, and the path still names the file and its log as opened.
  bool writable_here() const;

  // Begins a write transaction, runs `write` (which returns
  // std::expected<void, StorageError>), and commits. On any failure the
  // transaction is rolled back, so the file keeps its earlier content.
  // Refused with Transaction, before anything is written, in a forked child
  // or when the file or its log was deleted, moved or replaced.
  template <typename Write>
  [[nodiscard]] std::expected<void, StorageError> write_transaction(Write&& write) {
    if (auto ok = check_writable(); !ok) return ok;
    if (auto ok = execute(db_, begin_.get(), StorageError::Kind::Transaction); !ok) return ok;
    std::expected<void, StorageError> result = write();
    if (result) result = execute(db_, commit_.get(), StorageError::Kind::Commit);
    if (!result && !sqlite3_get_autocommit(db_)) {
      sqlite3_step(rollback_.get());
      sqlite3_reset(rollback_.get());
    }
    return result;
  }

 private:
  explicit Database(FileLock lock) : lock_(std::move(lock)) {}

  // open() and open_to_read() once the file is locked.
  [[nodiscard]] static std::expected<std::unique_ptr<Database>, StorageError> open_locked(
      const std::string& name, FileLock lock, bool read_only);

  [[nodiscard]] std::expected<void, StorageError> set_up();
  // Refuses a write in a forked child, and once the file or its log was
  // deleted, moved or replaced; then the log is emptied first (see
  // empty_log), so that a crash cannot leave it to be replayed into
  // whatever now bears the file's name.
  [[nodiscard]] std::expected<void, StorageError> check_writable();
  bool files_unchanged() const;
  // Folds the log into the file that was opened and truncates it, through
  // the connection's own descriptors.
  void empty_log();

  // Declared first: released after the connection is closed.
  FileLock lock_;
  std::optional<FileLock> log_lock_;  // taken once the log exists
  sqlite3* db_ = nullptr;
  std::string file_name_;  // as SQLite resolved it: absolute, symbolic links followed
  std::string log_name_;   // the write-ahead log beside it
  bool read_only_ = false;
  Statement begin_;
  Statement commit_;
  Statement rollback_;
  Statement put_;
  Statement erase_;
  mutable Statement version_select_;  // prepared by the first version()
  mutable Statement schema_select_;
};

}  // namespace quorvel
