#include "quorvel/storage/record_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "messages.h"
#include "record_json.h"
#include "quorvel/testing/database_test.h"
#include "store_test_helpers.h"

namespace quorvel {
namespace {

namespace messages = storage::messages;

using testing::ids_of;
using testing::run_sql;

using Kind = StorageError::Kind;
using testing::TempDir;

// The stored values of the table, in key order.
std::vector<std::string> stored_values(const std::string& path) {
  std::vector<std::string> values;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT value FROM records ORDER BY id", -1, &stmt, nullptr), SQLITE_OK);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    values.emplace_back(static_cast<const char*>(sqlite3_column_blob(stmt, 0)),
                        static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return values;
}

// The record list as plain records, for comparing whole lists.
std::vector<Record> records_of(const RecordStore& store) {
  std::vector<Record> records;
  for (const RecordView& record : store.records()) records.push_back(record.to_record());
  return records;
}

// The entry listed under `id`, as a plain record.
std::optional<Record> find(const RecordStore& store, std::string_view id) {
  const auto position = store.records().find(id);
  if (!position) return std::nullopt;
  return store.records()[*position].to_record();
}

Record record(std::string id, std::int64_t tag = 0) {
  return Record{std::move(id), {1.0f, 2.0f}, JsonValue(tag), std::nullopt};
}

class RecordStoreTest : public testing::DatabaseTest<RecordStore> {};

TEST_F(RecordStoreTest, NewFileStartsEmptyAndStaysASingleFile) {
  { EXPECT_TRUE(open_ok().records().empty()); }
  EXPECT_TRUE(open_ok().records().empty());
  EXPECT_TRUE(stored_values(path_).empty());
  EXPECT_FALSE(std::filesystem::exists(path_ + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(path_ + "-journal"));
}

TEST_F(RecordStoreTest, ReopenLoadsInByteOrderOfIds) {
  {
    RecordStore store = open_ok();
    for (const char* id : {"c", "a", "ab", "B", "\xc3\xa9"}) ASSERT_TRUE(store.insert(record(id)));
    ASSERT_TRUE(store.insert(record(std::string("a\0z", 3))));
    EXPECT_EQ(ids_of(store), (std::vector<std::string>{"c", "a", "ab", "B", "\xc3\xa9", std::string("a\0z", 3)}));
  }
  EXPECT_EQ(ids_of(open_ok()),
            (std::vector<std::string>{"B", "a", std::string("a\0z", 3), "ab", "c", "\xc3\xa9"}));
}

TEST_F(RecordStoreTest, ReinsertReplacesTheEntryWhereItStands) {
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(record("x", 1)));
    ASSERT_TRUE(store.insert(record("y")));
    ASSERT_TRUE(store.insert(record("x", 2)));
    EXPECT_EQ(ids_of(store), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(store.records()[0].metadata, JsonValue(2));
    EXPECT_EQ(store.records().find("x"), 0u);
  }
  EXPECT_EQ(stored_values(path_).front(), R"({"id":"x","vector":[1.0,2.0],"metadata":2,"timestamp":null})");
  RecordStore reopened = open_ok();
  EXPECT_EQ(ids_of(reopened), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(find(reopened, "x")->metadata, JsonValue(2));
}

TEST_F(RecordStoreTest, RemoveKeepsOrderAndPositionsOfTheOthers) {
  RecordStore store = open_ok();
  for (const char* id : {"a", "b", "c", "d"}) ASSERT_TRUE(store.insert(record(id)));
  auto removed = store.remove("b");
  ASSERT_TRUE(removed);
  EXPECT_TRUE(*removed);
  EXPECT_EQ(ids_of(store), (std::vector<std::string>{"a", "c", "d"}));
  for (const char* id : {"a", "c", "d"}) EXPECT_EQ(find(store, id)->id, id);
  EXPECT_EQ(find(store, "b"), std::nullopt);

  auto absent = store.remove("never");
  ASSERT_TRUE(absent);
  EXPECT_FALSE(*absent);
  EXPECT_EQ(ids_of(store), (std::vector<std::string>{"a", "c", "d"}));

  // A new id after a removal lands behind the others and is found.
  ASSERT_TRUE(store.insert(record("b", 9)));
  EXPECT_EQ(find(store, "b")->metadata, JsonValue(9));
  EXPECT_EQ(ids_of(store), (std::vector<std::string>{"a", "c", "d", "b"}));
}

TEST_F(RecordStoreTest, SecondStoreOnALiveFileFailsUntilTheFirstIsDropped) {
  {
    RecordStore first = open_ok();
    auto second = RecordStore::open(path_);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message(), "Database error: database is locked (file " + path_ + ")");
  }
  open_ok();
}

TEST_F(RecordStoreTest, FilesThatAreNoDatabaseOrHaveAnotherTableFailToOpen) {
  {
    std::ofstream(path_) << "this is not a database file, just some text that is long enough";
    auto store = RecordStore::open(path_);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().message(), "Database error: file is not a database (file " + path_ + ")");
  }
  {
    const std::string other = dir_.file("other.sqlite");
    run_sql(other, "CREATE TABLE records (id INTEGER PRIMARY KEY, value TEXT)");
    auto store = RecordStore::open(other);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().kind, Kind::Table);
    EXPECT_EQ(store.error().message(),
              "Table error: table records has columns (id INTEGER PRIMARY KEY, value TEXT), "
              "expected (id TEXT NOT NULL PRIMARY KEY, value BLOB NOT NULL) (file " + other + ")");
  }
  {
    const std::string missing_dir = dir_.file("no/such/dir/db.sqlite");
    auto store = RecordStore::open(missing_dir);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().message(),
              "Database error: unable to open database file: No such file or directory (file " + missing_dir + ")");
  }
  // A path with a NUL in it would name another file.
  {
    const std::string with_nul = dir_.file("a") + std::string(1, '\0') + "b";
    auto store = RecordStore::open(with_nul);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().message(), "Database error: the path holds a NUL character (file " + with_nul + ")");
  }
  // An empty file becomes a new database.
  const std::string empty = dir_.file("empty.sqlite");
  std::ofstream{empty};
  EXPECT_TRUE(RecordStore::open(empty));
}

// Names that SQLite would read as a temporary or in-memory database, or as
// a URI, are files like any other, and keep their records.
TEST_F(RecordStoreTest, EveryPathNamesAFile) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.file(""));
  for (const std::string name : {":memory:", "file::memory:", "file:x.db?mode=memory", "file:y.db"}) {
    {
      auto store = RecordStore::open(name);
      ASSERT_TRUE(store) << name;
      ASSERT_TRUE(store->insert(record("kept")));
    }
    EXPECT_TRUE(std::filesystem::exists(name)) << name;
    auto reopened = RecordStore::open(name);
    ASSERT_TRUE(reopened) << name;
    EXPECT_EQ(ids_of(*reopened), std::vector<std::string>{"kept"}) << name;
  }
  auto empty = RecordStore::open("");
  std::filesystem::current_path(previous);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "Database error: unable to open database file: Is a directory (file )");
}

TEST_F(RecordStoreTest, StoredValuesInOtherReadableFormsLoad) {
  { open_ok(); }  // Creates the table.
  run_sql(path_,
          "INSERT INTO records VALUES ('a', '{\"vector\":[1],\"id\":\"a\",\"extra\":true}');"
          "INSERT INTO records VALUES ('b', '[\"b\",[1,2],null,null]');"
          "INSERT INTO records VALUES ('c', '{\"id\":\"c\",\"vector\":[],\"metadata\":null,\"timestamp\":5}')");
  {
    RecordStore store = open_ok();
    ASSERT_EQ(store.records().size(), 3u);
    EXPECT_EQ(records_of(store), (std::vector<Record>{{"a", {1.0f}, std::nullopt, std::nullopt},
                                                      {"b", {1.0f, 2.0f}, std::nullopt, std::nullopt},
                                                      {"c", {}, std::nullopt, 5}}));
    // The next insert of that id writes all four keys again.
    ASSERT_TRUE(store.insert(Record{"a", {1.0f}, std::nullopt, std::nullopt}));
  }
  EXPECT_EQ(stored_values(path_).front(), R"({"id":"a","vector":[1.0],"metadata":null,"timestamp":null})");
}

// Every value that does not read back fails every open, and the message
// names the row, the file (quoted for a shell in the commands where it needs
// to be) and what lists and rescues such rows.
TEST_F(RecordStoreTest, AnUnreadableStoredValueFailsEveryOpenNamingTheRowAndTheFile) {
  const struct Case {
    const char* value;
    const char* reader_text;
  } cases[] = {
      {R"({"vector":[]})", "missing field `id` at line 1 column 13"},
      {R"({"id":"x","vector":[1,null]})", "invalid type, expected f32 at line 1 column 23"},
      {R"({"id":"x","vector":[],"timestamp":-1})", nullptr},
      {R"({"id":"x","vector":[],"timestamp":1.5})", nullptr},
      {R"({"id":"x","id":"x","vector":[]})", nullptr},
      {R"(["x",[1,2]])", nullptr},
      // Another id than its key: it would load under an id that no delete
      // or insert reaches.
      {R"({"id":"y","vector":[]})", R"(the id "y" differs from the key it is stored under at line 1 column 7)"},
      {R"(["",[]])", R"(the id "" differs from the key it is stored under at line 1 column 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TempDir dir;
    const std::string path = dir.file("it's mine.sqlite");
    // The path in single quotes, its own quote closed, escaped and opened again.
    const std::string word = std::string(1, '\'').append(dir.file("it'\\''s mine.sqlite")).append(1, '\'');
    {
      auto store = RecordStore::open(path);
      ASSERT_TRUE(store);
      ASSERT_TRUE(store->insert(record("a")));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO records VALUES ('x', ?1)", -1, &stmt, nullptr), SQLITE_OK);
    sqlite3_bind_blob(stmt, 1, c.value, static_cast<int>(std::strlen(c.value)), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    const std::string reader_text =
        c.reader_text != nullptr ? c.reader_text : read_record_json(c.value).error().message();
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto store = RecordStore::open(path);
      ASSERT_FALSE(store);
      EXPECT_EQ(store.error().kind, Kind::Serialization);
      EXPECT_EQ(store.error().message(), "Serialization error: " + reader_text + " (record \"x\" in " + path +
                                             "; `quorvel check " + word + "` lists the damaged rows, `quorvel "
                                             "salvage " + word + " NEW` copies the rest into a new file NEW)");
    }
  }
}

TEST_F(RecordStoreTest, ACorruptTableFailsOpenInsteadOfLoadingFewerRecords) {
  {
    RecordStore store = open_ok();
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(store.insert(Record{"id" + std::to_string(i), std::vector<float>(64, 0.5f), {}, {}}));
  }
  // Overwrite a page in the middle of the file, where table rows live. The
  // rows are read when there is no current companion to load from.
  std::filesystem::remove(path_ + "-snapshot");
  const auto size = std::filesystem::file_size(path_);
  {
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(size / 2));
    const std::string garbage(4096, '\xA5');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  auto store = RecordStore::open(path_);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().kind, Kind::Storage) << store.error().message();
}

TEST_F(RecordStoreTest, RecordsWithoutAReadableFormAreRefusedBeforeAnyWrite) {
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(record("a", 1)));
    auto refused = store.insert(Record{"a", {std::nanf("")}, {}, {}});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Serialization error: vector element 0 is NaN, which has no JSON form");
    EXPECT_EQ(records_of(store), (std::vector<Record>{record("a", 1)}));
  }
  EXPECT_EQ(records_of(open_ok()), (std::vector<Record>{record("a", 1)}));
}

// Makes every write beyond `bytes` in any file fail, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(RecordStoreTest, AFailedCommitLeavesFileAndListUnchanged) {
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(record("a", 1)));
    {
      const FileSizeLimit limit(64 * 1024);
      Record big{"b", std::vector<float>(100'000, 0.25f), {}, {}};
      auto failed = store.insert(std::move(big));
      ASSERT_FALSE(failed);
      // The WAL is written at commit, so that is where the full file shows.
      EXPECT_EQ(failed.error().message(), std::string(messages::kCommitPrefix) + "disk I/O error");
      auto replaced = store.insert(Record{"a", std::vector<float>(100'000, 0.5f), JsonValue(2), {}});
      ASSERT_FALSE(replaced);
    }
    EXPECT_EQ(records_of(store), (std::vector<Record>{record("a", 1)}));
    EXPECT_EQ(find(store, "b"), std::nullopt);
    // The store keeps working once space is back.
    ASSERT_TRUE(store.insert(record("c", 3)));
  }
  RecordStore reopened = open_ok();
  EXPECT_EQ(records_of(reopened), (std::vector<Record>{record("a", 1), record("c", 3)}));
}

}  // namespace
}  // namespace quorvel
