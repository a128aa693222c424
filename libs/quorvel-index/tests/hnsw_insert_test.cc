#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
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

// One small graph over points of a line (one coordinate each), inserted as
// nodes 0, 1, ... at the given levels, and every list it must end with.
struct SmallGraphCase {
  const char* name;
  HnswConfig config;
  std::vector<float> points;
  std::vector<std::uint64_t> levels;
  std::vector<Lists> lists;  // per node, per layer
  std::uint64_t entry_point;
  std::uint64_t top_level;
};

TEST(HnswInsert, SmallGraphsLinkAsWritten) {
  const SmallGraphCase cases[] = {
      {"the first node gets no links, at level 0", config_with(4, 4, 8, 10), {0.0f}, {0}, {Lists(1)}, 0, 0},
      {"the first node gets no links, at level 3", config_with(4, 4, 8, 10), {0.0f}, {3}, {Lists(4)}, 0, 3},
      {"two level-0 nodes link to each other, m = 1",
       config_with(1, 4, 8, 10), {0.0f, 1.0f}, {0, 0}, {{{1}}, {{0}}}, 0, 0},
      {"two level-0 nodes link to each other, m = 5",
       config_with(5, 4, 8, 10), {0.0f, 1.0f}, {0, 0}, {{{1}}, {{0}}}, 0, 0},
      // Node 1 rises above the top: linked on layers 1 and 0 only, empty
      // lists above, and the new entry point. Node 2 equals the top: linked
      // on every layer, the entry point stays. Node 3 is reached by the
      // greedy descent and linked on layer 0.
      {"levels above, at and below the top",
       config_with(4, 4, 8, 10),
       {0.0f, 1.0f, 2.0f, 3.0f},
       {1, 3, 3, 0},
       {{{1, 2, 3}, {1, 2}}, {{0, 2, 3}, {0, 2}, {2}, {2}}, {{1, 0, 3}, {1, 0}, {1}, {1}}, {{2, 1, 0}}},
       1,
       3},
      {"m = 0 stores nodes without links",
       config_with(0, 4, 8, 10), {0.0f, 1.0f, 2.0f}, {1, 2, 0}, {Lists(2), Lists(3), Lists(1)}, 1, 2},
      {"fewer nodes found than m: links to all of them",
       config_with(10, 10, 10, 10), {0.0f, 5.0f, 1.0f}, {0, 0, 0}, {{{1, 2}}, {{0, 2}}, {{0, 1}}}, 0, 0},
      // m = 3 above m_max0 = 2: node 3 keeps all three of its links, while
      // each neighbour that grows to three is trimmed to its two closest.
      // Node 1 drops the new node; node 0 keeps 1 and 2, equally close, the
      // larger number first.
      {"trimming keeps the closest, closest first",
       config_with(3, 2, 2, 10),
       {0.0f, 1.0f, -1.0f, 10.0f},
       {0, 0, 0, 0},
       {{{2, 1}}, {{0, 2}}, {{0, 1}}, {{1, 0, 2}}},
       0,
       0},
      {"trimming to a bound of 0 empties the list",
       config_with(1, 0, 0, 10), {0.0f, 1.0f}, {0, 0}, {{{}}, {{0}}}, 0, 0},
  };
  for (const SmallGraphCase& c : cases) {
    SCOPED_TRACE(c.name);
    VectorTable table;
    for (const float point : c.points) table.rows.push_back({point});
    HnswIndex index(c.config);
    for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
      const std::uint32_t word = word_for_level(c.levels[node]);
      HnswInternals::insert_with_word(index, word, node, table(node), table, Metric::Euclidean);
    }
    for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
      EXPECT_EQ(index.node(node)->to_node().neighbors, c.lists[node]) << "node " << node;
    }
    EXPECT_EQ(index.entry_point(), c.entry_point);
    EXPECT_EQ(index.top_level(), c.top_level);
  }
}

TEST(HnswInsert, EfConstructionZeroActsAsOne) {
  const VectorTable table = random_table(200, 4, 11);
  std::mt19937 words(5);
  HnswIndex zero(config_with(3, 3, 6, 0, 0.5f));
  HnswIndex one(config_with(3, 3, 6, 1, 0.5f));
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    const auto word = static_cast<std::uint32_t>(words());
    HnswInternals::insert_with_word(zero, word, node, table(node), table, Metric::Euclidean);
    HnswInternals::insert_with_word(one, word, node, table(node), table, Metric::Euclidean);
  }
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    ASSERT_EQ(*zero.node(node), *one.node(node)) << node;
  }
  const std::vector<Candidate> found =
      HnswInternals::search_layer(zero, table(7), *zero.entry_point(), 0, 0, table, Metric::Euclidean);
  EXPECT_EQ(found, HnswInternals::search_layer(one, table(7), *one.entry_point(), 0, 1, table, Metric::Euclidean));
  EXPECT_EQ(found.size(), 1u);
}

// A tie neither enters a full result list nor stops the layer search. The
// graph, built with m = 1: node 0 at (1, 0) and node 1 at (-1, 0) link to
// each other; node 2 at (-0.6, 0.6) is closer to 1 and links to it only.
// Nodes 0 and 1 are equally far from both queries; node 2 is closer than
// them to (0, 0) and farther from (0, -0.5).
TEST(HnswInsert, LayerSearchTiesNeitherAdmitNorStop) {
  const VectorTable table{{{1.0f, 0.0f}, {-1.0f, 0.0f}, {-0.6f, 0.6f}}};
  HnswIndex index(config_with(1, 4, 4, 10));
  for (std::uint64_t node = 0; node < 3; ++node)
    HnswInternals::insert_with_word(index, word_for_level(0), node, table(node), table, Metric::Euclidean);
  ASSERT_EQ(index.node(1)->to_node().neighbors, (Lists{{0, 2}}));
  ASSERT_EQ(index.node(0)->to_node().neighbors, (Lists{{1}}));

  struct Case {
    const char* name;
    std::vector<float> query;
    std::uint64_t entry;
    std::uint64_t ef;
    std::vector<std::uint64_t> found;  // sorted by node number
  };
  const Case cases[] = {
      // Node 0 ties with the full list's only result, node 1, and stays out;
      // admitted, it would have evicted node 1 (the larger number is on top).
      {"a tie is not admitted to a full list", {0.0f, -0.5f}, 1, 1, {1}},
      // Node 1 is popped with the same key as the farthest result; the
      // search goes on, expands it and finds node 2.
      {"a tie with the farthest result does not stop", {0.0f, 0.0f}, 0, 2, {0, 2}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint64_t> found;
    for (const Candidate& candidate :
         HnswInternals::search_layer(index, c.query, c.entry, 0, c.ef, table, Metric::Euclidean)) {
      found.push_back(candidate.node);
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, c.found) << c.name;
  }
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
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) before.push_back(index.node(node)->to_node());

  HnswInternals::insert_with_word(index, 0, 17, table(17), table, Metric::Euclidean);
  index.insert(*index.entry_point(), table(3), table, Metric::Euclidean);

  EXPECT_EQ(index.size(), table.rows.size());
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) EXPECT_EQ(index.node(node)->to_node(), before[node]) << node;
  EXPECT_TRUE(graph_invariants_hold(index, table.rows.size()));
}

// The graph keeps node numbers in 32 bits: a number or a range past them
// is refused before anything changes (the seeded generator included),
// never wrapped around onto a small number.
TEST(HnswInsert, NodeNumbersBeyond32BitsAreRefused) {
  const struct {
    std::uint64_t slots;
    std::optional<std::string> problem;
  } kSlots[] = {
      {0, std::nullopt},
      {kHnswMostSlots, std::nullopt},
      {kHnswMostSlots + 1, "an index holds at most 4294967295 node slots; this one would need 4294967296"},
      {~std::uint64_t{0},
       "an index holds at most 4294967295 node slots; this one would need 18446744073709551615"},
  };
  for (const auto& c : kSlots) EXPECT_EQ(hnsw_slots_problem(c.slots), c.problem) << c.slots;

  const VectorTable table = random_table(20, 3, 4);
  HnswConfig config = config_with(4, 4, 8, 16, 1.0f);
  config.seed = 5;
  HnswIndex index(config);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table(node), table, Metric::Euclidean);
  const HnswGraph before = index.graph();
  const auto no_threads = [](std::size_t parts, const std::function<void(std::size_t)>& body) {
    for (std::size_t part = 0; part < parts; ++part) body(part);
  };
  // 2^32 + 3 would wrap around to node 3.
  for (const std::uint64_t node : {kHnswMostSlots, kHnswMostSlots + 3, ~std::uint64_t{0}}) {
    EXPECT_THROW(index.insert(node, table(0), table, Metric::Euclidean), std::length_error) << node;
    EXPECT_THROW(index.insert(node, table(0), table, Metric::Euclidean, 0), std::length_error) << node;
  }
  EXPECT_THROW(index.insert_range(kHnswMostSlots - 1, 2, table, Metric::Euclidean, no_threads, 2), std::length_error);
  EXPECT_THROW(index.insert_range(~std::uint64_t{0}, 2, table, Metric::Euclidean, no_threads, 1), std::length_error);
  EXPECT_EQ(index.graph(), before);
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
