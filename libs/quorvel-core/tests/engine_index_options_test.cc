// The attached index's options: deletes and re-inserts that retire nodes,
// compaction, filtered searches through the graph and the build on the
// engine's workers.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/testing/database_test.h"
#include "search.h"

namespace quorvel {
namespace {

using Vec = std::vector<float>;

std::string id_of(unsigned n) {
  std::string id = "r";
  id += std::to_string(n);
  return id;
}

JsonValue group_of(unsigned group) {
  return JsonValue::make_object({JsonValue::Member{"group", JsonValue(static_cast<JsonValue::Unsigned>(group))}});
}

MetadataFilter in_group(unsigned group) {
  return MetadataFilter{"group", JsonValue(static_cast<JsonValue::Unsigned>(group))};
}

// The records as they should be: id -> (vector, group).
struct Stored {
  Vec vector;
  unsigned group;
};

// The exact answer: the k records closest to `query` among those in
// `group` (every group when nothing), by Euclidean distance.
std::vector<std::pair<std::string, float>> exact(const std::map<std::string, Stored>& model, const Vec& query,
                                                 std::size_t k, std::optional<unsigned> group = std::nullopt) {
  std::vector<std::pair<std::string, float>> all;
  for (const auto& [id, stored] : model) {
    if (!group || stored.group == *group) all.emplace_back(id, euclidean(query, stored.vector));
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
  all.resize(std::min(k, all.size()));
  return all;
}

std::vector<std::pair<std::string, float>> answer_of(const std::vector<SearchResult>& results) {
  std::vector<std::pair<std::string, float>> answer;
  for (const SearchResult& result : results) answer.emplace_back(result.id, result.score);
  return answer;
}

class EngineIndexOptionsTest : public testing::DatabaseTest<Engine> {
 protected:
  Engine open_with(const EngineOptions& options) {
    auto engine = Engine::open(path_, options);
    EXPECT_TRUE(engine) << engine.error().message();
    return std::move(engine).value();
  }

  Vec random_vector() {
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    Vec vector(8);
    for (float& value : vector) value = uniform(rng_);
    return vector;
  }

  std::mt19937 rng_{3};
};

HnswConfig retiring_config() {
  HnswConfig config = default_hnsw_config(8);
  config.ef_construction = 64;
  config.seed = 9;
  config.retire_deleted = true;
  return config;
}

// Random inserts, re-inserts and deletes with a retiring index, checked
// against the exact answer all along: a large result list must find
// exactly the exhaustive answer (through retired waypoints, record-list
// compactions and graph compactions), and a small one may miss records but
// never return a deleted record or a replaced vector.
TEST_F(EngineIndexOptionsTest, ChurnNeverReturnsADeletedRecordOrAReplacedVector) {
  for (const NeighborSelection selection : {NeighborSelection::Closest, NeighborSelection::Diverse}) {
    SCOPED_TRACE(selection == NeighborSelection::Diverse ? "diverse" : "closest");
    std::filesystem::remove(path_);
    std::map<std::string, Stored> model;
    EngineOptions options;
    options.metric = Metric::Euclidean;
    options.index = retiring_config();
    options.index->selection = selection;
    Engine engine = open_with(options);
    std::size_t index_compactions = 0;
    std::size_t list_compactions = 0;
    std::size_t filtered_by_index = 0;
    for (int step = 0; step < 1500; ++step) {
      const std::string id = id_of(rng_() % 300);
      const std::uint64_t retired = engine.index()->retired_count();
      const std::size_t slots = engine.get_all().slot_count();
      if (rng_() % 3 != 0) {
        Stored stored{random_vector(), rng_() % 4 == 0 ? 0u : 1u};
        ASSERT_TRUE(engine.insert(id, stored.vector, group_of(stored.group)));
        model[id] = stored;
      } else {
        ASSERT_TRUE(engine.remove(id));
        model.erase(id);
      }
      if (engine.index()->retired_count() < retired) ++index_compactions;
      if (engine.get_all().slot_count() < slots) ++list_compactions;
      if (step % 30 != 0) continue;
      for (int q = 0; q < 4; ++q) {
        const Vec query = random_vector();
        engine.set_index_ef_search(400);
        ASSERT_EQ(answer_of(engine.search(query, 10)), exact(model, query, 10)) << "step " << step;
        const SearchRequest filtered{query, 5, {in_group(q % 2)}, {}, {}, true};
        ASSERT_EQ(answer_of(engine.search(filtered)), exact(model, query, 5, q % 2)) << "step " << step;
        // A small result list, through the index with and without a filter.
        engine.set_index_ef_search(1);
        // k = 1 and ef 1: a result list of 1, for which the passing records
        // of this small list are enough to make the index answer.
        const SearchRequest common{query, 1, {in_group(1)}, {}, {}, true};
        if (index_filters_faster(engine.get_all(), common.filters, 1)) ++filtered_by_index;
        for (const SearchRequest& request : {SearchRequest{query, 10, {}, {}, {}}, common}) {
          for (const SearchResult& found : engine.search(request)) {
            ASSERT_TRUE(model.contains(found.id)) << found.id << " was deleted";
            EXPECT_EQ(found.score, euclidean(query, model.at(found.id).vector)) << found.id << " has a new vector";
            EXPECT_TRUE(request.filters.empty() || model.at(found.id).group == 1) << found.id;
          }
        }
      }
    }
    EXPECT_GT(index_compactions, 0u);
    EXPECT_GT(list_compactions, 0u);
    EXPECT_GT(filtered_by_index, 100u);

    // Compaction on request: no retired node is left, and one node stands
    // for each record.
    while (engine.index()->retired_count() == 0) {
      ASSERT_TRUE(engine.remove(model.begin()->first));
      model.erase(model.begin());
    }
    engine.compact_index();
    EXPECT_EQ(engine.index()->retired_count(), 0u);
    EXPECT_EQ(engine.index()->size(), engine.get_all().size());
    EXPECT_EQ(engine.get_all().free_slots(), 0u);
    engine.set_index_ef_search(400);
    const Vec query = random_vector();
    EXPECT_EQ(answer_of(engine.search(query, 10)), exact(model, query, 10));
  }
}

// With a retiring index and a second worker, an insert searches for the
// new node's neighbours while its change commits. The same changes made on
// one worker, where the searches follow the commit, must give the same
// graph step by step (levels, links, retired marks, the seeded generator);
// and a change whose commit fails must leave the graph and the answers as
// they were.
TEST_F(EngineIndexOptionsTest, SearchingBesideTheCommitGivesTheGraphOfOneWorker) {
  for (const NeighborSelection selection : {NeighborSelection::Closest, NeighborSelection::Diverse}) {
    SCOPED_TRACE(selection == NeighborSelection::Diverse ? "diverse" : "closest");
    const std::string alone_path = dir_.file(selection == NeighborSelection::Diverse ? "diverse.db" : "closest.db");
    const std::string beside_path = alone_path + "-beside";
    EngineOptions options;
    options.metric = Metric::Euclidean;
    options.index = retiring_config();
    options.index->selection = selection;
    options.worker_threads = 1;
    Engine alone = Engine::open(alone_path, options).value();
    options.worker_threads = 2;
    Engine beside = Engine::open(beside_path, options).value();
    for (int step = 0; step < 600; ++step) {
      const std::string id = id_of(rng_() % 150);
      if (rng_() % 4 != 0) {
        const Vec vector = random_vector();
        ASSERT_TRUE(alone.insert(id, vector, {}));
        ASSERT_TRUE(beside.insert(id, vector, {}));
      } else {
        ASSERT_TRUE(alone.remove(id));
        ASSERT_TRUE(beside.remove(id));
      }
      ASSERT_EQ(beside.index()->graph(), alone.index()->graph()) << "step " << step;
    }

    // The file moved away: the re-insert is refused once its search has
    // started, and nothing of it stays.
    const std::string stored_id = std::string(beside.get_all().id(0));
    const Vec query = random_vector();
    const HnswGraph before = beside.index()->graph();
    const std::vector<SearchResult> answers = beside.search(query, 10);
    std::filesystem::rename(beside_path, beside_path + "-moved");
    EXPECT_FALSE(beside.insert(stored_id, query, {}));
    EXPECT_EQ(beside.index()->graph(), before);
    EXPECT_EQ(beside.search(query, 10), answers);
    std::filesystem::rename(beside_path + "-moved", beside_path);
    ASSERT_TRUE(alone.insert(stored_id, query, {}));
    ASSERT_TRUE(beside.insert(stored_id, query, {}));
    EXPECT_EQ(beside.index()->graph(), alone.index()->graph());
  }
}

// insert_all with a retiring index: replaced records get new nodes, new
// ones are appended, and an id given twice keeps its last vector.
TEST_F(EngineIndexOptionsTest, BulkInsertRetiresTheReplacedNodes) {
  EngineOptions options;
  options.metric = Metric::Euclidean;
  options.index = retiring_config();
  options.index->ef_search = 400;
  Engine engine = open_with(options);
  std::map<std::string, Stored> model;
  std::vector<Record> first;
  for (unsigned i = 0; i < 100; ++i) {
    model[id_of(i)] = {random_vector(), 0};
    first.push_back(Record{id_of(i), model[id_of(i)].vector, group_of(0), std::nullopt});
  }
  ASSERT_TRUE(engine.insert_all(first));
  std::vector<Record> second;
  for (unsigned i = 90; i < 110; ++i) {
    model[id_of(i)] = {random_vector(), 0};
    second.push_back(Record{id_of(i), model[id_of(i)].vector, group_of(0), std::nullopt});
  }
  model[id_of(95)] = {random_vector(), 0};
  second.push_back(Record{id_of(95), model[id_of(95)].vector, group_of(0), std::nullopt});
  ASSERT_TRUE(engine.insert_all(second));
  EXPECT_EQ(engine.index()->retired_count(), 10u);
  EXPECT_EQ(engine.index()->size(), 120u);
  for (int q = 0; q < 10; ++q) {
    const Vec query = random_vector();
    EXPECT_EQ(answer_of(engine.search(query, 10)), exact(model, query, 10));
  }
}

TEST_F(EngineIndexOptionsTest, ASampleDecidesWhetherTheIndexFilters) {
  Engine engine = open_ok();
  // 8,192 records: every eighth passes filter 1, the first half passes
  // filter 2.
  std::vector<Record> records;
  for (unsigned i = 0; i < 8192; ++i) {
    JsonValue metadata = JsonValue::make_object(
        {JsonValue::Member{"group", JsonValue(static_cast<JsonValue::Unsigned>(i % 8 == 0 ? 1 : 0))},
         JsonValue::Member{"half", JsonValue(i < 4096)}});
    records.push_back(Record{id_of(i), {1.0f}, std::move(metadata), std::nullopt});
  }
  ASSERT_TRUE(engine.insert_all(records));
  const RecordList& list = engine.get_all();
  const MetadataFilter eighth[] = {in_group(1)};
  const MetadataFilter half[] = {MetadataFilter{"half", JsonValue(true)}};
  const MetadataFilter nobody[] = {in_group(7)};
  // Positions spaced 8 apart would all pass: the sample must not see only
  // them.
  EXPECT_NEAR(sampled_passing_share(list, eighth, 1024), 0.125, 0.04);
  EXPECT_DOUBLE_EQ(sampled_passing_share(list, half, 1024), 0.5);  // 512 stretches in each half
  EXPECT_DOUBLE_EQ(sampled_passing_share(list, eighth, 100000), 0.125);  // every record
  EXPECT_EQ(sampled_passing_share(list, nobody, 1024), 0.0);
  EXPECT_EQ(sampled_passing_share(RecordList(), eighth, 1024), 0.0);
  // A free slot is not counted.
  ASSERT_TRUE(engine.remove(id_of(8)));
  EXPECT_DOUBLE_EQ(sampled_passing_share(engine.get_all(), eighth, 100000), 1023.0 / 8191);
  // An estimated 4,095.5 records pass filter 2: enough for the longest
  // result list the rule allows them, not for one place more.
  const auto places = static_cast<std::uint64_t>(4095.5 / Engine::kIndexFilterPassing);
  EXPECT_TRUE(index_filters_faster(engine.get_all(), half, places));
  EXPECT_FALSE(index_filters_faster(engine.get_all(), half, places + 1));
  EXPECT_FALSE(index_filters_faster(engine.get_all(), nobody, 0));
}

// A filtered search through the index: for a rare group the passing
// records are scored, exactly; for a common one the index answers with
// records of the group, their exact scores, and nearly all of the exact
// answer. Decay keeps both on the exhaustive path.
TEST_F(EngineIndexOptionsTest, FilteredSearchThroughTheIndexMatchesTheExhaustiveSearch) {
  std::map<std::string, Stored> model;
  {
    Engine engine = open_ok();
    std::vector<Record> records;
    for (unsigned i = 0; i < 6000; ++i) {
      // Group 0 holds one record in 500, too few for the index to answer;
      // groups 1 and 2 share the rest, enough for it.
      const unsigned group = i % 500 == 0 ? 0 : 1 + i % 2;
      model[id_of(i)] = {random_vector(), group};
      records.push_back(Record{id_of(i), model[id_of(i)].vector, group_of(group), std::nullopt});
    }
    ASSERT_TRUE(engine.insert_all(records));
  }
  EngineOptions options;
  options.metric = Metric::Euclidean;
  options.index = default_hnsw_config(8);
  options.index->selection = NeighborSelection::Diverse;
  options.index->seed = 2;
  options.index->ef_search = 24;
  Engine engine = open_with(options);
  ASSERT_FALSE(index_filters_faster(engine.get_all(), std::vector{in_group(0)}, 24));
  ASSERT_TRUE(index_filters_faster(engine.get_all(), std::vector{in_group(1)}, 24));
  std::size_t found = 0;
  for (int q = 0; q < 20; ++q) {
    const Vec query = random_vector();
    EXPECT_EQ(answer_of(engine.search(SearchRequest{query, 8, {in_group(0)}, {}, {}, true})),
              exact(model, query, 8, 0));
    for (const unsigned group : {0u, 1u, 2u}) {
      const auto truth = exact(model, query, 8, group);
      for (const SearchResult& result : engine.search(SearchRequest{query, 8, {in_group(group)}, {}, {}, true})) {
        ASSERT_EQ(model.at(result.id).group, group) << result.id;
        EXPECT_EQ(result.score, euclidean(query, model.at(result.id).vector));
        found += std::ranges::count(truth, std::pair(result.id, result.score));
      }
      const SearchRequest decayed{query, 8, {in_group(group)}, 0.5f, 1, true};
      SearchRequest exhaustive = decayed;
      exhaustive.filter_through_index = false;
      EXPECT_EQ(engine.search(decayed), engine.search(exhaustive));
    }
  }
  EXPECT_GE(found, 20u * 3 * 8 * 95 / 100);
}

// Opening with a build on every worker gives a graph that holds every
// record and finds the nearest about as well as the build on one thread;
// two seeded builds on one thread give the same graph.
TEST_F(EngineIndexOptionsTest, BuildsOnTheWorkersAndSeededBuildsRepeat) {
  std::map<std::string, Stored> model;
  {
    Engine engine = open_ok();
    std::vector<Record> records;
    for (unsigned i = 0; i < 4000; ++i) {
      model[id_of(i)] = {random_vector(), 0};
      records.push_back(Record{id_of(i), model[id_of(i)].vector, std::nullopt, std::nullopt});
    }
    ASSERT_TRUE(engine.insert_all(records));
  }
  const auto recall = [&](const Engine& engine) {
    std::size_t found = 0;
    std::mt19937 queries(5);
    for (int q = 0; q < 100; ++q) {
      std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
      Vec query(8);
      for (float& value : query) value = uniform(queries);
      const auto truth = exact(model, query, 10);
      for (const SearchResult& result : engine.search(query, 10)) {
        found += std::ranges::count_if(truth, [&](const auto& t) { return t.first == result.id; });
      }
    }
    return static_cast<double>(found) / 1000.0;
  };
  EngineOptions options;
  options.metric = Metric::Euclidean;
  options.worker_threads = 2;
  options.index = default_hnsw_config(8);
  options.index->seed = 4;
  double one_thread = 0.0;
  std::optional<HnswIndex> first;
  for (int run = 0; run < 2; ++run) {
    Engine engine = open_with(options);
    one_thread = recall(engine);
    if (first) {
      for (std::uint64_t node = 0; node < 4000; ++node) ASSERT_EQ(engine.index()->node(node), first->node(node));
    } else {
      first = *engine.index();
    }
  }
  options.index->build_threads = 0;
  Engine engine = open_with(options);
  ASSERT_EQ(engine.index()->size(), 4000u);
  EXPECT_GE(recall(engine), one_thread - 0.02);
  EXPECT_GE(recall(engine), 0.9);
}

}  // namespace
}  // namespace quorvel
