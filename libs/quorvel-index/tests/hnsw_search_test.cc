#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <set>
#include <thread>
#include <vector>

#include "distance_keys.h"
#include "hnsw_fixtures.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

using testing_support::kAllMetrics;
using testing_support::random_table;
using testing_support::VectorTable;

HnswConfig config_with(std::uint64_t m, std::uint64_t m_max0, float ml) {
  return HnswConfig{.m = m, .m_max = m, .m_max0 = m_max0, .ef_construction = 32, .ef_search = 16, .ml = ml};
}

HnswIndex build(const VectorTable& table, HnswConfig config, Metric metric) {
  HnswIndex index(config);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table(node), table, metric);
  return index;
}

std::vector<std::uint64_t> nodes_of(const std::vector<HnswMatch>& matches) {
  std::vector<std::uint64_t> nodes;
  for (const HnswMatch& match : matches) nodes.push_back(match.node);
  return nodes;
}

// Every match carries the metric value of the query and its node, and the
// matches come closest first.
::testing::AssertionResult well_ordered(const std::vector<HnswMatch>& matches, std::span<const float> query,
                                        const VectorTable& table, Metric metric) {
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const float value = metric_value(metric, query, table(matches[i].node));
    if (value != matches[i].value) return ::testing::AssertionFailure() << "value of match " << i;
    if (i == 0) continue;
    const float before = matches[i - 1].value;
    if (larger_is_closer(metric) ? before < value : before > value)
      return ::testing::AssertionFailure() << "match " << i << " is closer than match " << i - 1;
  }
  return ::testing::AssertionSuccess();
}

TEST(HnswSearch, EmptyIndexAndZeroKGiveNothing) {
  const VectorTable table = random_table(20, 3, 1);
  const HnswIndex empty(config_with(4, 8, 1.0f));
  const HnswIndex full = build(table, config_with(4, 8, 1.0f), Metric::Euclidean);
  for (const std::uint64_t k : {0u, 1u, 100u}) {
    EXPECT_TRUE(empty.search(table(0), k, 10, table, Metric::Euclidean).empty()) << k;
  }
  EXPECT_TRUE(full.search(table(0), 0, 10, table, Metric::Euclidean).empty());
}

TEST(HnswSearch, SingleNodeIsAlwaysFound) {
  const VectorTable table{{{1.0f, 2.0f}, {-3.0f, 0.5f}}};
  for (const Metric metric : kAllMetrics) {
    HnswIndex index(config_with(4, 8, 1.0f));
    index.insert(0, table(0), table, metric);
    for (const std::uint64_t k : {1u, 10u}) {
      const std::vector<HnswMatch> matches = index.search(table(1), k, 1, table, metric);
      EXPECT_EQ(matches, (std::vector<HnswMatch>{{0, metric_value(metric, table(1), table(0))}}));
    }
  }
}

TEST(HnswSearch, LargeKReturnsEveryNodeReachableOverLayerZero) {
  // With ml = 0 every node lives on layer 0 only and the search starts at
  // node 0. With m = 1 each new node makes a single link, and trimming
  // drops some back-links, which leaves parts of the graph unreachable.
  const VectorTable table = random_table(150, 4, 21);
  for (const std::uint64_t m : {1u, 8u}) {
    const HnswIndex index = build(table, config_with(m, 4 * m, 0.0f), Metric::Euclidean);
    std::set<std::uint64_t> reachable = {0};
    std::deque<std::uint64_t> queue = {0};
    while (!queue.empty()) {
      const std::uint64_t node = queue.front();
      queue.pop_front();
      for (const std::uint64_t next : HnswInternals::links(index).list(node, 0)) {
        if (reachable.insert(next).second) queue.push_back(next);
      }
    }
    if (m == 1) {
      EXPECT_LT(reachable.size(), table.rows.size());
    }

    const std::vector<float> query = {0.1f, -0.2f, 0.3f, 0.0f};
    for (const std::uint64_t k : {table.rows.size(), table.rows.size() + 5}) {
      const std::vector<HnswMatch> matches = index.search(query, k, 1, table, Metric::Euclidean);
      std::vector<std::uint64_t> found = nodes_of(matches);
      EXPECT_TRUE(well_ordered(matches, query, table, Metric::Euclidean));
      std::sort(found.begin(), found.end());
      EXPECT_EQ(found, std::vector<std::uint64_t>(reachable.begin(), reachable.end())) << "m " << m;
    }
  }
}

TEST(HnswSearch, KAndEfWidenTheSearchButKBoundsTheAnswer) {
  const VectorTable table = random_table(300, 5, 4);
  const HnswIndex index = build(table, config_with(6, 12, 0.5f), Metric::Euclidean);
  const std::span<const float> query = table(42);
  // k above ef: the result list grows to k.
  EXPECT_EQ(index.search(query, 25, 1, table, Metric::Euclidean).size(), 25u);
  // ef above k: a wider search, still k answers, and the same answers as
  // the first k of a search that returns all it found.
  const std::vector<HnswMatch> three = index.search(query, 3, 60, table, Metric::Euclidean);
  const std::vector<HnswMatch> sixty = index.search(query, 60, 60, table, Metric::Euclidean);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(three, std::vector<HnswMatch>(sixty.begin(), sixty.begin() + 3));
  EXPECT_EQ(three.front(), (HnswMatch{42, 0.0f}));
}

TEST(HnswSearch, AnswersAreClosestFirstUnderEveryMetric) {
  const VectorTable table = random_table(300, 8, 13);
  const VectorTable queries = random_table(10, 8, 14);
  for (const Metric metric : kAllMetrics) {
    const HnswIndex index = build(table, config_with(8, 16, 1.0f / std::log(8.0f)), metric);
    for (const auto& query : queries.rows) {
      const std::vector<HnswMatch> matches = index.search(query, 20, 30, table, metric);
      EXPECT_EQ(matches.size(), 20u);
      EXPECT_TRUE(well_ordered(matches, query, table, metric)) << static_cast<int>(metric);
    }
  }
}

TEST(HnswSearch, EqualKeysComeInAscendingNodeOrder) {
  VectorTable table;
  for (int i = 0; i < 6; ++i) table.rows.push_back({1.0f, 1.0f});
  table.rows.push_back({0.0f, 5.0f});
  const HnswIndex index = build(table, config_with(8, 8, 1.0f), Metric::Euclidean);
  const std::vector<float> query = {1.0f, 1.0f};
  EXPECT_EQ(nodes_of(index.search(query, 7, 7, table, Metric::Euclidean)),
            (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6}));
}

TEST(HnswSearch, FindsNearlyAllTrueNeighbours) {
  // A guard against a search that is valid but poor: on 2000 points the
  // graph must find nearly all of the exact 10 nearest.
  const VectorTable table = random_table(2000, 12, 31);
  const VectorTable queries = random_table(50, 12, 32);
  const HnswIndex index = build(table, HnswConfig{.m = 12,
                                                  .m_max = 12,
                                                  .m_max0 = 24,
                                                  .ef_construction = 100,
                                                  .ef_search = 50,
                                                  .ml = 1.0f / std::log(12.0f)},
                                Metric::Euclidean);
  std::size_t hits = 0;
  for (const auto& query : queries.rows) {
    std::vector<Candidate> exact;
    for (std::uint64_t node = 0; node < table.rows.size(); ++node)
      exact.push_back({distance_key(Metric::Euclidean, query, table(node)), node});
    std::sort(exact.begin(), exact.end(), closer_first);
    std::set<std::uint64_t> truth;
    for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].node);
    for (const HnswMatch& match : index.search(query, 10, 50, table, Metric::Euclidean)) hits += truth.count(match.node);
  }
  EXPECT_GE(hits, 50u * 10u * 9u / 10u);
}

TEST(HnswSearch, NaNVectorsComeLastAndDoNotStopTheSearch) {
  VectorTable table = random_table(60, 3, 17);
  for (std::size_t i = 5; i < table.rows.size(); i += 10) table.rows[i][0] = std::nanf("");
  const HnswIndex index = build(table, config_with(8, 16, 0.0f), Metric::Euclidean);
  const std::vector<float> query = {0.0f, 0.0f, 0.0f};
  const std::vector<HnswMatch> matches = index.search(query, 60, 60, table, Metric::Euclidean);
  ASSERT_FALSE(matches.empty());
  const auto first_nan = std::find_if(matches.begin(), matches.end(), [](const HnswMatch& m) { return std::isnan(m.value); });
  EXPECT_TRUE(std::all_of(first_nan, matches.end(), [](const HnswMatch& m) { return std::isnan(m.value); }));
  EXPECT_TRUE(well_ordered(std::vector<HnswMatch>(matches.begin(), first_nan), query, table, Metric::Euclidean));
  // A NaN query makes every key NaN: the search still ends.
  const std::vector<float> nan_query = {std::nanf(""), 0.0f, 0.0f};
  EXPECT_FALSE(index.search(nan_query, 5, 5, table, Metric::Euclidean).empty());
}

TEST(HnswSearch, ConcurrentAndNestedQueriesGiveTheSameAnswers) {
  const VectorTable table = random_table(500, 6, 41);
  const VectorTable queries = random_table(40, 6, 42);
  const HnswIndex index = build(table, config_with(8, 16, 0.5f), Metric::Cosine);
  std::vector<std::vector<HnswMatch>> serial;
  for (const auto& query : queries.rows) serial.push_back(index.search(query, 10, 20, table, Metric::Cosine));

  std::vector<std::vector<HnswMatch>> parallel(queries.rows.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t q = t; q < queries.rows.size(); q += 2)
        parallel[q] = index.search(queries(q), 10, 20, table, Metric::Cosine);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(parallel, serial);

  // A lookup that runs a query of its own on the same thread, mid-search.
  std::size_t nested = 0;
  const auto searching_lookup = [&](std::uint64_t node) {
    if (nested++ % 50 == 0) {
      EXPECT_EQ(index.search(queries(0), 10, 20, table, Metric::Cosine), serial[0]);
    }
    return table(node);
  };
  EXPECT_EQ(index.search(queries(3), 10, 20, searching_lookup, Metric::Cosine), serial[3]);
}

}  // namespace
}  // namespace quorvel
