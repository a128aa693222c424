#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "hnsw_fixtures.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

using testing_support::graph_invariants_hold;
using testing_support::random_table;
using testing_support::VectorTable;
using testing_support::word_for_level;

using Lists = std::vector<std::vector<std::uint64_t>>;

HnswConfig config_with(std::uint64_t m, std::uint64_t m_max, std::uint64_t m_max0, std::uint64_t ef_construction,
                       float ml = 1.0f) {
  return HnswConfig{
      .m = m, .m_max = m_max, .m_max0 = m_max0, .ef_construction = ef_construction, .ef_search = 10, .ml = ml};
}

// Inserts the points of a line (one coordinate each) as nodes 0, 1, ...,
// each at the given level.
struct LineGraph {
  VectorTable table;
  HnswIndex index;

  LineGraph(HnswConfig config, std::vector<float> points) : index(config) {
    for (const float point : points) table.rows.push_back({point});
  }

  void insert(std::uint64_t node, std::uint64_t level) {
    index.insert_with_word(word_for_level(level), node, table(node), table, Metric::Euclidean);
  }

  Lists lists(std::uint64_t node) const { return index.node(node)->neighbors; }
};

TEST(HnswInsert, FirstNodeHasNoLinksAndBecomesTheEntryPoint) {
  for (const std::uint64_t level : {0u, 3u}) {
    LineGraph graph(config_with(4, 4, 8, 10), {0.0f});
    graph.insert(0, level);
    EXPECT_EQ(graph.index.entry_point(), 0u);
    EXPECT_EQ(graph.index.top_level(), level);
    EXPECT_EQ(graph.lists(0), Lists(level + 1));
  }
}

TEST(HnswInsert, TwoNodesOfLevelZeroLinkToEachOther) {
  for (const std::uint64_t m : {1u, 5u}) {
    LineGraph graph(config_with(m, 4, 8, 10), {0.0f, 1.0f});
    graph.insert(0, 0);
    graph.insert(1, 0);
    EXPECT_EQ(graph.lists(0), (Lists{{1}}));
    EXPECT_EQ(graph.lists(1), (Lists{{0}}));
  }
}

TEST(HnswInsert, HigherNodeLinksBelowTheOldTopAndTakesOverTheEntryPoint) {
  LineGraph graph(config_with(4, 4, 8, 10), {0.0f, 1.0f, 2.0f, 3.0f});
  graph.insert(0, 1);
  graph.insert(1, 3);
  EXPECT_EQ(graph.lists(1), (Lists{{0}, {0}, {}, {}}));
  EXPECT_EQ(graph.lists(0), (Lists{{1}, {1}}));
  EXPECT_EQ(graph.index.entry_point(), 1u);
  EXPECT_EQ(graph.index.top_level(), 3u);

  // Equal to the top level: linked on every layer, but the entry point stays.
  graph.insert(2, 3);
  EXPECT_EQ(graph.lists(2), (Lists{{1, 0}, {1, 0}, {1}, {1}}));
  EXPECT_EQ(graph.index.entry_point(), 1u);

  // Below the top level: reached by the greedy descent, linked on its layers.
  graph.insert(3, 0);
  EXPECT_EQ(graph.lists(3), (Lists{{2, 1, 0}}));
  EXPECT_EQ(graph.index.top_level(), 3u);
}

TEST(HnswInsert, MZeroStoresNodesWithoutLinks) {
  LineGraph graph(config_with(0, 4, 8, 10), {0.0f, 1.0f, 2.0f});
  graph.insert(0, 1);
  graph.insert(1, 2);
  graph.insert(2, 0);
  EXPECT_EQ(graph.lists(0), Lists(2));
  EXPECT_EQ(graph.lists(1), Lists(3));
  EXPECT_EQ(graph.lists(2), Lists(1));
  EXPECT_EQ(graph.index.entry_point(), 1u);
}

TEST(HnswInsert, LinksToEveryNodeFoundWhenFewerThanM) {
  LineGraph graph(config_with(10, 10, 10, 10), {0.0f, 5.0f, 1.0f});
  graph.insert(0, 0);
  graph.insert(1, 0);
  graph.insert(2, 0);
  EXPECT_EQ(graph.lists(2), (Lists{{0, 1}}));
  EXPECT_EQ(graph.lists(0), (Lists{{1, 2}}));
  EXPECT_EQ(graph.lists(1), (Lists{{0, 2}}));
}

TEST(HnswInsert, TrimKeepsTheClosestAndCanDropTheNewNode) {
  // m = 3 above m_max0 = 2: node 3 keeps all three of its links, while each
  // neighbour that grows to three is trimmed back to its two closest.
  LineGraph graph(config_with(3, 2, 2, 10), {0.0f, 1.0f, -1.0f, 10.0f});
  for (std::uint64_t node = 0; node < 4; ++node) graph.insert(node, 0);
  EXPECT_EQ(graph.lists(3), (Lists{{1, 0, 2}}));
  EXPECT_EQ(graph.lists(1), (Lists{{0, 2}}));  // 3 is the farthest and is dropped
  EXPECT_EQ(graph.lists(0), (Lists{{2, 1}}));  // 1 and 2 are equally close: the larger number first
  EXPECT_EQ(graph.lists(2), (Lists{{0, 1}}));
}

TEST(HnswInsert, TrimToABoundOfZeroEmptiesTheList) {
  LineGraph graph(config_with(1, 0, 0, 10), {0.0f, 1.0f});
  graph.insert(0, 0);
  graph.insert(1, 0);
  EXPECT_EQ(graph.lists(0), (Lists{{}}));
  EXPECT_EQ(graph.lists(1), (Lists{{0}}));
}

TEST(HnswInsert, EfConstructionZeroActsAsOne) {
  const VectorTable table = random_table(200, 4, 11);
  std::mt19937 words(5);
  HnswIndex zero(config_with(3, 3, 6, 0, 0.5f));
  HnswIndex one(config_with(3, 3, 6, 1, 0.5f));
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    const auto word = static_cast<std::uint32_t>(words());
    zero.insert_with_word(word, node, table(node), table, Metric::Euclidean);
    one.insert_with_word(word, node, table(node), table, Metric::Euclidean);
  }
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    ASSERT_EQ(*zero.node(node), *one.node(node)) << node;
  }
  const std::vector<Candidate> found = zero.search_layer(table(7), *zero.entry_point(), 0, 0, table, Metric::Euclidean);
  EXPECT_EQ(found, one.search_layer(table(7), *one.entry_point(), 0, 1, table, Metric::Euclidean));
  EXPECT_EQ(found.size(), 1u);
}

TEST(HnswInsert, GraphInvariantsHoldForEveryConfig) {
  struct Case {
    const char* name;
    HnswConfig config;
  };
  const float ml16 = 1.0f / std::log(16.0f);
  const Case cases[] = {
      {"typical", config_with(8, 8, 16, 32, ml16)},
      {"m 0", config_with(0, 4, 8, 16, 1.0f)},
      {"m 1", config_with(1, 1, 2, 16, 1.0f)},
      {"m above the bounds", config_with(12, 3, 5, 32, 1.0f)},
      {"ef_construction 0", config_with(4, 4, 8, 0, 1.0f)},
      {"all on layer 0", config_with(6, 6, 12, 24, 0.0f)},
  };
  const VectorTable table = random_table(400, 6, 3);
  for (const Case& c : cases) {
    for (const Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      HnswIndex index(c.config);
      for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table(node), table, metric);
      EXPECT_TRUE(graph_invariants_hold(index, table.rows.size())) << c.name;
    }
  }
}

TEST(HnswInsert, NumberAlreadyInTheIndexIsIgnored) {
  const VectorTable table = random_table(50, 3, 9);
  HnswIndex index(config_with(4, 4, 8, 16, 1.0f));
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table(node), table, Metric::Euclidean);
  std::vector<HnswNode> before;
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) before.push_back(*index.node(node));

  index.insert_with_word(0, 17, table(17), table, Metric::Euclidean);
  index.insert(*index.entry_point(), table(3), table, Metric::Euclidean);

  EXPECT_EQ(index.size(), table.rows.size());
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) EXPECT_EQ(*index.node(node), before[node]) << node;
  EXPECT_TRUE(graph_invariants_hold(index, table.rows.size()));
}

TEST(HnswInsert, NumbersNeedNotArriveInOrder) {
  const VectorTable table = random_table(30, 3, 2);
  HnswIndex index(config_with(4, 4, 8, 16, 1.0f));
  for (std::uint64_t i = 0; i < table.rows.size(); ++i) {
    const std::uint64_t node = (i * 7) % table.rows.size();
    index.insert(node, table(node), table, Metric::Manhattan);
  }
  EXPECT_EQ(index.node(table.rows.size()), std::nullopt);
  EXPECT_TRUE(graph_invariants_hold(index, table.rows.size(), false));
}

TEST(HnswInsert, NaNVectorsNeitherStopNorLoopTheBuild) {
  VectorTable table = random_table(120, 4, 8);
  for (std::size_t i = 0; i < table.rows.size(); i += 9) table.rows[i][1] = std::nanf("");
  for (const Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    HnswIndex index(config_with(4, 4, 8, 16, 1.0f));
    for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table(node), table, metric);
    EXPECT_TRUE(graph_invariants_hold(index, table.rows.size()));
  }
}

}  // namespace
}  // namespace quorvel
