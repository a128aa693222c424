#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "hnsw_fixtures.h"
#include "hnsw_reference.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

using testing_support::kAllMetrics;
using testing_support::random_table;
using testing_support::VectorTable;

// Builds the same graph twice, through the index and through the plain
// reference, with the same words for the level draws, and compares every
// neighbour list, the entry point and the answers to a set of queries.
// `inserted` holds the vector passed to each insertion (the query of its
// layer searches); the lookup answers from `table`, as trimming reads it.
void expect_same_graph(const VectorTable& table, const VectorTable& inserted, const VectorTable& queries,
                       HnswConfig config, Metric metric, std::uint32_t seed) {
  HnswIndex index(config);
  reference::Hnsw plain(config);
  const reference::Lookup lookup = [&table](std::uint64_t node) { return table(node); };
  std::mt19937 words(seed);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    const auto word = static_cast<std::uint32_t>(words());
    HnswInternals::insert_with_word(index, word, node, inserted(node), table, metric);
    plain.insert(word, node, inserted(node), lookup, metric);
  }
  ASSERT_EQ(index.entry_point(), plain.entry_point);
  ASSERT_EQ(index.top_level(), plain.top_level);
  ASSERT_EQ(index.size(), plain.nodes.size());
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    ASSERT_EQ(index.node(node)->to_node().neighbors, plain.nodes.at(node)) << "node " << node;
  }
  for (const auto& query : queries.rows) {
    for (const auto& [k, ef] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {10, 5}, {5, 40}}) {
      ASSERT_EQ(index.search(query, k, ef, table, metric), plain.search(query, k, ef, lookup, metric))
          << "k " << k << " ef " << ef;
    }
  }
}

TEST(HnswReference, SameGraphAndAnswersAsThePlainAlgorithm) {
  struct Case {
    const char* name;
    HnswConfig config;
    int grid;  // 0: continuous coordinates; otherwise small integers, so that keys tie
    float shift = 0.0f;  // added to the first coordinate of each inserted vector
  };
  const float ml16 = 1.0f / std::log(16.0f);
  const Case cases[] = {
      {"typical", {.m = 8, .m_max = 8, .m_max0 = 16, .ef_construction = 40, .ef_search = 10, .ml = ml16}, 0},
      {"tied keys", {.m = 6, .m_max = 6, .m_max0 = 12, .ef_construction = 20, .ef_search = 10, .ml = 1.0f}, 3},
      {"tight bounds", {.m = 10, .m_max = 2, .m_max0 = 3, .ef_construction = 8, .ef_search = 10, .ml = 1.0f}, 0},
      {"layer-0 lists kept as vectors", {.m = 8, .m_max = 8, .m_max0 = 400, .ef_construction = 20, .ef_search = 10, .ml = 1.0f}, 0},
      {"ef_construction 0", {.m = 3, .m_max = 3, .m_max0 = 6, .ef_construction = 0, .ef_search = 10, .ml = 1.0f}, 4},
      {"inserted vectors differ from the stored ones",
       {.m = 4, .m_max = 2, .m_max0 = 4, .ef_construction = 10, .ef_search = 10, .ml = 1.0f}, 0, 0.5f},
      {"diverse", {.m = 8, .m_max = 8, .m_max0 = 16, .ef_construction = 40, .ef_search = 10, .ml = ml16,
                   .selection = NeighborSelection::Diverse}, 0},
      {"diverse, tied keys", {.m = 6, .m_max = 6, .m_max0 = 12, .ef_construction = 20, .ef_search = 10, .ml = 1.0f,
                              .selection = NeighborSelection::Diverse}, 3},
      {"diverse keeping the pruned, tight bounds",
       {.m = 10, .m_max = 2, .m_max0 = 3, .ef_construction = 8, .ef_search = 10, .ml = 1.0f,
        .selection = NeighborSelection::Diverse, .keep_pruned = true}, 0},
      {"diverse keeping the pruned, tied keys",
       {.m = 6, .m_max = 4, .m_max0 = 8, .ef_construction = 20, .ef_search = 10, .ml = 1.0f,
        .selection = NeighborSelection::Diverse, .keep_pruned = true}, 4},
  };
  std::uint32_t seed = 100;
  for (const Case& c : cases) {
    const VectorTable table = random_table(300, 5, seed, c.grid);
    const VectorTable queries = random_table(8, 5, seed + 1, c.grid);
    VectorTable inserted = table;
    for (auto& row : inserted.rows) row[0] += c.shift;
    for (const Metric metric : kAllMetrics) {
      SCOPED_TRACE(::testing::Message() << c.name << ", metric " << static_cast<int>(metric));
      expect_same_graph(table, inserted, queries, c.config, metric, seed);
    }
    seed += 10;
  }
}

// A seeded index draws its levels from std::mt19937(seed): the graph is the
// reference's built with that generator's words, every time.
TEST(HnswReference, SeededIndexDrawsTheSeedsWords) {
  const VectorTable table = random_table(200, 4, 5);
  const reference::Lookup lookup = [&table](std::uint64_t node) { return table(node); };
  HnswConfig config = default_hnsw_config(4);
  config.ef_construction = 16;
  config.ml = 1.0f;
  config.seed = 42;
  HnswIndex index(config);
  reference::Hnsw plain(config);
  std::mt19937 words(42);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    index.insert(node, table(node), table, Metric::Euclidean);
    plain.insert(static_cast<std::uint32_t>(words()), node, table(node), lookup, Metric::Euclidean);
  }
  ASSERT_EQ(index.entry_point(), plain.entry_point);
  ASSERT_GT(index.top_level(), 0u);  // the levels were drawn, not all 0
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    ASSERT_EQ(index.node(node)->to_node().neighbors, plain.nodes.at(node)) << "node " << node;
  }
}

TEST(HnswReference, SameLevelForEveryWordClass) {
  const float multipliers[] = {1.0f, 1.0f / std::log(16.0f), 0.0f, -2.0f, 3.5f};
  std::mt19937 words(77);
  for (const float ml : multipliers) {
    for (std::uint32_t word = 0; word < 4096; ++word) {
      ASSERT_EQ(HnswIndex::level_from_word(word, ml), reference::level_of_word(word, ml)) << word;
    }
    for (int i = 0; i < 20000; ++i) {
      const auto word = static_cast<std::uint32_t>(words());
      ASSERT_EQ(HnswIndex::level_from_word(word, ml), reference::level_of_word(word, ml)) << word;
    }
  }
}

}  // namespace
}  // namespace quorvel
