// Inserts, re-inserts and deletes in long runs, against a plain list of
// records: deletes free slots in the record list and compactions close
// them, and no read may see either.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/testing/database_test.h"

namespace quorvel {
namespace {

// The id of record n (built by appending: g++ 12 warns falsely about
// "r" + std::to_string(n)).
std::string id_of(unsigned n) {
  std::string id = "r";
  id += std::to_string(n);
  return id;
}

struct Entry {
  std::string id;
  std::vector<float> vector;
  std::optional<JsonValue> metadata;
};

// The records in list order, as the written behaviour keeps them: a new id
// at the end, a re-insert in place, a delete closing up.
class Model {
 public:
  void insert(const Entry& entry) {
    if (Entry* stored = find(entry.id)) {
      *stored = entry;
    } else {
      entries_.push_back(entry);
    }
  }
  void remove(const std::string& id) {
    std::erase_if(entries_, [&](const Entry& e) { return e.id == id; });
  }
  Entry* find(const std::string& id) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.id == id; });
    return it == entries_.end() ? nullptr : &*it;
  }
  const std::vector<Entry>& entries() const { return entries_; }

  // Every record that passes the filters, scored, in the order of a stable
  // sort by score (best first), cut to k.
  std::vector<SearchResult> search(const SearchRequest& request, Metric metric) const {
    std::vector<SearchResult> all;
    for (const Entry& entry : entries_) {
      if (!request.filters.empty()) {
        const auto* object = entry.metadata ? entry.metadata->get_if<JsonValue::Object>() : nullptr;
        if (object == nullptr) continue;
        bool passes = true;
        for (const MetadataFilter& filter : request.filters) {
          const auto member = std::find_if(object->begin(), object->end(),
                                           [&](const JsonValue::Member& m) { return m.key == filter.key; });
          passes = passes && member != object->end() && member->value == filter.value;
        }
        if (!passes) continue;
      }
      all.push_back(SearchResult{entry.id, entry.metadata, metric_value(metric, request.query, entry.vector)});
    }
    std::stable_sort(all.begin(), all.end(), [&](const SearchResult& x, const SearchResult& y) {
      return larger_is_closer(metric) ? x.score > y.score : x.score < y.score;
    });
    all.resize(std::min<std::size_t>(all.size(), request.k));
    return all;
  }

 private:
  std::vector<Entry> entries_;
};

class EngineChurnTest : public testing::DatabaseTest<Engine> {
 protected:
  // A few vectors, so that scores tie, and metadata in three groups.
  Entry random_entry(const std::string& id) {
    static const std::vector<std::vector<float>> kVectors = {
        {1.0f, 0.0f, 0.0f}, {0.6f, 0.8f, 0.0f}, {0.0f, 0.0f, 2.0f}, {1.0f, 1.0f, 1.0f}, {-1.0f, 0.5f, 0.0f}};
    Entry entry{id, kVectors[rng_() % kVectors.size()], std::nullopt};
    if (rng_() % 4 != 0) {
      entry.metadata = JsonValue::make_object(
          {JsonValue::Member{"group", JsonValue(static_cast<JsonValue::Unsigned>(rng_() % 3))}});
    }
    return entry;
  }

  // One random change, made to the engine and the model alike.
  void change(Engine& engine, Model& model) {
    const std::string id = id_of(rng_() % 150);
    if (rng_() % 2 == 0) {
      const Entry entry = random_entry(id);
      ASSERT_TRUE(engine.insert(entry.id, entry.vector, entry.metadata));
      model.insert(entry);
    } else {
      ASSERT_TRUE(engine.remove(id));
      model.remove(id);
    }
  }

  // get_all, get and exhaustive searches (plain, filtered, with decay that
  // changes nothing) answer as the model does.
  void expect_same(const Engine& engine, const Model& model) {
    std::vector<std::string> listed;
    for (const RecordView& record : engine.get_all()) listed.emplace_back(record.id);
    std::vector<std::string> expected;
    for (const Entry& entry : model.entries()) expected.push_back(entry.id);
    ASSERT_EQ(listed, expected);
    EXPECT_EQ(engine.get_all().size(), expected.size());
    for (unsigned i = 0; i < 150; i += 7) {
      const std::string id = id_of(i);
      const auto got = engine.get(id);
      const Entry* entry = const_cast<Model&>(model).find(id);
      ASSERT_EQ(got.has_value(), entry != nullptr) << id;
      if (entry != nullptr) {
        EXPECT_EQ(got->metadata, entry->metadata) << id;
      }
    }
    const std::vector<float> query = {0.9f, 0.3f, 0.1f};
    const SearchRequest requests[] = {
        {query, 7, {}, {}, {}},
        {query, 1000, {}, {}, {}},
        {query, 5, {MetadataFilter{"group", JsonValue(static_cast<JsonValue::Unsigned>(1))}}, {}, {}},
        {query, 6, {}, 0.5f, 100},  // no record has a timestamp: decay takes every record as it is
    };
    for (const SearchRequest& request : requests) {
      EXPECT_EQ(engine.search(request), model.search(request, engine.metric())) << "k " << request.k;
    }
  }

  std::mt19937 rng_{11};
};

TEST_F(EngineChurnTest, ReadsSeeExactlyTheRecordsInOrderThroughDeletesAndCompactions) {
  Model model;
  std::size_t compactions = 0;
  {
    Engine engine = open_ok();
    for (int step = 0; step < 600; ++step) {
      const std::size_t slots = engine.get_all().slot_count();
      change(engine, model);
      if (engine.get_all().slot_count() < slots) ++compactions;
      if (step % 10 == 0) expect_same(engine, model);
    }
    expect_same(engine, model);
  }
  EXPECT_GT(compactions, 0u);

  // A reopen loads the records in id order.
  Engine engine = open_ok();
  Model reloaded;
  std::vector<Entry> sorted = model.entries();
  std::sort(sorted.begin(), sorted.end(), [](const Entry& x, const Entry& y) { return x.id < y.id; });
  for (const Entry& entry : sorted) reloaded.insert(entry);
  expect_same(engine, reloaded);
}

// With an index attached the list is compacted at every delete (node
// numbers are positions); the cached sums of squares move with the records,
// which the filtered searches (scored exhaustively) and, after the index
// goes, the plain ones show.
TEST_F(EngineChurnTest, AnAttachedIndexKeepsDensePositionsAndTheScoresStayExact) {
  Model model;
  Engine engine = open_ok();
  for (int step = 0; step < 100; ++step) change(engine, model);
  ASSERT_GT(engine.get_all().free_slots(), 0u);
  const HnswConfig config{4, 4, 8, 32, 64, 1.0f / std::log(4.0f)};
  ASSERT_TRUE(engine.attach_index(config));
  EXPECT_EQ(engine.get_all().free_slots(), 0u);
  for (int step = 0; step < 100; ++step) {
    change(engine, model);
    ASSERT_EQ(engine.get_all().free_slots(), 0u);
    ASSERT_EQ(engine.index()->size(), engine.get_all().size());
    // The index's answers are stored records with their exact scores.
    const std::vector<float> query = {0.9f, 0.3f, 0.1f};
    for (const SearchResult& found : engine.search(query, 5)) {
      const Entry* entry = model.find(found.id);
      ASSERT_NE(entry, nullptr) << found.id;
      EXPECT_EQ(found.score, metric_value(engine.metric(), query, entry->vector));
    }
  }
  const SearchRequest filtered{
      {0.9f, 0.3f, 0.1f}, 5, {MetadataFilter{"group", JsonValue(static_cast<JsonValue::Unsigned>(2))}}, {}, {}};
  EXPECT_EQ(engine.search(filtered), model.search(filtered, engine.metric()));
  engine.detach_index();
  expect_same(engine, model);
}

}  // namespace
}  // namespace quorvel
