// The companion file beside a database: an open loads from it only when it
// reflects the records table as it is, and then gives exactly what reading
// the rows gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "checksum.h"
#include "quorvel/storage/record_store.h"
#include "quorvel/storage/stored_file.h"
#include "quorvel/testing/database_test.h"
#include "snapshot_format.h"
#include "store_test_helpers.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

using testing::file_bytes;
using testing::run_sql;

// Every record of the store, in list order, one line each in its stored
// form (which shows every bit of each float) after whether it has
// metadata, so that a difference reads.
std::string records_of(const RecordStore& store) {
  std::string lines;
  for (const RecordView& record : store.records()) {
    auto form = stored_form(record.to_record());
    lines += record.metadata ? "with metadata " : "without metadata ";
    lines += form ? *form : form.error();
    lines += '\n';
  }
  return lines;
}

// `prefix` and the decimal digits of `n`.
std::string numbered(std::string prefix, int n) {
  prefix += std::to_string(n);
  return prefix;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class CompanionTest : public testing::DatabaseTest<RecordStore> {
 protected:
  std::string companion() const { return path_ + "-snapshot"; }

  // What an open gives, and whether it came from the companion.
  struct Opened {
    std::string records;
    bool from_companion = false;
  };
  Opened reopen(const std::string& path) {
    auto store = RecordStore::open(path);
    EXPECT_TRUE(store) << store.error().message();
    if (!store) return {};
    return {records_of(*store), store->take_snapshot_load().has_value()};
  }
  Opened reopen() { return reopen(path_); }

  // What reading the rows gives (the companion set aside meanwhile).
  std::string rows(const std::string& path) {
    const std::string kept = path + ".kept";
    const bool had = fs::exists(path + "-snapshot");
    if (had) fs::rename(path + "-snapshot", kept);
    Opened opened = reopen(path);
    EXPECT_FALSE(opened.from_companion);
    fs::remove(path + "-snapshot");
    if (had) fs::rename(kept, path + "-snapshot");
    return opened.records;
  }
  std::string rows() { return rows(path_); }

  // A store with records of every shape: metadata of each kind, some
  // timestamps, vectors of several lengths (empty too), ids with a NUL and
  // beyond ASCII, inserted out of id order.
  void fill() {
    RecordStore store = open_ok();
    std::vector<Record> records;
    for (int i = 0; i < 300; ++i) {
      Record record{numbered("r", (i * 37) % 300), std::vector<float>(static_cast<std::size_t>(i % 7) * 3),
                    std::nullopt, std::nullopt};
      for (std::size_t j = 0; j < record.vector.size(); ++j) record.vector[j] = static_cast<float>(i) + 0.25f * j;
      if (i % 3 == 0) record.timestamp = 1700000000u + static_cast<std::uint64_t>(i);
      switch (i % 5) {
        case 0: break;
        case 1: record.metadata = JsonValue(static_cast<JsonValue::Signed>(-i - 1)); break;
        case 2: record.metadata = JsonValue(0.5 + i); break;
        case 3:
          record.metadata = JsonValue::make_object(
              {{"z", JsonValue(JsonValue::Array{JsonValue(true), JsonValue(), JsonValue("t\u00e9")})},
               {"a", JsonValue(static_cast<JsonValue::Unsigned>(i))}});
          break;
        default: record.metadata = JsonValue(nullptr); break;
      }
      records.push_back(std::move(record));
    }
    ASSERT_TRUE(store.insert_all(std::move(records)));
    const std::string with_nul("a\0b", 3);
    ASSERT_TRUE(store.insert(Record{with_nul, {1.0f}, JsonValue("nul"), std::nullopt}));
    ASSERT_TRUE(store.insert(Record{"\u00e9t\u00e9", {}, std::nullopt, 7}));
  }
};

TEST_F(CompanionTest, AnOpenLoadsFromItExactlyWhatTheRowsHold) {
  fill();
  EXPECT_TRUE(fs::exists(companion()));
  const Opened opened = reopen();
  EXPECT_TRUE(opened.from_companion);
  EXPECT_EQ(std::count(opened.records.begin(), opened.records.end(), '\n'), 302);
  EXPECT_EQ(opened.records, rows());
}

TEST_F(CompanionTest, ChangesAreAppendedAndReplayedInIdOrder) {
  fill();
  const std::uint64_t base = fs::file_size(companion());
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(Record{"0-new-first", {9.0f, 9.0f}, JsonValue("x"), std::nullopt}));
    ASSERT_TRUE(store.insert(Record{"r5", {5.5f}, std::nullopt, 11}));  // replaces a loaded one
    ASSERT_TRUE(store.remove("r7"));
    ASSERT_TRUE(store.remove("not there"));
    ASSERT_TRUE(store.insert_all({Record{"zz", {1.0f}, std::nullopt, std::nullopt},
                                  Record{"r10", {}, JsonValue(true), std::nullopt},
                                  Record{"m", {2.0f, 3.0f}, std::nullopt, std::nullopt}}));
    ASSERT_TRUE(store.remove("m"));
    store.add_note("owner's words");
  }
  EXPECT_GT(fs::file_size(companion()), base);  // appended, not written afresh

  std::optional<SnapshotLoad> load;
  std::string loaded;
  {
    auto store = RecordStore::open(path_);
    ASSERT_TRUE(store);
    load = store->take_snapshot_load();
    loaded = records_of(*store);
  }
  ASSERT_TRUE(load);
  EXPECT_EQ(load->loaded_records, 302u);
  ASSERT_EQ(load->changes.size(), 6u);
  const auto counts = [](const ReplayedChange& c) { return std::vector<std::size_t>{c.appended, c.replaced, c.removed}; };
  EXPECT_EQ(counts(load->changes[0]), (std::vector<std::size_t>{1, 0, 0}));
  EXPECT_EQ(counts(load->changes[1]), (std::vector<std::size_t>{0, 1, 0}));
  EXPECT_EQ(counts(load->changes[2]), (std::vector<std::size_t>{0, 0, 1}));
  EXPECT_EQ(counts(load->changes[3]), (std::vector<std::size_t>{2, 1, 0}));
  EXPECT_EQ(counts(load->changes[5]), (std::vector<std::size_t>{0, 0, 0}));
  EXPECT_EQ(load->changes[5].note, "owner's words");
  // The appended records moved into id order; the removed ones are gone.
  ASSERT_EQ(load->moved.size(), 302u + 3u);
  EXPECT_EQ(load->moved[302], 0u);                       // "0-new-first"
  EXPECT_EQ(load->moved[303], 301u);                     // "zz", before "\u00e9t\u00e9" of the 303 left
  EXPECT_EQ(load->moved[304], SnapshotLoad::kGone);      // "m"
  EXPECT_EQ(loaded, rows());
}

TEST_F(CompanionTest, ChangesByOtherProgramsMakeItStaleAndItIsWrittenAgain) {
  const char* changes[] = {
      "INSERT INTO records VALUES ('new', '{\"id\":\"new\",\"vector\":[4]}')",
      "UPDATE records SET value = '{\"id\":\"r1\",\"vector\":[8,9]}' WHERE id = 'r1'",
      "DELETE FROM records WHERE id = 'r2'",
      "UPDATE records SET value = value",  // the same rows, but unseen changes are possible
  };
  fill();
  for (const char* change : changes) {
    SCOPED_TRACE(change);
    ASSERT_TRUE(reopen().from_companion);
    run_sql(path_, change);
    const Opened opened = reopen();
    EXPECT_FALSE(opened.from_companion);
    EXPECT_EQ(opened.records, rows());
  }
  EXPECT_TRUE(reopen().from_companion);
}

TEST_F(CompanionTest, OnlyACompanionOfThisDatabaseAtThisVersionIsUsed) {
  fill();
  const std::string backup = dir_.file("backup.db");
  fs::copy_file(path_, backup);
  fs::copy_file(companion(), backup + "-snapshot");
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(Record{"after-backup", {1.0f}, std::nullopt, std::nullopt}));
    ASSERT_TRUE(store.remove("r3"));
  }
  const std::string newer_companion = file_bytes(companion());
  const std::string backup_companion = file_bytes(backup + "-snapshot");

  // The backup restored beside a companion that went on past it (its
  // changes were appended): the changes up to the backup's version apply.
  fs::copy_file(backup, path_, fs::copy_options::overwrite_existing);
  Opened opened = reopen();
  EXPECT_TRUE(opened.from_companion);
  EXPECT_EQ(opened.records, rows(backup));

  // The restored backup, written to again: the newer companion's chain
  // reaches the same counter but another stamp.
  fs::copy_file(backup, path_, fs::copy_options::overwrite_existing);
  write_bytes(companion(), newer_companion);
  {
    RecordStore store = open_ok();
    ASSERT_TRUE(store.insert(Record{"after-restore", {2.0f}, std::nullopt, std::nullopt}));
    ASSERT_TRUE(store.insert(Record{"again", {3.0f}, std::nullopt, std::nullopt}));
    write_bytes(companion(), newer_companion);  // as if the old one were restored too
  }
  opened = reopen();
  EXPECT_FALSE(opened.from_companion);
  EXPECT_EQ(opened.records, rows());

  // A companion of another database, though a copy of the same records.
  const std::string other = dir_.file("other.db");
  {
    auto store = RecordStore::open(other);
    ASSERT_TRUE(store);
    std::vector<Record> copied;
    {
      auto source = RecordStore::open(backup);
      ASSERT_TRUE(source);
      for (const RecordView& record : source->records()) copied.push_back(record.to_record());
    }
    ASSERT_TRUE(store->insert_all(std::move(copied)));
  }
  write_bytes(other + "-snapshot", backup_companion);
  opened = reopen(other);
  EXPECT_FALSE(opened.from_companion);
  EXPECT_EQ(opened.records, rows(backup));
}

TEST_F(CompanionTest, DamagedOrCutCompanionsAreNeverUsed) {
  fill();
  {
    RecordStore store = open_ok();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(store.insert(Record{numbered("late", i), {1.0f}, {}, {}}));
  }
  const std::string expected = rows();
  const std::string intact = file_bytes(companion());
  std::mt19937 random(7);
  std::vector<std::size_t> cuts = {0, 1, 100, 4096, intact.size() / 2, intact.size() - 1};
  for (int i = 0; i < 20; ++i) cuts.push_back(random() % intact.size());
  for (const std::size_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    write_bytes(companion(), intact.substr(0, cut));
    EXPECT_EQ(reopen().records, expected);
  }
  for (int flip = 0; flip < 100; ++flip) {
    std::string damaged = intact;
    const std::size_t at = random() % damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8)));
    SCOPED_TRACE("bit flipped at " + std::to_string(at));
    write_bytes(companion(), damaged);
    EXPECT_EQ(reopen().records, expected);
  }
  // Deleting it is always safe.
  fs::remove(companion());
  EXPECT_EQ(reopen().records, expected);
  EXPECT_TRUE(reopen().from_companion);
}

// A companion of an older format (whose checksums were made another way) or
// of a newer one is refused, and the open writes it again in this one.
TEST_F(CompanionTest, AnotherFormatVersionIsNotRead) {
  fill();
  const std::string intact = file_bytes(companion());
  for (const std::uint32_t version : {snapshot::kFormatVersion - 1, snapshot::kFormatVersion + 1}) {
    SCOPED_TRACE("format version " + std::to_string(version));
    std::string bytes = intact;
    snapshot::Header header;
    std::memcpy(&header, bytes.data(), sizeof header);
    header.format_version = version;
    header.header_checksum =
        checksum64({reinterpret_cast<const std::byte*>(&header), offsetof(snapshot::Header, header_checksum)});
    std::memcpy(bytes.data(), &header, sizeof header);
    write_bytes(companion(), bytes);
    EXPECT_FALSE(reopen().from_companion);
    EXPECT_TRUE(reopen().from_companion);
    EXPECT_EQ(reopen().records, rows());
  }
}

// A new file written in one pass holds what a store that took the same
// records in turn holds (of one id, the last), and its companion gives what
// its rows give.
TEST_F(CompanionTest, ANewFileWrittenAtOnceHoldsWhatInsertingInTurnLeaves) {
  std::vector<Record> records;
  for (int i = 0; i < 450; ++i) {
    Record record{numbered("r", (i * 37) % 300), std::vector<float>(static_cast<std::size_t>(i % 5), 0.5f * i),
                  std::nullopt, std::nullopt};
    if (i % 3 == 0) record.metadata = JsonValue(static_cast<JsonValue::Signed>(i));
    if (i % 4 == 0) record.timestamp = 1700000000u + static_cast<std::uint64_t>(i);
    records.push_back(std::move(record));
  }
  ASSERT_TRUE(open_ok().insert_all(records));
  const std::string written = dir_.file("written.db");
  ASSERT_TRUE(RecordStore::write_new(written, records, run_serially, nullptr));
  const Opened opened = reopen(written);
  EXPECT_TRUE(opened.from_companion);
  EXPECT_EQ(std::count(opened.records.begin(), opened.records.end(), '\n'), 300);
  EXPECT_EQ(opened.records, rows());
  EXPECT_EQ(rows(written), rows());

  // A refused record is named by its place among the records given.
  std::size_t refused = 0;
  const auto failed = RecordStore::write_new(
      dir_.file("refused.db"),
      std::vector<Record>{{"c", {1.0f}, std::nullopt, std::nullopt},
                          {"a", {std::nanf("")}, std::nullopt, std::nullopt},
                          {"b", {1.0f}, std::nullopt, std::nullopt}},
      run_serially, nullptr, &refused);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "Serialization error: vector element 0 is NaN, which has no JSON form");
  EXPECT_EQ(refused, 1u);
}

TEST_F(CompanionTest, ANewFileIsNotWrittenFromAListOutOfIdOrder) {
  const auto list_of = [](std::vector<std::string> ids, std::string_view removed) {
    RecordList list;
    for (std::string& id : ids) list.append(std::move(id), std::vector<float>{1.0f}, std::nullopt, std::nullopt);
    if (!removed.empty()) list.remove(removed);
    return list;
  };
  const std::vector<RecordList> lists = [&] {
    std::vector<RecordList> made;
    made.push_back(list_of({"b", "a"}, ""));
    made.push_back(list_of({"a", "a"}, ""));
    made.push_back(list_of({"a", "b", "c"}, "b"));  // a free slot
    return made;
  }();
  for (const RecordList& list : lists) {
    const auto written = RecordStore::write_new(path_, list, run_serially, nullptr);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message(),
              "Storage error: the records of a new file must come in ascending byte order of their ids, each id "
              "once");
    EXPECT_FALSE(fs::exists(path_));
  }
}

// Lists large enough that the arena is mapped, grown and asked for huge
// pages several times over while the rows load (in batches of 8192 rows).
TEST_F(CompanionTest, LargeListsLoadAlikeFromTheRowsAndFromTheCompanion) {
  {
    RecordStore store = open_ok();
    std::vector<Record> records;
    for (int i = 0; i < 20000; ++i) {
      records.push_back(Record{numbered("v", i), std::vector<float>(static_cast<std::size_t>(130 + i % 20), 0.5f * i),
                               std::nullopt, std::nullopt});
    }
    ASSERT_TRUE(store.insert_all(std::move(records)));
  }
  const Opened opened = reopen();
  EXPECT_TRUE(opened.from_companion);
  EXPECT_EQ(opened.records, rows());
}

// Links planted where the companion is read, appended to and written never
// lead a write elsewhere.
TEST_F(CompanionTest, LinksAtItsNamesAreNeverFollowed) {
  fill();
  const std::string victim = dir_.file("victim");
  write_bytes(victim, "not to be touched");
  for (const std::string& name : {companion(), path_ + "-snapshot-new"}) {
    SCOPED_TRACE(name);
    fs::remove(companion());  // stale: written whole at the close
    fs::remove(name);
    fs::create_symlink(victim, name);
    {
      RecordStore store = open_ok();
      ASSERT_TRUE(store.insert(Record{numbered("linked", 1), {1.0f}, std::nullopt, std::nullopt}));
    }
    EXPECT_EQ(file_bytes(victim), "not to be touched");
    EXPECT_FALSE(fs::is_symlink(name));  // the link itself was replaced
    EXPECT_TRUE(reopen().from_companion);
  }
}

TEST_F(CompanionTest, ItShowsNoMoreThanTheDatabaseDoes) {
  { open_ok(); }
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  fs::remove(companion());
  fill();
  EXPECT_EQ(fs::status(companion()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace quorvel
