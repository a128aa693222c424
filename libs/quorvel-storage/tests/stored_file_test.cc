#include "quorvel/storage/stored_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/storage/record_store.h"
#include "quorvel/testing/database_test.h"
#include "store_test_helpers.h"

namespace quorvel {
namespace {

using testing::file_bytes;
using testing::ids_of;

namespace fs = std::filesystem;

std::vector<std::pair<std::string, std::string>> rows_of(const StoredFile& file) {
  std::vector<std::pair<std::string, std::string>> rows;
  EXPECT_TRUE(file.for_each_row([&](std::string_view key, std::string_view value) {
    rows.emplace_back(key, value);
    return true;
  }));
  return rows;
}

Record record(std::string id, float x) { return Record{std::move(id), {x}, std::nullopt, std::nullopt}; }

class StoredFileTest : public testing::DatabaseTest<RecordStore> {};

TEST_F(StoredFileTest, ReadsEveryRowAsStoredWithoutWritingAndExcludesStores) {
  { ASSERT_TRUE(open_ok().insert(record("b", 2))); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO records VALUES ('a', 'not a record')", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const std::string before = file_bytes(path_);

  auto file = StoredFile::open(path_);
  ASSERT_TRUE(file) << file.error().message();
  EXPECT_EQ(rows_of(*file), (std::vector<std::pair<std::string, std::string>>{
                                {"a", "not a record"},
                                {"b", R"({"id":"b","vector":[2.0],"metadata":null,"timestamp":null})"}}));
  EXPECT_FALSE(read_stored_record("not a record"));
  // A row reads back only under the id it holds; a line alone has no key.
  const std::string stored_b = R"({"id":"b","vector":[2.0],"metadata":null,"timestamp":null})";
  EXPECT_EQ(read_stored_row("b", stored_b), record("b", 2));
  EXPECT_EQ(read_stored_row("c", stored_b).error().message(),
            R"(the id "b" differs from the key it is stored under at line 1 column 7)");
  EXPECT_EQ(read_stored_record(stored_b), record("b", 2));
  const auto facts = file->facts();
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->page_size, 4096u);
  EXPECT_EQ(facts->file_bytes, fs::file_size(path_));
  EXPECT_EQ(facts->journal_mode, "wal");

  // A store and a reader exclude each other, both ways.
  auto store = RecordStore::open(path_);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().message(), "Database error: database is locked (file " + path_ + ")");
  file = std::unexpected(StorageError{});
  EXPECT_EQ(file_bytes(path_), before);
  EXPECT_FALSE(fs::exists(path_ + "-wal"));
}

TEST_F(StoredFileTest, RefusesFilesThatAreMissingOrNotOurs) {
  auto missing = StoredFile::open(dir_.file("missing.db"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "Database error: unable to open database file: No such file or directory "
                                       "(file " + dir_.file("missing.db") + ")");
  EXPECT_FALSE(fs::exists(dir_.file("missing.db")));
  const std::string empty = dir_.file("empty.db");
  std::ofstream{empty};
  auto no_table = StoredFile::open(empty);
  ASSERT_FALSE(no_table);
  EXPECT_EQ(no_table.error().message(), "Table error: the file holds no table records (file " + empty + ")");
}

TEST_F(StoredFileTest, InsertAllCommitsOnceOrNotAtAll) {
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(record("x", 1)));
    std::size_t refused = 99;
    auto failed = store.insert_all({record("y", 1), Record{"z", {std::nanf("")}, {}, {}}, record("w", 1)}, &refused);
    ASSERT_FALSE(failed);
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(failed.error().message(), "Serialization error: vector element 0 is NaN, which has no JSON form");
    EXPECT_EQ(ids_of(store), std::vector<std::string>{"x"});

    // A stored id is replaced where it stands; a repeated one, by its last record.
    ASSERT_TRUE(store.insert_all({record("y", 2), record("x", 3), record("y", 4)}));
    EXPECT_EQ(ids_of(store), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(store.records()[0].to_record(), record("x", 3));
    EXPECT_EQ(store.records()[1].to_record(), record("y", 4));
  }
  RecordStore reopened = open_ok();
  EXPECT_EQ(ids_of(reopened), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(reopened.records()[1].to_record(), record("y", 4));
}

}  // namespace
}  // namespace quorvel
