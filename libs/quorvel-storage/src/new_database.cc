// RecordStore::write_new: a new database file written in one pass, without
// a journal, with its companion.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database.h"
#include "direct_write_vfs.h"
#include "kept_order.h"
#include "messages.h"
#include "open_errors.h"
#include "quorvel/storage/id_order.h"
#include "quorvel/storage/record_store.h"
#include "record_json.h"
#include "snapshot_format.h"
#include "snapshot_writer.h"

namespace quorvel {
namespace {

namespace messages = storage::messages;

using Kind = StorageError::Kind;

// Records whose JSON forms are made at once on the workers, and the share
// of them that one worker takes at a time.
constexpr std::size_t kRun = 1024;
constexpr std::size_t kPiece = 32;

// The JSON forms of the records [start, start + count) of the list, or for
// each the reason it has none.
struct FormedRun {
  std::size_t start = 0;
  std::size_t count = 0;
  std::vector<std::string> forms;
  std::vector<std::optional<std::string>> problems;
  std::atomic<std::size_t> next_piece{0};  // the next kPiece records a worker takes
};

// A connection to a file that only this one writes, closed on the way out.
struct Connection {
  sqlite3* db = nullptr;
  ~Connection() { sqlite3_close(db); }
};

std::expected<void, StorageError> run(sqlite3* db, const char* sql, Kind kind) { return execute(db, sql, kind); }

std::expected<void, StorageError> sync_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return std::unexpected(StorageError{Kind::Commit, std::strerror(error)});
  }
  ::close(fd);
  return {};
}

}  // namespace

std::expected<void, StorageError> RecordStore::write_new(
    const std::string& path, const RecordList& records, const ParallelFor& parallel_for,
    const std::function<std::unique_ptr<SnapshotAnnex>(const RecordList&)>& annex_of, std::size_t* refused,
    const ProgressReport& progress) {
  // The list is also the companion's, which an open trusts to list the
  // rows in key order: any other order is refused before the file exists.
  if (records.free_slots() != 0 || !ids_strictly_ascending(records)) {
    return std::unexpected(StorageError{Kind::Storage, std::string(messages::kNotInIdOrder)});
  }
  Connection connection;
  const std::string name = path.starts_with('/') ? path : "./" + path;
  // The file's pages gather in large blocks that go to the disk past the
  // page cache (see direct_write_vfs.h); with no such VFS, SQLite's own.
  const std::string vfs = direct_write_vfs();
  if (sqlite3_open_v2(name.c_str(), &connection.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE,
                      vfs.empty() ? nullptr : vfs.c_str()) != SQLITE_OK) {
    if (connection.db == nullptr) return std::unexpected(StorageError{Kind::Database, std::string(messages::kOutOfMemory)});
    return sqlite_failure(Kind::Database, connection.db);
  }
  sqlite3* db = connection.db;
  // No journal and no syncs while the file is written: it is not in place
  // until it is complete and synced, so a crash leaves only a partial file
  // under its own name.
  for (const char* sql : {"PRAGMA page_size=4096", "PRAGMA journal_mode=OFF", "PRAGMA synchronous=OFF",
                          "PRAGMA locking_mode=EXCLUSIVE", "BEGIN"}) {
    if (auto ok = run(db, sql, Kind::Database); !ok) return ok;
  }
  // The version objects come after the rows, so that their triggers do
  // not run for each row.
  if (auto ok = create_records_table(db); !ok) return ok;
  auto put = prepare(db, "INSERT INTO records (id, value) VALUES (?1, ?2)", Kind::Table);
  if (!put) return std::unexpected(std::move(put.error()));

  // Two runs are in flight: while one thread stores run r, the others make
  // the JSON forms of run r + 1, so that SQLite, which stores on one thread
  // only, seldom waits for them.
  FormedRun runs[2];
  const auto form = [&](FormedRun& run, std::size_t start) {
    run.start = start;
    run.count = std::min(kRun, records.size() - start);
    run.forms.resize(run.count);
    run.problems.assign(run.count, std::nullopt);
    run.next_piece.store(0, std::memory_order_relaxed);
  };
  const auto form_pieces = [&](FormedRun& run) {
    for (;;) {
      const std::size_t piece = run.next_piece.fetch_add(1, std::memory_order_relaxed);
      const std::size_t begin = piece * kPiece;
      if (begin >= run.count) return;
      for (std::size_t i = begin; i < std::min(begin + kPiece, run.count); ++i) {
        run.forms[i].clear();
        if (auto ok = append_record_json(run.forms[i], records[run.start + i]); !ok) {
          run.problems[i] = std::move(ok.error());
        }
      }
    }
  };
  // Stores a formed run in order, up to its first problem.
  const auto store = [&](const FormedRun& run) -> std::expected<void, StorageError> {
    for (std::size_t i = 0; i < run.count; ++i) {
      if (run.problems[i]) {
        if (refused != nullptr) *refused = run.start + i;
        return std::unexpected(StorageError{Kind::Serialization, *run.problems[i]});
      }
      const std::string_view id = records.id(run.start + i);
      sqlite3_bind_text64(put->get(), 1, id.data(), id.size(), SQLITE_STATIC, SQLITE_UTF8);
      sqlite3_bind_blob64(put->get(), 2, run.forms[i].data(), run.forms[i].size(), SQLITE_STATIC);
      auto ok = execute(db, put->get(), Kind::Storage);
      sqlite3_clear_bindings(put->get());
      if (!ok) return ok;
    }
    return {};
  };
  if (!records.empty()) {
    form(runs[0], 0);
    parallel_for(kRun / kPiece, [&](std::size_t, std::size_t) { form_pieces(runs[0]); });
  }
  for (std::size_t start = 0, r = 0; start < records.size(); start += kRun, ++r) {
    FormedRun& current = runs[r % 2];
    FormedRun& following = runs[(r + 1) % 2];
    const bool more = start + kRun < records.size();
    if (more) form(following, start + kRun);
    std::expected<void, StorageError> stored;
    // The worker given index 0 stores run r; each, once done with that or
    // at once, helps form run r + 1.
    parallel_for(2, [&](std::size_t begin, std::size_t) {
      if (begin == 0) stored = store(current);
      if (more) form_pieces(following);
    });
    if (!stored) return stored;
    if (progress) progress(start + current.count, records.size());
  }
  *put = Statement();
  if (auto ok = create_version(db); !ok) return ok;
  if (auto ok = run(db, "COMMIT", Kind::Commit); !ok) return ok;
  auto version = read_version(db);
  if (!version) return std::unexpected(std::move(version.error()));
  // Opened as the store opens it, the file is in write-ahead-log mode.
  if (auto ok = run(db, "PRAGMA journal_mode=WAL", Kind::Database); !ok) return ok;
  // What is still gathered reaches the disk now, where a failure can be
  // told: SQLite's close would not report it.
  if (const int rc = sqlite3_file_control(db, "main", kDirectWriteFlush, nullptr); rc != SQLITE_OK && rc != SQLITE_NOTFOUND) {
    return std::unexpected(StorageError{Kind::Commit, sqlite3_errstr(rc)});
  }
  if (sqlite3_close(db) != SQLITE_OK) return sqlite_failure(Kind::Commit, db);
  connection.db = nullptr;
  if (auto ok = sync_file(path); !ok) return ok;

  struct stat status {};
  const mode_t mode = ::stat(path.c_str(), &status) == 0 ? status.st_mode : 0600;
  const std::unique_ptr<SnapshotAnnex> annex = annex_of ? annex_of(records) : nullptr;
  // A companion that cannot be written costs the first open time only.
  if (*version) {
    (void)quorvel::write_snapshot(path + snapshot::kSuffix, path + snapshot::kNewSuffix, mode, records, **version, annex.get(),
                         parallel_for);
  }
  return {};
}

std::expected<void, StorageError> RecordStore::write_new(
    const std::string& path, std::vector<Record> records, const ParallelFor& parallel_for,
    const std::function<std::unique_ptr<SnapshotAnnex>(const RecordList&)>& annex_of, std::size_t* refused,
    const ProgressReport& progress) {
  std::vector<std::size_t> positions(records.size());
  std::iota(positions.begin(), positions.end(), 0);
  const std::vector<std::size_t> kept = kept_in_id_order(
      std::move(positions), [&](std::size_t i) -> const std::string& { return records[i].id; });
  RecordList list;
  std::size_t floats = 0;
  for (const std::size_t i : kept) floats += records[i].vector.size();
  list.reserve_more(kept.size(), floats,
                    std::any_of(kept.begin(), kept.end(), [&](std::size_t i) { return records[i].timestamp.has_value(); }));
  for (const std::size_t i : kept) {
    Record& record = records[i];
    list.append(std::move(record.id), record.vector, std::move(record.metadata), record.timestamp);
    std::vector<float>().swap(record.vector);  // the list holds a copy now
  }
  std::size_t refused_in_list = kept.size();
  auto written = write_new(path, list, parallel_for, annex_of, &refused_in_list, progress);
  if (refused != nullptr && refused_in_list < kept.size()) *refused = kept[refused_in_list];
  return written;
}

}  // namespace quorvel
