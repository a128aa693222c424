// The attached index, metadata filters and decay.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <math.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/testing/database_test.h"

namespace quorvel {
namespace {

using Vec = std::vector<float>;

// Lists long enough that every node of a small index stays reachable.
HnswConfig roomy(float ml) {
  return HnswConfig{.m = 16, .m_max = 16, .m_max0 = 32, .ef_construction = 64, .ef_search = 64, .ml = ml};
}

// With ml = 0 every node is drawn at level 0, so the graph depends on the
// vectors and their order alone: two indexes built alike are equal.
constexpr float kFlat = 0.0f;

// An index built afresh over the engine's records, as the engine builds it.
HnswIndex fresh_index(const Engine& engine, const HnswConfig& config) {
  HnswIndex index(config);
  const RecordList& records = engine.get_all();
  const auto vector_of = [&](std::uint64_t node) { return records.vector(node); };
  for (std::size_t i = 0; i < records.size(); ++i) index.insert(i, records.vector(i), vector_of, engine.metric());
  return index;
}

void expect_same_graph(const HnswIndex& x, const HnswIndex& y) {
  ASSERT_EQ(x.size(), y.size());
  EXPECT_EQ(x.entry_point(), y.entry_point());
  EXPECT_EQ(x.top_level(), y.top_level());
  for (std::uint64_t node = 0; node < x.size(); ++node) EXPECT_EQ(x.node(node), y.node(node)) << node;
}

// "r<i>" (built without "r" + ..., about which g++ 12 warns wrongly).
std::string numbered(int i) {
  std::string id = std::to_string(i);
  id.insert(id.begin(), 'r');
  return id;
}

std::vector<std::string> ids_of(const std::vector<SearchResult>& results) {
  std::vector<std::string> ids;
  for (const SearchResult& result : results) ids.push_back(result.id);
  return ids;
}

class EngineIndexTest : public testing::DatabaseTest<Engine> {
 protected:
  Engine open_with(const EngineOptions& options) {
    auto engine = Engine::open(path_, options);
    EXPECT_TRUE(engine) << engine.error().message();
    return std::move(engine).value();
  }
};

TEST_F(EngineIndexTest, OpenBuildsTheIndexOverTheLoadedRecords) {
  {
    Engine engine = open_ok();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(engine.insert(numbered(i), {float(i), 1.0f}, {}));
    EXPECT_FALSE(engine.has_index());
  }
  EngineOptions options;
  options.index = roomy(kFlat);
  Engine engine = open_with(options);
  ASSERT_TRUE(engine.has_index());
  expect_same_graph(*engine.index(), fresh_index(engine, roomy(kFlat)));
  engine.detach_index();
  EXPECT_FALSE(engine.has_index());
  EXPECT_EQ(engine.index(), nullptr);
}

// Deleting the second of three renumbers: two nodes, 0 and 1, for the first
// and the third record.
TEST_F(EngineIndexTest, ADeleteRebuildsWithTheNewPositions) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.attach_index(roomy(kFlat)));
  for (const char* id : {"first", "second", "third"}) ASSERT_TRUE(engine.insert(id, {1.0f, float(id[0])}, {}));
  EXPECT_EQ(engine.index()->size(), 3u);
  ASSERT_TRUE(engine.remove("second"));
  ASSERT_EQ(engine.index()->size(), 2u);
  EXPECT_TRUE(engine.index()->node(0) && engine.index()->node(1));
  EXPECT_FALSE(engine.index()->node(2));
  expect_same_graph(*engine.index(), fresh_index(engine, roomy(kFlat)));
  EXPECT_EQ(ids_of(engine.search(Vec{1.0f, float('t')}, 2)), (std::vector<std::string>{"third", "first"}));
}

// Levels drawn at random: a rebuild would draw them anew, so an unchanged
// graph shows that none happened.
TEST_F(EngineIndexTest, NothingChangesTheIndexButACommittedChange) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.attach_index(roomy(1.0f)));
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(engine.insert(numbered(i), {float(i % 7), float(i)}, {}));
  const HnswIndex before = *engine.index();
  ASSERT_TRUE(engine.remove("never stored"));
  ASSERT_FALSE(engine.insert("bad", {std::nanf("")}, {}));  // refused by the store
  ASSERT_FALSE(engine.insert_all({Record{"new", {1.0f, 2.0f}, {}, {}}, Record{"bad", {}, JsonValue(std::nan("")), {}}}));
  expect_same_graph(*engine.index(), before);
}

// A bulk insert keeps the index in step as inserts in turn would: new records
// become nodes in list order, and one that changes a stored vector in place
// rebuilds the index.
TEST_F(EngineIndexTest, InsertAllKeepsTheIndexInStep) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.attach_index(roomy(kFlat)));
  ASSERT_TRUE(engine.insert("r0", {0.0f, 1.0f}, {}));
  std::vector<Record> batch;
  for (int i = 1; i < 40; ++i) batch.push_back(Record{numbered(i), {float(i % 5), float(i)}, {}, {}});
  ASSERT_TRUE(engine.insert_all(std::move(batch)));
  EXPECT_EQ(engine.index()->size(), 40u);
  expect_same_graph(*engine.index(), fresh_index(engine, roomy(kFlat)));

  ASSERT_TRUE(engine.insert_all({Record{"r7", {-1.0f, 0.0f}, {}, {}}, Record{"r40", {4.0f, 40.0f}, {}, {}}}));
  EXPECT_EQ(engine.index()->size(), 41u);
  expect_same_graph(*engine.index(), fresh_index(engine, roomy(kFlat)));
  EXPECT_EQ(ids_of(engine.search(Vec{-1.0f, 0.0f}, 1)), std::vector<std::string>{"r7"});
}

// A re-insert changes a vector in place: the index is rebuilt, so the node
// does not keep links made for its old vector.
TEST_F(EngineIndexTest, AReinsertRebuildsTheIndex) {
  const HnswConfig sparse{.m = 2, .m_max = 2, .m_max0 = 2, .ef_construction = 2, .ef_search = 2, .ml = kFlat};
  Engine engine = open_ok();
  ASSERT_TRUE(engine.attach_index(sparse));
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(engine.insert(numbered(i), {float(i), float(i % 3)}, {}));
  ASSERT_TRUE(engine.insert("r3", {29.5f, 2.0f}, {}));
  expect_same_graph(*engine.index(), fresh_index(engine, sparse));
}

TEST_F(EngineIndexTest, TheIndexAgreesWithTheExhaustiveSearchWhenEfCoversEveryRecord) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> coordinate(-3, 3);
  for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean, Metric::Manhattan}) {
    testing::TempDir dir;
    EngineOptions options;
    options.metric = metric;
    auto engine = Engine::open(dir.file("db"), options);
    ASSERT_TRUE(engine);
    for (int i = 0; i < 40; ++i) {
      Vec vector(4);
      for (float& x : vector) x = float(coordinate(rng));
      ASSERT_TRUE(engine->insert(numbered(i), vector, JsonValue(static_cast<JsonValue::Unsigned>(i))));
    }
    const Vec query = {1, -2, 0, 3};
    const auto exhaustive = engine->search(query, 10);
    ASSERT_TRUE(engine->attach_index(roomy(1.0f)));
    EXPECT_EQ(engine->search(query, 10), exhaustive) << static_cast<int>(metric);
  }
}

// With m = 0 the graph has no links and the index finds its entry point
// only, which tells the paths apart.
TEST_F(EngineIndexTest, OnlyFiltersAndDecayTakeTheExhaustivePath) {
  Engine engine = open_ok();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(engine.insert(numbered(i), {1.0f, float(i)}, JsonValue::make_object({{"a", JsonValue(1)}})));
  }
  ASSERT_TRUE(engine.attach_index(HnswConfig{.m = 0, .m_max = 0, .m_max0 = 0, .ef_construction = 0, .ef_search = 0, .ml = 0}));
  SearchRequest request{{1.0f, 2.0f}, 5, {}, {}, {}};
  EXPECT_EQ(engine.search(request).size(), 1u);
  request.now = 1000;  // now alone keeps the index path
  EXPECT_EQ(engine.search(request).size(), 1u);
  request.decay = 0.5f;
  EXPECT_EQ(engine.search(request).size(), 5u);
  request.decay.reset();
  request.filters = {{"a", JsonValue(1)}};
  EXPECT_EQ(engine.search(request).size(), 5u);
}

TEST_F(EngineIndexTest, EfSearchCanBeSetOnAnAttachedIndex) {
  Engine engine = open_ok();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(engine.insert(numbered(i), {float(i % 10), float(i / 10)}, {}));
  HnswConfig config = roomy(kFlat);
  config.ef_search = 1;
  ASSERT_TRUE(engine.attach_index(config));
  EXPECT_EQ(engine.search(Vec{3, 4}, 1).size(), 1u);
  engine.set_index_ef_search(50);  // every node now fits the result list
  const Vec query = {3, 4};
  const auto indexed = engine.search(query, 50);
  engine.detach_index();
  EXPECT_EQ(indexed, engine.search(query, 50));
}

TEST_F(EngineIndexTest, FiltersCompareJsonValuesExactly) {
  Engine engine = open_ok();
  const auto object = [](std::vector<JsonValue::Member> members) { return JsonValue::make_object(std::move(members)); };
  struct Stored {
    const char* id;
    std::optional<JsonValue> metadata;
  };
  const Stored stored[] = {
      {"none", std::nullopt},
      {"not an object", JsonValue(JsonValue::Array{JsonValue(1)})},
      {"lacks the key", object({{"b", JsonValue(1)}})},
      {"integer", object({{"a", JsonValue(1)}, {"b", JsonValue("x")}})},
      {"float", object({{"a", JsonValue(1.0)}})},
      {"nested", object({{"a", object({{"x", JsonValue(JsonValue::Array{JsonValue(true)})}})}})},
  };
  for (const Stored& s : stored) ASSERT_TRUE(engine.insert(s.id, {1.0f}, s.metadata));
  const auto found = [&](std::vector<MetadataFilter> filters) {
    return ids_of(engine.search(SearchRequest{{1.0f}, 10, std::move(filters), {}, {}}));
  };
  EXPECT_EQ(found({}).size(), 6u);
  EXPECT_EQ(found({{"a", JsonValue(1)}}), std::vector<std::string>{"integer"});
  EXPECT_EQ(found({{"a", JsonValue(1.0)}}), std::vector<std::string>{"float"});
  EXPECT_EQ(found({{"a", JsonValue(1)}, {"b", JsonValue("x")}}), std::vector<std::string>{"integer"});
  EXPECT_EQ(found({{"a", JsonValue(1)}, {"b", JsonValue("y")}}), std::vector<std::string>{});
  EXPECT_EQ(found({{"a", object({{"x", JsonValue(JsonValue::Array{JsonValue(true)})}})}}),
            std::vector<std::string>{"nested"});
  EXPECT_EQ(found({{"a", object({{"x", JsonValue(JsonValue::Array{JsonValue(false)})}})}}), std::vector<std::string>{});
}

TEST_F(EngineIndexTest, DecayLowersTheScoresOfOlderRecords) {
  constexpr std::uint64_t kNow = 1'000'000;
  Engine engine = open_ok();
  ASSERT_TRUE(engine.insert("day old", {1.0f, 0.0f}, {}, kNow - 86400));
  ASSERT_TRUE(engine.insert("now", {1.0f, 0.0f}, {}, kNow));
  ASSERT_TRUE(engine.insert("future", {1.0f, 0.0f}, {}, kNow + 5));
  ASSERT_TRUE(engine.insert("no time", {1.0f, 0.0f}, {}));
  ASSERT_TRUE(engine.insert("hour old", {1.0f, 0.0f}, {}, kNow - 3600));
  const auto scores = [&](std::optional<float> decay, std::optional<std::uint64_t> now) {
    std::map<std::string, float> by_id;
    for (const SearchResult& r : engine.search(SearchRequest{{1.0f, 0.0f}, 10, {}, decay, now})) by_id[r.id] = r.score;
    return by_id;
  };
  const auto decayed = scores(0.5f, kNow);
  EXPECT_EQ(decayed.at("day old"), 0.5f);
  EXPECT_EQ(decayed.at("hour old"), 1.0f * ::powf(0.5f, 3600.0f / 86400.0f));
  for (const char* unchanged : {"now", "future", "no time"}) EXPECT_EQ(decayed.at(unchanged), 1.0f) << unchanged;
  for (const auto& [id, score] : scores(0.5f, std::nullopt)) EXPECT_EQ(score, 1.0f) << id;
  // Equal scores keep list order; decayed ones fall behind.
  EXPECT_EQ(ids_of(engine.search(SearchRequest{{1.0f, 0.0f}, 10, {}, 0.5f, kNow})),
            (std::vector<std::string>{"now", "future", "no time", "hour old", "day old"}));
  // Timestamps are stored and read back.
  Engine& reopened = engine;
  EXPECT_EQ(reopened.get_all()[0].timestamp, kNow - 86400);
}

// Under every metric and on both sides of 0, decay moves an older record
// behind a newer one of the same vector, although the older one comes first
// in the list (which wins ties). A similarity of at least 0 keeps the plain
// product; the others are divided by the factor.
TEST_F(EngineIndexTest, DecayDemotesOlderRecordsUnderEveryMetric) {
  constexpr std::uint64_t kNow = 10'000'000;
  constexpr float kDecay = 0.1f;
  struct Case {
    Metric metric;
    Vec stored;
    float raw;  // the metric value of `stored` with the query {1, 0}
  };
  const Case cases[] = {
      {Metric::Cosine, {1.0f, 0.0f}, 1.0f},     {Metric::Cosine, {-1.0f, 0.0f}, -1.0f},
      {Metric::DotProduct, {2.0f, 0.0f}, 2.0f}, {Metric::DotProduct, {-2.0f, 0.0f}, -2.0f},
      {Metric::Euclidean, {4.0f, 0.0f}, 3.0f},  {Metric::Manhattan, {1.0f, 2.0f}, 2.0f},
  };
  const float day = ::powf(kDecay, 1.0f);
  const float two_days = ::powf(kDecay, 2.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.metric));
    std::filesystem::remove(path_);
    EngineOptions options;
    options.metric = c.metric;
    Engine engine = open_with(options);
    ASSERT_TRUE(engine.insert("older", c.stored, {}, kNow - 2 * 86400));
    ASSERT_TRUE(engine.insert("newer", c.stored, {}, kNow - 86400));
    const auto results = engine.search(SearchRequest{{1.0f, 0.0f}, 2, {}, kDecay, kNow});
    ASSERT_EQ(ids_of(results), (std::vector<std::string>{"newer", "older"}));
    const bool multiplied = larger_is_closer(c.metric) && c.raw >= 0.0f;
    EXPECT_EQ(results[0].score, multiplied ? c.raw * day : c.raw / day);
    EXPECT_EQ(results[1].score, multiplied ? c.raw * two_days : c.raw / two_days);
  }
}

// When the factor runs down to 0, a distance goes to infinity and a
// negative similarity to minus infinity; a score of 0 stays 0, never NaN.
TEST_F(EngineIndexTest, DecayOfAnAgeBeyondTheFloatRange) {
  constexpr std::uint64_t kNow = 1'000'000'000;
  const auto score_of = [&](Metric metric, Vec stored) {
    std::filesystem::remove(path_);
    EngineOptions options;
    options.metric = metric;
    Engine engine = open_with(options);
    EXPECT_TRUE(engine.insert("ancient", std::move(stored), {}, 0));
    return engine.search(SearchRequest{{1.0f, 0.0f}, 1, {}, 0.1f, kNow}).at(0).score;
  };
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  EXPECT_EQ(score_of(Metric::Euclidean, {4.0f, 0.0f}), kInfinity);
  EXPECT_EQ(score_of(Metric::Euclidean, {1.0f, 0.0f}), 0.0f);
  EXPECT_EQ(score_of(Metric::Cosine, {-1.0f, 0.0f}), -kInfinity);
  EXPECT_EQ(score_of(Metric::DotProduct, {0.0f, 1.0f}), 0.0f);
  EXPECT_EQ(score_of(Metric::Cosine, {1.0f, 0.0f}), 0.0f);
}

// The reports a progress display gets: every record, in order, for the
// index build of an open; runs of records, ending at the total, for a bulk
// insert.
TEST_F(EngineIndexTest, LongJobsReportTheirProgress) {
  using Report = std::pair<std::size_t, std::size_t>;
  std::vector<Report> reports;
  const auto collect = [&](std::size_t done, std::size_t total) { reports.emplace_back(done, total); };
  {
    Engine engine = open_ok();
    std::vector<Record> records;
    for (int i = 0; i < 3000; ++i) records.push_back(Record{numbered(i), {float(i), 1.0f}, std::nullopt, std::nullopt});
    ASSERT_TRUE(engine.insert_all(std::move(records), nullptr, collect));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), Report(3000, 3000));
    for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_LT(reports[i - 1].first, reports[i].first);
  }
  reports.clear();
  EngineOptions options;
  options.index = roomy(kFlat);
  options.index_progress = collect;
  Engine engine = open_with(options);
  ASSERT_EQ(reports.size(), 3000u);
  for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i], Report(i + 1, 3000)) << i;
}

TEST_F(EngineIndexTest, ConfigurationsThatCannotWorkAreRefusedBeforeAnythingIsBuilt) {
  struct Case {
    float ml;
    const char* message;
    float retired_share = 0.2f;
  };
  const Case refused[] = {
      {1.0f, "Index config error: retired_share = nan must lie between 0 and 1", std::nanf("")},
      {1.0f, "Index config error: retired_share = -0.100000 must lie between 0 and 1", -0.1f},
      {1.0f, "Index config error: retired_share = 1.500000 must lie between 0 and 1", 1.5f},
      {std::nanf(""), "Index config error: ml is NaN"},
      {std::numeric_limits<float>::infinity(), "Index config error: ml is infinite"},
      {-0.5f, "Index config error: ml is negative"},
      {1e20f, "Index config error: ml = 100000002004087734272.000000 lets a node draw level "
              "18446744073709551615; levels must stay at most 64"},
      {5.0f, "Index config error: ml = 5.000000 lets a node draw level 79; levels must stay at most 64"},
  };
  Engine engine = open_ok();
  ASSERT_TRUE(engine.insert("a", {1.0f}, {}));
  for (const Case& c : refused) {
    HnswConfig config = roomy(c.ml);
    config.retired_share = c.retired_share;
    auto attached = engine.attach_index(config);
    ASSERT_FALSE(attached) << c.ml;
    EXPECT_EQ(attached.error().message(), c.message);
    EXPECT_FALSE(engine.has_index());
    EngineOptions options;
    options.index = config;
    testing::TempDir dir;
    auto opened = Engine::open(dir.file("never.db"), options);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), c.message);
    EXPECT_FALSE(std::filesystem::exists(dir.file("never.db")));
  }
  // Zero bounds, ml = 0 and the largest ml allowed work.
  for (const HnswConfig& allowed : {HnswConfig{}, roomy(4.0f)}) {
    ASSERT_TRUE(engine.attach_index(allowed));
    EXPECT_EQ(engine.search(Vec{1.0f}, 1).size(), 1u);
  }
}

}  // namespace
}  // namespace quorvel
