#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "search.h"
#include "worker_pool.h"
#include "quorvel/core/engine.h"
#include "quorvel/testing/database_test.h"

namespace quorvel {
namespace {

using Vec = std::vector<float>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::DotProduct, Metric::Euclidean,
                                  Metric::Manhattan};

TEST(WorkerCountTest, FollowsTheEnvironmentVariables) {
  struct Case {
    std::optional<std::string_view> num_threads;
    std::optional<std::string_view> rs_num_cpus;
    std::size_t expected;
  };
  constexpr std::size_t kHardware = 6;
  const Case cases[] = {
      {std::nullopt, std::nullopt, kHardware},
      {"3", std::nullopt, 3},
      {"+3", "5", 3},
      {"3", "5", 3},
      {"0", "5", kHardware},  // 0 means "one per hardware thread".
      {std::nullopt, "5", 5},
      {"many", "5", 5},  // Not a number: the older variable decides.
      {"", "5", 5},
      {" 3", "5", 5},
      {"-3", "5", 5},
      {"3x", std::nullopt, kHardware},
      {"99999999999999999999999", "2", 2},
      {std::nullopt, "0", kHardware},
      {std::nullopt, "++2", kHardware},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(worker_count(c.num_threads, c.rs_num_cpus, kHardware), c.expected)
        << c.num_threads.value_or("(unset)") << " / " << c.rs_num_cpus.value_or("(unset)");
  }
}

TEST(WorkerPoolTest, CoversTheRangeExactlyOnceInContiguousParts) {
  for (std::size_t threads : {1u, 3u}) {
    WorkerPool pool(threads);
    EXPECT_EQ(pool.size(), threads);
    for (std::size_t count : {0u, 1u, 2u, 1000u, 100000u}) {
      std::vector<std::atomic<int>> hits(count);
      pool.parallel_for(count, [&](std::size_t begin, std::size_t end) {
        EXPECT_LT(begin, end);
        EXPECT_LE(end, count);
        for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
      });
      EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const auto& h) { return h.load() == 1; }))
          << threads << " threads, count " << count;
    }
  }
}

TEST(RankKeyTest, OrdersScoresBestFirstWithNaNLast) {
  // Listed best first under each direction; neighbours in one group tie.
  const std::vector<std::vector<float>> larger_first = {
      {kInf}, {3e38f}, {1.0f}, {1e-45f}, {0.0f, -0.0f}, {-1e-45f}, {-1.0f}, {-kInf}, {kNaN, -kNaN}};
  const std::vector<std::vector<float>> smaller_first = {
      {-kInf}, {-1.0f}, {0.0f, -0.0f}, {1e-45f}, {2.0f}, {kInf}, {kNaN, -kNaN}};
  for (const auto& [groups, larger] : {std::pair{larger_first, true}, std::pair{smaller_first, false}}) {
    for (std::size_t g = 0; g < groups.size(); ++g) {
      for (float x : groups[g]) {
        EXPECT_EQ(rank_key(x, larger), rank_key(groups[g][0], larger)) << x;
        if (g + 1 < groups.size()) {
          EXPECT_LT(rank_key(x, larger), rank_key(groups[g + 1][0], larger)) << x;
        }
      }
    }
  }
}

// The written algorithm, plainly: score every record, stable sort in the
// metric's direction with NaN after every number, truncate.
std::vector<SearchResult> reference_search(const std::vector<Record>& records, Metric metric,
                                           const Vec& query, std::uint64_t k) {
  std::vector<SearchResult> all;
  for (const Record& record : records) {
    all.push_back({record.id, record.metadata, metric_value(metric, query, record.vector)});
  }
  const bool larger = larger_is_closer(metric);
  std::stable_sort(all.begin(), all.end(), [larger](const SearchResult& x, const SearchResult& y) {
    if (std::isnan(x.score)) return false;
    if (std::isnan(y.score)) return true;
    return larger ? x.score > y.score : x.score < y.score;
  });
  if (all.size() > k) all.resize(k);
  return all;
}

bool same_results(const std::vector<SearchResult>& x, const std::vector<SearchResult>& y) {
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const bool same_score = std::isnan(x[i].score) ? std::isnan(y[i].score) : x[i].score == y[i].score;
    if (x[i].id != y[i].id || x[i].metadata != y[i].metadata || !same_score) return false;
  }
  return true;
}

// Records drawn from few distinct short vectors, so that scores tie often;
// some are empty, of other lengths, huge (infinite sums) or hold NaN.
std::vector<Record> tie_heavy_records(std::size_t count) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> coordinate(-1, 1);
  std::uniform_int_distribution<int> kind(0, 19);
  std::vector<Record> records;
  for (std::size_t i = 0; i < count; ++i) {
    Vec v(3);
    for (float& x : v) x = static_cast<float>(coordinate(rng));
    switch (kind(rng)) {
      case 0: v.clear(); break;
      case 1: v.push_back(2.0f); break;
      case 2: v = {3e38f, 3e38f, 3e38f}; break;
      case 3: v[1] = kNaN; break;
      default: break;
    }
    std::optional<JsonValue> metadata;
    if (i % 3 != 0) metadata = JsonValue::make_object({{"n", JsonValue(static_cast<JsonValue::Unsigned>(i))}});
    std::string id = std::to_string(i);
    id.insert(id.begin(), 'r');
    records.push_back(Record{std::move(id), std::move(v), std::move(metadata), std::nullopt});
  }
  return records;
}

RecordList list_of(const std::vector<Record>& records) {
  RecordList list;
  for (const Record& record : records) list.append(record.id, record.vector, record.metadata, record.timestamp);
  return list;
}

// A split of a loop into parts of 7, the last part first: an order no pool
// would choose.
void backwards_in_sevens(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  for (std::size_t end = count; end > 0;) {
    const std::size_t begin = end > 7 ? end - 7 : 0;
    body(begin, end);
    end = begin;
  }
}

TEST(SearchRecordsTest, MatchesStableSortForEveryMetricKAndSplit) {
  const std::vector<Record> records = tie_heavy_records(2000);
  const RecordList list = list_of(records);
  const std::vector<float> squares = squares_of(list, run_serially);
  WorkerPool one(1);
  WorkerPool three(3);
  const std::vector<std::pair<std::string, ParallelFor>> splits = {
      {"serial", run_serially},
      {"pool of 1", [&](std::size_t n, const auto& body) { one.parallel_for(n, body); }},
      {"pool of 3", [&](std::size_t n, const auto& body) { three.parallel_for(n, body); }},
      {"backwards in sevens", backwards_in_sevens},
  };
  const std::vector<Vec> queries = {{1, 0, -1}, {0, 0, 0}, {1, 1}, {}, {1, kNaN, 1}, {1, -1, 1, 1}};
  const std::uint64_t ks[] = {0, 1, 10, 1999, 2000, 2001, std::numeric_limits<std::uint64_t>::max()};
  for (Metric metric : kAllMetrics) {
    for (const Vec& query : queries) {
      for (std::uint64_t k : ks) {
        const auto expected = reference_search(records, metric, query, k);
        for (const auto& [name, split] : splits) {
          EXPECT_TRUE(same_results(search_records(list, metric, query, k, split), expected))
              << "metric " << static_cast<int>(metric) << ", query length " << query.size() << ", k " << k
              << ", split " << name;
          // With the records' sums of squares known: the same results.
          EXPECT_TRUE(same_results(search_records(list, metric, query, k, split, squares), expected))
              << "with squares, metric " << static_cast<int>(metric) << ", query length " << query.size()
              << ", k " << k << ", split " << name;
        }
      }
    }
  }
}

// Filters and decay over a list with free slots, against the same steps
// done plainly: keep the live records that pass, score, decay, stable sort.
TEST(SearchRecordsTest, FiltersAndDecayMatchThePlainStepsForEverySplit) {
  std::vector<Record> records = tie_heavy_records(600);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const JsonValue group(static_cast<JsonValue::Unsigned>(i % 3));
    if (i % 4 != 0) records[i].metadata = JsonValue::make_object({{"g", group}});
    if (i % 5 != 0) records[i].timestamp = 1000 + 86400 * (i % 7);
  }
  RecordList list = list_of(records);
  std::vector<Record> live;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i % 7 == 3) {
      ASSERT_TRUE(list.remove(records[i].id));
    } else {
      live.push_back(records[i]);
    }
  }
  ASSERT_GT(list.slot_count(), list.size());  // free slots remain to be skipped

  WorkerPool three(3);
  const std::vector<std::pair<std::string, ParallelFor>> splits = {
      {"serial", run_serially},
      {"pool of 3", [&](std::size_t n, const auto& body) { three.parallel_for(n, body); }},
      {"backwards in sevens", backwards_in_sevens},
  };
  const std::uint64_t now = 1000 + 86400 * 10;
  struct Case {
    std::string name;
    std::vector<MetadataFilter> filters;
    std::optional<float> decay;
  };
  const std::vector<Case> cases = {
      {"neither", {}, std::nullopt},
      {"filter", {{"g", JsonValue(static_cast<JsonValue::Unsigned>(1))}}, std::nullopt},
      {"decay", {}, 0.5f},
      {"filter and decay", {{"g", JsonValue(static_cast<JsonValue::Unsigned>(2))}}, 0.9f},
  };
  const Vec query = {1, 0, -1};
  const std::uint64_t ks[] = {0, 1, 10, 500, std::numeric_limits<std::uint64_t>::max()};
  for (Metric metric : kAllMetrics) {
    const bool larger = larger_is_closer(metric);
    for (const Case& c : cases) {
      std::vector<SearchResult> all;
      for (const Record& record : live) {
        if (!c.filters.empty() && !passes(record.metadata, c.filters)) continue;
        float score = metric_value(metric, query, record.vector);
        if (c.decay) score = decayed(score, *c.decay, now, record.timestamp, larger);
        all.push_back({record.id, record.metadata, score});
      }
      std::stable_sort(all.begin(), all.end(), [larger](const SearchResult& x, const SearchResult& y) {
        if (std::isnan(x.score)) return false;
        if (std::isnan(y.score)) return true;
        return larger ? x.score > y.score : x.score < y.score;
      });
      for (std::uint64_t k : ks) {
        std::vector<SearchResult> expected = all;
        if (expected.size() > k) expected.resize(k);
        SearchRequest request;
        request.query = query;
        request.k = k;
        request.filters = c.filters;
        request.decay = c.decay;
        if (c.decay) request.now = now;
        for (const auto& [name, split] : splits) {
          EXPECT_TRUE(same_results(search_records(list, metric, request, split), expected))
              << c.name << ", metric " << static_cast<int>(metric) << ", k " << k << ", split " << name;
          if (c.filters.empty() && !c.decay) {
            EXPECT_TRUE(same_results(search_records(list, metric, query, k, split), expected))
                << "plain, metric " << static_cast<int>(metric) << ", k " << k << ", split " << name;
          }
        }
      }
    }
  }
}

class EngineSearchTest : public testing::DatabaseTest<Engine> {};

EngineOptions with_metric(Metric metric) {
  EngineOptions options;
  options.metric = metric;
  return options;
}

std::vector<std::string> ids_of(const std::vector<SearchResult>& results) {
  std::vector<std::string> ids;
  for (const SearchResult& result : results) ids.push_back(result.id);
  return ids;
}

std::vector<float> scores_of(const std::vector<SearchResult>& results) {
  std::vector<float> scores;
  for (const SearchResult& result : results) scores.push_back(result.score);
  return scores;
}

TEST_F(EngineSearchTest, OpensWithCosine) {
  EXPECT_EQ(open_ok().metric(), Metric::Cosine);
}

TEST_F(EngineSearchTest, RanksTheRecordList) {
  struct Stored {
    std::string id;
    Vec vector;
  };
  struct Case {
    std::string name;
    Metric metric;
    std::vector<Stored> stored;  // Inserted in this order.
    Vec query;
    std::uint64_t k;
    std::vector<std::string> expected_ids;
    std::vector<float> expected_scores;  // Empty: not checked.
  };
  const std::vector<Stored> three = {{"a", {1, 0}}, {"b", {0, 1}}, {"c", {-1, 0}}};
  const Case cases[] = {
      {"empty database", Metric::Cosine, {}, {1, 0}, 5, {}, {}},
      {"empty database, k = 0", Metric::Cosine, {}, {1, 0}, 0, {}, {}},
      {"k = 0", Metric::Cosine, three, {1, 0}, 0, {}, {}},
      {"k above the count returns all, ranked", Metric::Cosine, three, {1, 0}, 10, {"a", "b", "c"}, {1, 0, -1}},
      {"k truncates", Metric::Cosine, three, {0, 1}, 1, {"b"}, {1}},
      {"positive multiple scores 1, negation -1", Metric::Cosine,
       {{"neg", {-2, -4}}, {"mult", {3, 6}}, {"other", {1, -1}}}, {1, 2}, 3,
       {"mult", "other", "neg"}, {}},
      {"zero query: every score 0, record-list order", Metric::Cosine, three, {0, 0}, 3,
       {"a", "b", "c"}, {0, 0, 0}},
      {"zero and empty stored vectors score 0", Metric::Cosine,
       {{"z", {0, 0}}, {"e", {}}, {"x", {1, 1}}}, {1, 0}, 3, {"x", "z", "e"}, {},},
      {"Euclidean: equal vector first, farthest last", Metric::Euclidean,
       {{"far", {10, 10}}, {"same", {1, 2}}, {"near", {1, 3}}}, {1, 2}, 3,
       {"same", "near", "far"}, {0, 1, std::sqrt(145.0f)}},
      {"Manhattan: smaller first", Metric::Manhattan, three, {1, 0}, 3, {"a", "b", "c"}, {0, 2, 2}},
      {"DotProduct: larger first", Metric::DotProduct,
       {{"a", {1, 1}}, {"b", {2, 2}}, {"c", {-3, 0}}}, {1, 1}, 3, {"b", "a", "c"}, {4, 2, -3}},
      {"identical vectors keep record-list order", Metric::Cosine,
       {{"b", {1, 1}}, {"a", {1, 1}}, {"c", {2, 2}}}, {1, 1}, 3, {"b", "a", "c"}, {}},
      {"a re-inserted id is scored with its new vector, in its place", Metric::Cosine,
       {{"a", {1, 0}}, {"b", {0, 1}}, {"a", {0, 1}}}, {0, 1}, 5, {"a", "b"}, {1, 1}},
      {"mixed lengths compare on the common coordinates", Metric::Euclidean,
       {{"long", {1, 2, 3, 100}}, {"short", {5}}, {"mid", {1, 2}}}, {1, 2, 3}, 3,
       {"long", "mid", "short"}, {0, 0, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    auto engine = Engine::open(dir.file("case.db"), with_metric(c.metric));
    ASSERT_TRUE(engine) << engine.error().message();
    for (const Stored& s : c.stored) ASSERT_TRUE(engine->insert(s.id, s.vector, std::nullopt));
    const auto results = engine->search(c.query, c.k);
    EXPECT_EQ(ids_of(results), c.expected_ids);
    if (!c.expected_scores.empty()) {
      EXPECT_EQ(scores_of(results), c.expected_scores);
    }
  }
}

TEST_F(EngineSearchTest, CosineOfEqualAndOppositeVectors) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.insert("neg", {-0.3f, -0.7f, -0.11f}, std::nullopt));
  ASSERT_TRUE(engine.insert("same", {0.3f, 0.7f, 0.11f}, std::nullopt));
  const auto results = engine.search(Vec{0.3f, 0.7f, 0.11f}, 2);
  ASSERT_EQ(ids_of(results), (std::vector<std::string>{"same", "neg"}));
  EXPECT_NEAR(results[0].score, 1.0f, 1e-6f);
  EXPECT_NEAR(results[1].score, -1.0f, 1e-6f);
}

TEST_F(EngineSearchTest, CopiesMetadataOfTheReturnedRecords) {
  Engine engine = open_ok();
  const JsonValue label = JsonValue::make_object({{"label", JsonValue("shirt")}});
  ASSERT_TRUE(engine.insert("with", {1, 0}, label));
  ASSERT_TRUE(engine.insert("without", {0, 1}, std::nullopt));
  const auto results = engine.search(Vec{1, 0}, 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], (SearchResult{"with", label, 1.0f}));
  EXPECT_EQ(results[1], (SearchResult{"without", std::nullopt, 0.0f}));
}

// Stored vectors cannot hold NaN, but a query can, and huge values make
// inf - inf: NaN scores come after every number, in record-list order, and
// the search still returns min(k, n) results.
TEST_F(EngineSearchTest, NaNScoresRankLast) {
  // The same four records, inserted in this order, in a new engine of each metric.
  const auto engine_of = [](const testing::TempDir& dir, Metric metric) {
    auto engine = Engine::open(dir.file(std::to_string(static_cast<int>(metric)) + ".db"), with_metric(metric));
    EXPECT_TRUE(engine);
    EXPECT_TRUE(engine->insert("huge1", {3e38f, 3e38f}, std::nullopt));
    EXPECT_TRUE(engine->insert("low", {-1, 0}, std::nullopt));
    EXPECT_TRUE(engine->insert("huge2", {3e38f, 3e38f}, std::nullopt));
    EXPECT_TRUE(engine->insert("high", {1, 0}, std::nullopt));
    return std::move(engine).value();
  };

  auto results = engine_of(dir_, Metric::DotProduct).search(Vec{3e38f, -3e38f}, 10);
  EXPECT_EQ(ids_of(results), (std::vector<std::string>{"high", "low", "huge1", "huge2"}));
  EXPECT_TRUE(std::isnan(results[2].score) && std::isnan(results[3].score));

  for (Metric metric : kAllMetrics) {
    testing::TempDir dir;
    results = engine_of(dir, metric).search(Vec{kNaN, 1}, 3);
    EXPECT_EQ(ids_of(results), (std::vector<std::string>{"huge1", "low", "huge2"}));
    EXPECT_TRUE(std::all_of(results.begin(), results.end(), [](const auto& r) { return std::isnan(r.score); }));
  }
}

// The load parses stored values on the worker pool; the record list keeps
// ascending id order, and a search ranks that list.
TEST_F(EngineSearchTest, ReopenedRecordsKeepKeyOrder) {
  std::vector<std::string> ids;
  {
    Engine engine = open_ok();
    for (int i = 99; i >= 0; --i) {
      ids.push_back("id" + std::to_string(i));
      ASSERT_TRUE(engine.insert(ids.back(), {1, 1}, std::nullopt));
    }
  }
  std::sort(ids.begin(), ids.end());
  Engine engine = open_ok();
  std::vector<std::string> loaded;
  for (const RecordView& record : engine.get_all()) loaded.emplace_back(record.id);
  EXPECT_EQ(loaded, ids);
  EXPECT_EQ(ids_of(engine.search(Vec{2, 2}, 1000)), ids);
}

// Re-inserts that grow and shrink vectors, and removes anywhere in the list:
// every search ranks the list as it stands, and a reopen brings back the
// same records in id order.
TEST_F(EngineSearchTest, SearchFollowsTheListThroughChanges) {
  std::mt19937 rng(3);
  std::vector<Record> model;
  {
    Engine engine = open_ok();
    for (int step = 0; step < 300; ++step) {
      std::string id = std::to_string(rng() % 40);
      id.insert(id.begin(), 'r');  // (not "r" + ...: g++ 12 warns wrongly about that)
      const auto at = std::find_if(model.begin(), model.end(), [&](const Record& r) { return r.id == id; });
      if (rng() % 4 == 0) {
        ASSERT_TRUE(engine.remove(id));
        if (at != model.end()) model.erase(at);
      } else {
        Vec vector(rng() % 3 == 0 ? rng() % 700 : 1 + rng() % 8);
        for (float& x : vector) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
        ASSERT_TRUE(engine.insert(id, vector, std::nullopt));
        Record record{id, vector, std::nullopt, std::nullopt};
        if (at != model.end()) {
          *at = std::move(record);
        } else {
          model.push_back(std::move(record));
        }
      }
      const Vec query = {1, -1, 2, 0, 1};
      ASSERT_TRUE(same_results(engine.search(query, 7), reference_search(model, Metric::Cosine, query, 7)))
          << "after step " << step;
    }
  }
  std::sort(model.begin(), model.end(), [](const Record& x, const Record& y) { return x.id < y.id; });
  Engine reopened = open_ok();
  std::vector<Record> loaded;
  for (const RecordView& record : reopened.get_all()) loaded.push_back(record.to_record());
  EXPECT_EQ(loaded, model);
}

}  // namespace
}  // namespace quorvel
