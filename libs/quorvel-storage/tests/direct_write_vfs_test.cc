#include "direct_write_vfs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "quorvel/testing/temp_dir.h"

namespace quorvel {
namespace {

// A value whose bytes say which key and which version of it they are, of a
// length from a few bytes to two pages.
std::string value_for(std::int64_t key, int version, std::size_t length) {
  std::string value(length, '\0');
  for (std::size_t i = 0; i < length; ++i) value[i] = static_cast<char>((key * 131 + version * 7 + i) % 251);
  return value;
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Writes a new file through `vfs` the way a bulk writer uses it (no journal,
// no syncs, one transaction), but with a cache of a few pages. With keys in
// random order SQLite writes and reads back pages all over the file:
// inside the window, in blocks on their way to the disk, below; with
// ascending keys, as the bulk writer does, it writes mostly at the end.
// Keeps in `expected` what the file must hold. Returns SQLITE_OK, or the
// code of the first failure SQLite reports, where it stops.
enum class Keys { kRandom, kAscending };

// How SQLite lays the file out: its page size, and whether it moves pages
// and cuts the file short at each commit (auto_vacuum).
struct Layout {
  int page_size = 4096;
  bool auto_vacuum = false;
};

int write_file(const std::string& path, const std::string& vfs, std::map<std::int64_t, std::string>& expected,
               Keys keys = Keys::kRandom, Layout layout = {}) {
  sqlite3* db = nullptr;
  if (const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs.c_str());
      rc != SQLITE_OK) {
    sqlite3_close(db);
    return rc;
  }
  bool ok = exec(db, ("PRAGMA page_size=" + std::to_string(layout.page_size)).c_str()) &&
            exec(db, layout.auto_vacuum ? "PRAGMA auto_vacuum=FULL" : "PRAGMA auto_vacuum=NONE");
  for (const char* sql : {"PRAGMA journal_mode=OFF", "PRAGMA synchronous=OFF",
                          "PRAGMA locking_mode=EXCLUSIVE", "PRAGMA cache_size=8", "BEGIN",
                          "CREATE TABLE t (k INTEGER PRIMARY KEY, v BLOB NOT NULL)"}) {
    ok = ok && exec(db, sql);
  }
  sqlite3_stmt* put = nullptr;
  sqlite3_stmt* get = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES (?1, ?2)", -1, &put, nullptr) == SQLITE_OK;
  ok = ok && sqlite3_prepare_v2(db, "SELECT v FROM t WHERE k = ?1", -1, &get, nullptr) == SQLITE_OK;
  std::mt19937 random(7);
  for (int step = 0; ok && step < 3000; ++step) {
    // Random keys: a third of the writes replace a row.
    const std::int64_t key = keys == Keys::kRandom ? random() % 2000 : step;
    const std::string value = value_for(key, step, 10 + random() % 9000);
    sqlite3_bind_int64(put, 1, key);
    sqlite3_bind_blob(put, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    ok = sqlite3_step(put) == SQLITE_DONE;
    sqlite3_reset(put);
    expected[key] = value;
    if (ok && step % 50 == 0) {
      // Some row written before, read back now.
      const auto known = std::next(expected.begin(), static_cast<std::ptrdiff_t>(random() % expected.size()));
      sqlite3_bind_int64(get, 1, known->first);
      ok = sqlite3_step(get) == SQLITE_ROW &&
           std::string(static_cast<const char*>(sqlite3_column_blob(get, 0)), sqlite3_column_bytes(get, 0)) ==
               known->second;
      sqlite3_reset(get);
    }
  }
  sqlite3_finalize(put);
  sqlite3_finalize(get);
  ok = ok && exec(db, "DELETE FROM t WHERE k % 7 = 0") && exec(db, "COMMIT") && exec(db, "PRAGMA journal_mode=WAL");
  std::erase_if(expected, [](const auto& entry) { return entry.first % 7 == 0; });
  int rc = ok ? SQLITE_OK : sqlite3_extended_errcode(db);
  if (ok) rc = sqlite3_file_control(db, "main", kDirectWriteFlush, nullptr);
  sqlite3_close(db);
  return rc;
}

// What a plain connection finds in the file: its integrity check, and the rows.
std::string integrity_of(const std::string& path, std::map<std::int64_t, std::string>& rows) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* statement = nullptr;
  std::string integrity;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
  while (sqlite3_step(statement) == SQLITE_ROW) integrity += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  sqlite3_prepare_v2(db, "SELECT k, v FROM t", -1, &statement, nullptr);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    rows[sqlite3_column_int64(statement, 0)] =
        std::string(static_cast<const char*>(sqlite3_column_blob(statement, 1)), sqlite3_column_bytes(statement, 1));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return integrity;
}

// Writes at the pace of a slow disk, so that SQLite's reads and writes meet
// blocks still on their way.
ssize_t slow_pwrite(int fd, const void* bytes, std::size_t count, off_t offset) {
  ::usleep(2000);
  return ::pwrite(fd, bytes, count, offset);
}

TEST(DirectWriteVfs, FileReadsBackAsWritten) {
  struct Case {
    const char* what;
    DirectWriteShape shape;
    Layout layout = {};
  };
  // Small blocks and a short window put most pages through every path; the
  // default shape holds this file in its window until the end.
  const Case cases[] = {
      {"direct, small blocks", {64 << 10, 2, true}},
      {"through the page cache, small blocks", {64 << 10, 2, false}},
      {"direct, one-page blocks", {4096, 3, true}},
      {"direct, a slow disk", {64 << 10, 2, true, slow_pwrite}},
      {"pages of 1 KiB, cut short at commit", {64 << 10, 2, true}, {1024, true}},
      {"the default shape", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const std::string path = dir.file("new.db");
    const std::string vfs = direct_write_vfs(c.shape);
    ASSERT_FALSE(vfs.empty());
    std::map<std::int64_t, std::string> expected;
    ASSERT_EQ(write_file(path, vfs, expected, Keys::kRandom, c.layout), SQLITE_OK);
    std::map<std::int64_t, std::string> found;
    EXPECT_EQ(integrity_of(path, found), "ok");
    EXPECT_EQ(found, expected);
    EXPECT_EQ(std::filesystem::file_size(path) % static_cast<std::uintmax_t>(c.layout.page_size), 0u);
  }
}

// Where the thread's writes start to fail, in the next test.
off_t failing_from = 0;

ssize_t write_until_full(int fd, const void* bytes, std::size_t count, off_t offset) {
  if (offset + static_cast<off_t>(count) > failing_from) {
    errno = ENOSPC;
    return -1;
  }
  return ::pwrite(fd, bytes, count, offset);
}

// A block the thread fails to write must fail the work that follows, or the
// flush before the close, never pass as written, and a full disk must say
// so; SQLite's own writes, below the window, do not fail here.
TEST(DirectWriteVfs, FailedBlockWriteIsReported) {
  testing::TempDir dir;
  std::map<std::int64_t, std::string> unused;
  ASSERT_EQ(write_file(dir.file("whole.db"), direct_write_vfs(), unused, Keys::kAscending), SQLITE_OK);
  const auto whole = static_cast<off_t>(std::filesystem::file_size(dir.file("whole.db")));
  struct Case {
    const char* what;
    std::size_t block_bytes;
    off_t failing_from;
  };
  const Case cases[] = {
      {"a block half-way", 64 << 10, 256 << 10},
      // The whole file, about 14 MB, fits in two default blocks: only the
      // flush writes.
      {"the last block, written by the flush", DirectWriteShape{}.block_bytes, whole - 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    failing_from = c.failing_from;
    const std::string vfs = direct_write_vfs({c.block_bytes, 2, true, write_until_full});
    ASSERT_FALSE(vfs.empty());
    std::map<std::int64_t, std::string> expected;
    EXPECT_EQ(write_file(dir.file(std::to_string(c.failing_from) + ".db"), vfs, expected, Keys::kAscending),
              SQLITE_FULL);
  }
}

}  // namespace
}  // namespace quorvel
