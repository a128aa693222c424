#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "candidate_heap.h"
#include "distance_keys.h"
#include "hnsw_fixtures.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

using testing_support::kAllMetrics;
using testing_support::VectorTable;
using testing_support::word_for_level;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

TEST(CandidateOrder, KeyThenNodeNumber) {
  struct Case {
    Candidate a;
    Candidate b;
    bool less;
  };
  const Case cases[] = {
      {{0.2f, 9}, {0.5f, 3}, true},     // the smaller key wins over the node number
      {{0.5f, 3}, {0.2f, 9}, false},    //
      {{0.5f, 7}, {0.5f, 9}, true},     // equal keys: the larger number is greater
      {{0.5f, 9}, {0.5f, 7}, false},    //
      {{-0.0f, 1}, {0.0f, 2}, true},    // -0 and +0 are equal keys
      {{0.0f, 2}, {-0.0f, 1}, false},   //
      {{kNaN, 1}, {0.5f, 2}, true},     // a NaN key counts as equal to any key
      {{0.5f, 1}, {kNaN, 2}, true},     //
      {{kNaN, 2}, {-1.0f, 1}, false},   //
      {{0.5f, 4}, {0.5f, 4}, false},    // irreflexive
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a < c.b, c.less) << c.a.key << "/" << c.a.node << " vs " << c.b.key << "/" << c.b.node;
  }
}

TEST(CandidateOrder, CloserFirstPutsNaNLastAndSmallerNumbersFirst) {
  std::vector<Candidate> found = {{kNaN, 1}, {0.5f, 9}, {0.5f, 7}, {kNaN, 0}, {-0.0f, 5}, {0.0f, 4}, {-2.0f, 8}};
  std::sort(found.begin(), found.end(), closer_first);
  const std::vector<std::uint64_t> expected = {8, 4, 5, 7, 9, 0, 1};
  std::vector<std::uint64_t> order;
  for (const Candidate& c : found) order.push_back(c.node);
  EXPECT_EQ(order, expected);
}

std::vector<std::uint64_t> drain(CandidateHeap heap) {
  std::vector<std::uint64_t> order;
  while (!heap.empty()) order.push_back(heap.pop().node);
  return order;
}

TEST(CandidateHeapTest, ResultAndCandidateHeapsOfTheSameNodes) {
  CandidateHeap results;
  CandidateHeap candidates;
  for (const Candidate c : {Candidate{0.5f, 7}, Candidate{0.5f, 9}, Candidate{0.2f, 3}}) {
    results.push(c);
    candidates.push({-c.key, c.node});
  }
  EXPECT_EQ(results.top().node, 9u);
  EXPECT_EQ(drain(results), (std::vector<std::uint64_t>{9, 7, 3}));
  EXPECT_EQ(drain(candidates), (std::vector<std::uint64_t>{3, 9, 7}));
}

TEST(CandidateHeapTest, PopsInDescendingOrderAndSurvivesNaNKeys) {
  std::mt19937 generator(7);
  std::uniform_int_distribution<int> key(0, 20);
  CandidateHeap plain;
  CandidateHeap with_nan;
  std::vector<Candidate> pushed;
  for (std::uint64_t n = 0; n < 300; ++n) {
    const Candidate c{static_cast<float>(key(generator)) / 4.0f, n};
    pushed.push_back(c);
    plain.push(c);
    with_nan.push(n % 5 == 0 ? Candidate{kNaN, n} : c);
    // Interleave pops so that sifting runs on heaps of every shape.
    if (n % 7 == 6) {
      const Candidate top = plain.pop();
      pushed.erase(std::find(pushed.begin(), pushed.end(), top));
      with_nan.pop();
    }
  }
  std::sort(pushed.begin(), pushed.end(), [](const Candidate& a, const Candidate& b) { return b < a; });
  std::vector<Candidate> popped;
  while (!plain.empty()) popped.push_back(plain.pop());
  EXPECT_EQ(popped, pushed);

  // With NaN keys the order has no meaning, but every Candidate comes out once.
  std::size_t remaining = with_nan.size();
  std::vector<std::uint64_t> nodes = drain(with_nan);
  std::sort(nodes.begin(), nodes.end());
  EXPECT_EQ(nodes.size(), remaining);
  EXPECT_EQ(std::adjacent_find(nodes.begin(), nodes.end()), nodes.end());
}

TEST(DistanceKey, SmallerIsCloserUnderEveryMetric) {
  const std::vector<float> query = {1.0f, 0.0f};
  const std::vector<float> near_cosine = {0.9f, std::sqrt(1.0f - 0.81f)};
  const std::vector<float> far_cosine = {0.1f, std::sqrt(1.0f - 0.01f)};
  EXPECT_NEAR(metric_value(Metric::Cosine, query, near_cosine), 0.9f, 1e-6f);
  EXPECT_EQ(distance_key(Metric::Cosine, query, near_cosine), -metric_value(Metric::Cosine, query, near_cosine));
  EXPECT_LT(distance_key(Metric::Cosine, query, near_cosine), distance_key(Metric::Cosine, query, far_cosine));

  const std::vector<float> origin = {0.0f};
  const std::vector<float> near_point = {0.1f};
  const std::vector<float> far_point = {0.9f};
  EXPECT_EQ(distance_key(Metric::Euclidean, origin, near_point), 0.1f);
  EXPECT_LT(distance_key(Metric::Euclidean, origin, near_point), distance_key(Metric::Euclidean, origin, far_point));

  for (const Metric metric : kAllMetrics) {
    const float key = distance_key(metric, query, near_cosine);
    EXPECT_EQ(value_of_key(metric, key), metric_value(metric, query, near_cosine));
  }
}

TEST(RandomLevel, LevelOfAWord) {
  const float ml16 = 1.0f / std::log(16.0f);
  struct Case {
    std::uint32_t word;
    float ml;
    std::uint64_t level;
  };
  const Case cases[] = {
      {0xC0000000u, 1.0f, 0},   // x = 0.75
      {0x80000000u, 1.0f, 0},   // x = 0.5
      {0x20000000u, 1.0f, 2},   // x = 0.125: -ln x = 2.08
      {0xFFFFFFFFu, 1.0f, 0},   // the largest x
      {0x00000200u, 1.0f, 15},  // the smallest non-zero x, 2^-23: -ln x = 15.94
      {0x00000000u, 1.0f, 15},  // x = 0 counts as 2^-23 instead of an infinite level
      {0x000001FFu, 1.0f, 15},  // the low 9 bits are not used: still x = 0
      {0x00000000u, ml16, 5},   // 15.94 / ln 16 = 5.75
      {0x20000000u, 2.0f, 4},   // the multiplier scales before the floor
      {0x20000000u, 0.0f, 0},   //
      {0x20000000u, -1.0f, 0},  // negative levels saturate to 0
      {0x00000000u, -1.0f, 0},  //
      {0x20000000u, std::numeric_limits<float>::quiet_NaN(), 0},
      {0x20000000u, 1e30f, kLargest},  // 2^64 and above saturate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HnswIndex::level_from_word(c.word, c.ml), c.level) << std::hex << c.word << " ml " << c.ml;
  }
  for (std::uint64_t level = 0; level <= 15; ++level) {
    EXPECT_EQ(HnswIndex::level_from_word(word_for_level(level), 1.0f), level);
  }
}

// What m alone implies: where the program's --index and the benchmarks start.
TEST(DefaultConfig, FollowsFromM) {
  EXPECT_EQ(default_hnsw_config(16), (HnswConfig{.m = 16, .m_max = 16, .m_max0 = 32, .ef_construction = 200,
                                                 .ef_search = 64, .ml = 1.0f / std::log(16.0f)}));
  EXPECT_EQ(default_hnsw_config(2).ml, 1.0f / std::log(2.0f));
  // Below 2, ln m is not positive: the multiplier is then 1.
  for (const std::uint64_t m : {0u, 1u}) EXPECT_EQ(default_hnsw_config(m).ml, 1.0f) << m;
}

TEST(RandomLevel, DrawsFollowTheGeometricLevels) {
  HnswIndex index(HnswConfig{.m = 16, .m_max = 16, .m_max0 = 32, .ef_construction = 200, .ef_search = 10,
                             .ml = 1.0f / std::log(16.0f)});
  constexpr int kDraws = 32000;
  int level_zero = 0;
  std::uint64_t highest = 0;
  for (int i = 0; i < kDraws; ++i) {
    const std::uint64_t level = index.random_level();
    level_zero += level == 0 ? 1 : 0;
    highest = std::max(highest, level);
  }
  // P(level 0) = 15/16: 30000 expected, standard deviation about 43.
  EXPECT_NEAR(level_zero, 30000, 400);
  EXPECT_LE(highest, 5u);
}

TEST(RandomLevel, ZeroDrawInsertsAFiniteLevel) {
  const VectorTable table{{{0.0f}, {1.0f}}};
  HnswIndex index(HnswConfig{.m = 2, .m_max = 2, .m_max0 = 4, .ef_construction = 4, .ef_search = 4, .ml = 1.0f});
  HnswInternals::insert_with_word(index, 0, 0, table(0), table, Metric::Euclidean);
  HnswInternals::insert_with_word(index, 0, 1, table(1), table, Metric::Euclidean);
  EXPECT_EQ(index.top_level(), 15u);
  ASSERT_NE(index.node(1), std::nullopt);
  EXPECT_EQ(index.node(1)->level(), 15u);
  // Each list read straight through a temporary view of the node: the lists
  // live in the index, not in the view.
  for (std::uint64_t layer = 0; layer <= 15; ++layer) {
    std::vector<std::uint64_t> list;
    for (const std::uint64_t neighbor : index.node(1)->neighbors(layer)) list.push_back(neighbor);
    EXPECT_EQ(list, std::vector<std::uint64_t>{0}) << layer;
  }
  EXPECT_EQ(index.entry_point(), 0u);
}

}  // namespace
}  // namespace quorvel
