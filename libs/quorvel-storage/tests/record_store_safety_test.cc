// What the store refuses so that nothing acknowledged is lost and nothing
// that is not ours is changed: files of other applications, files deleted
// or replaced while open, and writes from a forked child.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "messages.h"
#include "quorvel/storage/record_store.h"
#include "quorvel/testing/database_test.h"
#include "store_test_helpers.h"

namespace quorvel {
namespace {

namespace messages = storage::messages;

using testing::file_bytes;
using testing::ids_of;
using testing::run_sql;

using Kind = StorageError::Kind;
namespace fs = std::filesystem;

Record record(std::string id) { return Record{std::move(id), {1.0f, 2.0f}, std::nullopt, std::nullopt}; }

class RecordStoreSafetyTest : public testing::DatabaseTest<RecordStore> {};

TEST_F(RecordStoreSafetyTest, FilesOfOtherApplicationsAreRefusedAndLeftAsTheyWere) {
  struct Case {
    const char* schema;
    std::string message;
  };
  const Case cases[] = {
      {"CREATE TABLE users (name TEXT); CREATE TABLE orders (n INTEGER); CREATE VIEW recent AS SELECT 1",
       "Table error: the file holds no table records but other data (table orders, view recent, table "
       "users): it belongs to another application"},
      {"CREATE VIEW Records AS SELECT 1 AS id", "Table error: records is a view, not a table"},
      {"CREATE TABLE records (id INTEGER PRIMARY KEY, value TEXT)",
       "Table error: table records has columns (id INTEGER PRIMARY KEY, value TEXT), expected (id TEXT NOT "
       "NULL PRIMARY KEY, value BLOB NOT NULL)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.schema);
    const std::string path = dir_.file("other.sqlite");
    fs::remove(path);
    run_sql(path, c.schema);
    const std::string before = file_bytes(path);
    auto store = RecordStore::open(path);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().kind, Kind::Table);
    EXPECT_EQ(store.error().message(), c.message + " (file " + path + ")");
    EXPECT_EQ(file_bytes(path), before);
    EXPECT_FALSE(fs::exists(path + "-wal"));
  }
}

TEST_F(RecordStoreSafetyTest, OurTableBesideOthersAndEmptyDatabasesOpen) {
  run_sql(path_,
          "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID;"
          "CREATE TABLE notes (text TEXT)");
  EXPECT_TRUE(open_ok().records().empty());
  const std::string empty_database = dir_.file("empty.sqlite");
  run_sql(empty_database, "PRAGMA user_version = 7");  // a database file with no table
  EXPECT_TRUE(RecordStore::open(empty_database));
}

// Each way the path can stop naming the opened file: the change is refused
// before anything is written, the records stay, and dropping the store
// leaves nothing that a later open of the path could replay.
TEST_F(RecordStoreSafetyTest, ChangesAreRefusedOnceThePathNamesAnotherFile) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> act;
    std::string_view message;
  };
  const std::string other = dir_.file("other.db");
  {
    auto store = RecordStore::open(other);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->insert(record("from-other")));
  }
  const Case cases[] = {
      {"removed", [](const std::string& path) { fs::remove(path); }, messages::kFileReplaced},
      {"moved away", [](const std::string& path) { fs::rename(path, path + ".moved"); }, messages::kFileReplaced},
      {"replaced by another database",
       [&](const std::string& path) {
         fs::copy_file(other, path + ".new");
         fs::rename(path + ".new", path);
       },
       messages::kFileReplaced},
      {"log removed", [](const std::string& path) { fs::remove(path + "-wal"); }, messages::kLogReplaced},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir.file("db.sqlite");
    std::string replacement;
    {
      auto store = RecordStore::open(path);
      ASSERT_TRUE(store);
      ASSERT_TRUE(store->insert(record("kept")));
      c.act(path);
      replacement = fs::exists(path) ? file_bytes(path) : "";
      auto inserted = store->insert(record("lost"));
      auto removed = store->remove("kept");
      ASSERT_FALSE(inserted);
      ASSERT_FALSE(removed);
      for (const StorageError& refusal : {inserted.error(), removed.error()}) {
        EXPECT_EQ(refusal.kind, Kind::Transaction);
        EXPECT_EQ(refusal.detail, c.message);
      }
      EXPECT_EQ(ids_of(*store), std::vector<std::string>{"kept"});
    }
    if (fs::exists(path + ".moved")) {
      // The moved file holds every committed record.
      auto moved = RecordStore::open(path + ".moved");
      ASSERT_TRUE(moved) << moved.error().message();
      EXPECT_EQ(ids_of(*moved), std::vector<std::string>{"kept"});
    }
    if (!replacement.empty() && !std::string_view(c.name).starts_with("log")) {
      EXPECT_EQ(file_bytes(path), replacement);
      EXPECT_FALSE(fs::exists(path + "-wal"));
      auto reopened = RecordStore::open(path);
      ASSERT_TRUE(reopened) << reopened.error().message();
      EXPECT_EQ(ids_of(*reopened), std::vector<std::string>{"from-other"});
    }
    if (std::string_view(c.name).starts_with("log")) {
      // The file itself kept every committed record.
      auto reopened = RecordStore::open(path);
      ASSERT_TRUE(reopened) << reopened.error().message();
      EXPECT_EQ(ids_of(*reopened), std::vector<std::string>{"kept"});
    }
  }
}

// A symbolic link made before its target exists opens, creating the target
// (the link stays a link, and the records are in the target); a link that
// cannot lead to a file fails at once, creating nothing.
TEST_F(RecordStoreSafetyTest, SymbolicLinksToMissingFilesOpenAndLoopsFailAtOnce) {
  struct Link {
    const char* name;
    const char* target;
  };
  const struct Case {
    const char* name;
    std::vector<Link> links;  // made in order; the first is opened
    std::string target;       // the file that opening creates, or "" for a failure
    std::string message;
  } cases[] = {
      {"relative", {{"link.db", "target.db"}}, "target.db", ""},
      {"absolute", {{"link.db", "@/target.db"}}, "target.db", ""},
      {"chain", {{"link.db", "middle.db"}, {"middle.db", "sub/target.db"}}, "sub/target.db", ""},
      {"into a missing directory", {{"link.db", "missing/target.db"}}, "",
       "Database error: unable to open database file: No such file or directory"},
      {"loop", {{"link.db", "other.db"}, {"other.db", "link.db"}}, "",
       "Database error: unable to open database file: Too many levels of symbolic links"},
      {"to itself", {{"link.db", "link.db"}}, "",
       "Database error: unable to open database file: Too many levels of symbolic links"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    fs::create_directory(dir.file("sub"));
    for (const Link& link : c.links) {
      const std::string target = link.target[0] == '@' ? dir.file(link.target + 2) : link.target;
      fs::create_symlink(target, dir.file(link.name));
    }
    const std::string path = dir.file(c.links[0].name);
    {
      auto store = RecordStore::open(path);
      if (c.target.empty()) {
        ASSERT_FALSE(store);
        EXPECT_EQ(store.error().message(), c.message + " (file " + path + ")");
        EXPECT_FALSE(fs::exists(dir.file("missing")));
        continue;
      }
      ASSERT_TRUE(store) << store.error().message();
      ASSERT_TRUE(store->insert(record("a")));
    }
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.file(c.target))));
    for (const std::string& opened : {path, dir.file(c.target)}) {
      auto reopened = RecordStore::open(opened);
      ASSERT_TRUE(reopened) << reopened.error().message();
      EXPECT_EQ(ids_of(*reopened), std::vector<std::string>{"a"});
    }
  }
}

// Runs `child` in a forked process and returns its exit status.
int in_forked_child(const std::function<int()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(RecordStoreSafetyTest, AForkedChildReadsButNeitherWritesNorClosesTheParentsFiles) {
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(record("a")));
    const auto log = fs::path(path_ + "-wal");
    ASSERT_TRUE(fs::exists(log));

    const int status = in_forked_child([&]() -> int {
      if (ids_of(store) != std::vector<std::string>{"a"}) return 1;
      auto refused = store.insert(record("child"));
      if (refused || refused.error().kind != Kind::Transaction ||
          refused.error().detail != messages::kOpenedByAnotherProcess) {
        return 2;
      }
      if (store.remove("a") || store.records().size() != 1) return 3;
      // A second store in the child finds the parent's lock.
      auto second = RecordStore::open(path_);
      if (second || second.error().detail != std::string(messages::kLocked) + " (file " + path_ + ")") return 4;
      { RecordStore dropped = std::move(store); }
      return 0;
    });
    EXPECT_EQ(status, 0);

    // The child's drop left the parent's log in place, and the parent goes on.
    EXPECT_TRUE(fs::exists(log));
    ASSERT_TRUE(store.insert(record("b")));
    EXPECT_EQ(ids_of(store), (std::vector<std::string>{"a", "b"}));
  }
  EXPECT_EQ(ids_of(open_ok()), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace quorvel
