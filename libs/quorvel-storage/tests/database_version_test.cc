// The version that a database file keeps of its table "records": every
// change moves it, whichever program makes it, and nothing else does.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "database.h"
#include "quorvel/storage/record_store.h"
#include "quorvel/testing/database_test.h"
#include "store_test_helpers.h"

namespace quorvel {
namespace {

using testing::file_bytes;
using testing::run_sql;

class DatabaseVersionTest : public testing::DatabaseTest<RecordStore> {
 protected:
  // The version a fresh open of the file sees.
  DatabaseVersion version_now() {
    auto database = Database::open(path_);
    EXPECT_TRUE(database) << database.error().message();
    auto version = (*database)->version();
    EXPECT_TRUE(version && *version) << (version ? "no version" : version.error().message());
    return **version;
  }
};

TEST_F(DatabaseVersionTest, EveryChangeOfTheRecordsMovesItWhoeverMakesIt) {
  const DatabaseVersion created = version_now();
  EXPECT_EQ(created.database_id.size(), 16u);
  EXPECT_EQ(created.stamp.size(), 8u);
  EXPECT_EQ(version_now(), created);  // an open alone changes nothing

  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(Record{"a", {1.0f}, std::nullopt, std::nullopt}));
  }
  DatabaseVersion previous = version_now();
  EXPECT_EQ(previous.database_id, created.database_id);
  EXPECT_EQ(previous.counter, created.counter + 1);
  EXPECT_NE(previous.stamp, created.stamp);

  for (const char* change : {"INSERT INTO records VALUES ('b', '{\"id\":\"b\",\"vector\":[]}')",
                             "UPDATE records SET value = value WHERE id = 'b'", "DELETE FROM records WHERE id = 'b'",
                             "REPLACE INTO records VALUES ('a', '{\"id\":\"a\",\"vector\":[2]}')"}) {
    SCOPED_TRACE(change);
    run_sql(path_, change);
    const DatabaseVersion next = version_now();
    EXPECT_EQ(next.database_id, created.database_id);
    EXPECT_GT(next.counter, previous.counter);
    EXPECT_NE(next.stamp, previous.stamp);
    EXPECT_EQ(next.schema_version, previous.schema_version);
    previous = next;
  }
}

TEST_F(DatabaseVersionTest, WhatCouldHaveLetChangesPassUnseenStartsAnotherVersion) {
  struct Case {
    const char* sql;
    bool new_database_id;
  };
  const Case cases[] = {
      {"DROP TRIGGER records_version_insert", false},
      {"DROP TRIGGER records_version_delete; CREATE TRIGGER records_version_delete AFTER DELETE ON records "
       "BEGIN SELECT 1; END",
       false},
      {"DELETE FROM records_version", true},
      {"INSERT INTO records_version VALUES (x'00', 5, x'01')", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const DatabaseVersion before = version_now();
    run_sql(path_, c.sql);
    const DatabaseVersion after = version_now();
    EXPECT_NE(after, before);
    EXPECT_EQ(after.database_id != before.database_id, c.new_database_id);
    // Made as the store makes it again: the next open sees the same version.
    EXPECT_EQ(version_now(), after);
  }
}

TEST_F(DatabaseVersionTest, OlderFilesGetItAndOnlyOurVersionTableIsAccepted) {
  run_sql(path_,
          "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID;"
          "INSERT INTO records VALUES ('a', '{\"id\":\"a\",\"vector\":[1]}')");
  EXPECT_EQ(version_now().counter, 0u);
  EXPECT_EQ(open_ok().records().size(), 1u);

  // The records dropped by another program: the version table alone is ours.
  run_sql(path_, "DROP TABLE records");
  EXPECT_TRUE(open_ok().records().empty());

  const std::string other = dir_.file("other.db");
  run_sql(other, "CREATE TABLE records_version (n INTEGER)");
  const std::string before = file_bytes(other);
  auto refused = RecordStore::open(other);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "Table error: table records_version has columns (n INTEGER), expected (database_id BLOB NOT NULL, "
            "counter INTEGER NOT NULL, stamp BLOB NOT NULL) (file " + other + ")");
  EXPECT_EQ(file_bytes(other), before);
}

}  // namespace
}  // namespace quorvel
