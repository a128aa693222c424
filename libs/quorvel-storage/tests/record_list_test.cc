#include "quorvel/storage/record_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "record_list_internals.h"

namespace quorvel {
namespace {

// A plain list of records doing what the record list does, for comparing.
class Model {
 public:
  std::vector<Record> records;

  Record* find(const std::string& id) {
    const auto it = std::find_if(records.begin(), records.end(), [&](const Record& r) { return r.id == id; });
    return it == records.end() ? nullptr : &*it;
  }
};

// The list holds the model's records in its order, each found at its
// position, and free slots hold nothing.
void expect_same(const RecordList& list, const Model& model) {
  ASSERT_EQ(list.size(), model.records.size());
  ASSERT_EQ(list.slot_count(), list.size() + list.free_slots());
  std::size_t floats_in_use = 0;
  std::size_t i = 0;
  for (auto it = list.begin(); it != list.end(); ++it, ++i) {
    ASSERT_LT(i, model.records.size());
    EXPECT_EQ((*it).to_record(), model.records[i]) << "record " << i;
    EXPECT_EQ(list.find(model.records[i].id), it.position());
    floats_in_use += model.records[i].vector.size();
  }
  EXPECT_EQ(i, model.records.size());
  std::size_t free = 0;
  for (std::size_t position = 0; position < list.slot_count(); ++position) {
    if (!list.is_free(position)) continue;
    ++free;
    EXPECT_EQ(list[position].to_record(), (Record{"", {}, std::nullopt, std::nullopt}));
  }
  EXPECT_EQ(free, list.free_slots());
  EXPECT_EQ(list.live_marks().size(), free == 0 ? 0 : list.slot_count());
  // Holes stay within their bound, and everything else is in use.
  const std::size_t holes = RecordListInternals::hole_floats(list);
  EXPECT_LE(holes, std::max<std::size_t>(64 * 1024, floats_in_use / 4));
  EXPECT_EQ(RecordListInternals::arena(list).size() - holes, floats_in_use);
}

// Vectors that grow and shrink, ids that come and go at the start, middle
// and end, and compactions when due (as the engine makes them) or at any
// time: the list matches the model after every change.
TEST(RecordListTest, MatchesAPlainListThroughRandomChanges) {
  std::mt19937 rng(7);
  RecordList list;
  Model model;
  std::uniform_int_distribution<int> id_of(0, 300);
  std::uniform_int_distribution<int> action(0, 19);
  std::geometric_distribution<std::size_t> length_of(0.002);  // mostly hundreds, sometimes thousands
  std::size_t compactions = 0;
  for (int step = 0; step < 6000; ++step) {
    const std::string id = "id" + std::to_string(id_of(rng));
    const int a = action(rng);
    if (a < 12) {
      std::vector<float> vector(length_of(rng) % 5000);
      for (std::size_t i = 0; i < vector.size(); ++i) vector[i] = static_cast<float>(step) + 0.5f * i;
      std::optional<JsonValue> metadata;
      if (a % 2 == 0) metadata = JsonValue(static_cast<JsonValue::Unsigned>(step));
      std::optional<std::uint64_t> timestamp;
      if (a == 4) timestamp = static_cast<std::uint64_t>(step) << 40;
      if (Record* existing = model.find(id)) {
        list.reserve_more(1, vector.size(), timestamp.has_value());
        list.replace(*list.find(id), vector, metadata, timestamp);
        *existing = Record{id, vector, metadata, timestamp};
      } else {
        list.append(id, vector, metadata, timestamp);
        model.records.push_back(Record{id, vector, metadata, timestamp});
      }
    } else if (a < 18) {
      EXPECT_EQ(list.remove(id), std::erase_if(model.records, [&](const Record& r) { return r.id == id; }) == 1);
    } else if (a == 18 && !model.records.empty()) {
      // The first and the last entry.
      const std::string edge = step % 2 ? model.records.front().id : model.records.back().id;
      EXPECT_TRUE(list.remove(edge));
      std::erase_if(model.records, [&](const Record& r) { return r.id == edge; });
    } else if (a == 19 && step % 7 == 0) {
      list.compact();
      EXPECT_EQ(list.free_slots(), 0u);
    }
    if (list.compaction_due()) {
      EXPECT_GT(list.free_slots(), std::max(RecordList::kToleratedFreeSlots, list.size() / 4));
      list.compact();
      ++compactions;
    }
    EXPECT_EQ(list.find(id).has_value(), model.find(id) != nullptr);
    if (step % 50 == 0 || step > 5900) expect_same(list, model);
  }
  EXPECT_GT(compactions, 0u);
}

// Room made for coming changes can move the arena; the entries read right
// after, before any change, must still be their vectors.
TEST(RecordListTest, ReadsItsVectorsRightAfterMakingRoom) {
  RecordList list;
  const std::vector<float> vector = {1.0f, 2.0f, 3.0f};
  list.append("a", vector, std::nullopt, std::nullopt);
  std::vector<std::vector<float>> neighbours;  // allocations beside the arena, so that it has to move to grow
  for (std::size_t floats = 1024; floats <= (std::size_t{1} << 22); floats *= 2) {
    list.reserve_more(1, floats, false);
    neighbours.emplace_back(floats);
    const std::span<const float> read = list.vector(0);
    ASSERT_TRUE(std::ranges::equal(read, vector)) << floats;
  }
}

TEST(RecordListTest, LoadsEntriesWhoseVectorsLieBackToBack) {
  RecordList list;
  const std::vector<float> floats = {1, 2, 3, 4, 5};
  std::vector<LoadedEntry> entries = {
      {"a", 2, JsonValue(1), std::nullopt}, {"b", 0, std::nullopt, 7}, {"c", 3, std::nullopt, std::nullopt}};
  RecordListInternals::append_loaded(list, floats, entries);
  list.append("d", std::vector<float>{6}, std::nullopt, std::nullopt);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].to_record(), (Record{"a", {1, 2}, JsonValue(1), std::nullopt}));
  EXPECT_EQ(list[1].to_record(), (Record{"b", {}, std::nullopt, 7}));
  EXPECT_EQ(list[2].to_record(), (Record{"c", {3, 4, 5}, std::nullopt, std::nullopt}));
  EXPECT_EQ(list[3].to_record(), (Record{"d", {6}, std::nullopt, std::nullopt}));
  // With no holes the vectors lie in position order.
  const std::span<const float> arena = RecordListInternals::arena(list);
  EXPECT_EQ(std::vector<float>(arena.begin(), arena.end()), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(list.find("b"), 1u);
  EXPECT_EQ(list.find("e"), std::nullopt);
}

}  // namespace
}  // namespace quorvel
