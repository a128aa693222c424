// The index against the plain reference on vectors long enough for the
// metric loops' blocks (the reference tests use five coordinates, which the
// loops add one at a time), where keys are computed several at a time and
// Euclidean keys that cannot be admitted stop early.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "distance_keys.h"
#include "hnsw_fixtures.h"
#include "hnsw_internals.h"
#include "hnsw_reference.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

using testing_support::kAllMetrics;
using testing_support::random_table;
using testing_support::VectorTable;

TEST(HnswWideVectors, SameGraphAndAnswersAsThePlainAlgorithm) {
  struct Case {
    const char* name;
    std::size_t dimension;
    int grid;  // 0: continuous coordinates; otherwise small integers, so that keys tie
  };
  const Case cases[] = {
      {"blocks and a tail", 43, 0},
      {"tied keys", 64, 2},
  };
  const HnswConfig config{.m = 6, .m_max = 6, .m_max0 = 12, .ef_construction = 24, .ef_search = 10, .ml = 1.0f};
  std::uint32_t seed = 500;
  for (const Case& c : cases) {
    const VectorTable table = random_table(400, c.dimension, seed, c.grid);
    const VectorTable queries = random_table(12, c.dimension, seed + 1, c.grid);
    const reference::Lookup lookup = [&table](std::uint64_t node) { return table(node); };
    for (const Metric metric : kAllMetrics) {
      SCOPED_TRACE(::testing::Message() << c.name << ", metric " << static_cast<int>(metric));
      HnswIndex index(config);
      reference::Hnsw plain(config);
      std::mt19937 words(seed);
      for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
        const auto word = static_cast<std::uint32_t>(words());
        HnswInternals::insert_with_word(index, word, node, table(node), table, metric);
        plain.insert(word, node, table(node), lookup, metric);
      }
      ASSERT_EQ(index.entry_point(), plain.entry_point);
      for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
        ASSERT_EQ(index.node(node)->to_node().neighbors, plain.nodes.at(node)) << "node " << node;
      }
      for (const auto& query : queries.rows) {
        for (const auto& [k, ef] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {10, 10}, {5, 60}}) {
          ASSERT_EQ(index.search(query, k, ef, table, metric), plain.search(query, k, ef, lookup, metric))
              << "k " << k << " ef " << ef;
        }
      }
    }
    seed += 10;
  }
}

// NaN keys make the heap order inconsistent, where the standard heaps of
// the reference and the index's own heaps part ways, so NaN vectors are
// checked by what must hold: the build ends with a sound graph, and a
// search for every node lists the NaN ones last.
TEST(HnswWideVectors, NaNVectorsKeepTheGraphSoundAndComeLast) {
  VectorTable table = random_table(300, 24, 71);
  const auto has_nan = [](std::size_t row) { return row % 37 == 0; };
  for (std::size_t row = 0; row < table.rows.size(); row += 37) table.rows[row][row % 24] = std::nanf("");
  const HnswConfig config{.m = 6, .m_max = 6, .m_max0 = 12, .ef_construction = 24, .ef_search = 10, .ml = 1.0f};
  HnswIndex index(config);
  // Levels from a fixed generator, and level 0 for every NaN vector: a
  // search that enters the graph at a NaN vector can admit no other node,
  // so the entry point must be a number for the search below to mean much.
  std::mt19937 words(71);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    const std::uint32_t word = has_nan(node) ? 0xFFFFFFFFu : static_cast<std::uint32_t>(words());
    HnswInternals::insert_with_word(index, word, node, table(node), table, Metric::Euclidean);
  }
  EXPECT_TRUE(testing_support::graph_invariants_hold(index, table.rows.size()));
  const std::vector<HnswMatch> matches = index.search(table.rows[1], 300, 300, table, Metric::Euclidean);
  ASSERT_GT(matches.size(), 250u);
  bool seen_nan = false;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const bool nan = std::isnan(matches[i].value);
    EXPECT_FALSE(seen_nan && !nan) << "a number after a NaN at " << i;
    EXPECT_TRUE(nan || i == 0 || matches[i - 1].value <= matches[i].value) << i;
    seen_nan = seen_nan || nan;
  }
}

// KeyOf::many_below with limits at, just below and just above the keys
// themselves, where rounding the limit to a total would show: every key
// below the limit has the bits of the key computed alone, and every other
// entry is not below the limit and not above its key.
TEST(HnswWideVectors, KeysBelowALimitAreExact) {
  const VectorTable table = random_table(40, 77, 9);
  const std::vector<float>& query = table.rows.front();
  const std::vector<std::span<const float>> others(table.rows.begin() + 1, table.rows.end());
  const KeyOf key(Metric::Euclidean);
  std::vector<float> exact(others.size());
  key.many(query, others, exact);
  for (std::size_t i = 0; i < others.size(); ++i) ASSERT_EQ(exact[i], key(query, others[i]));
  const float infinity = std::numeric_limits<float>::infinity();
  for (const float chosen : {exact[3], exact[17], exact[30]}) {
    for (const float limit : {chosen, std::nextafter(chosen, 0.0f), std::nextafter(chosen, infinity)}) {
      std::vector<float> keys(others.size());
      key.many_below(query, others, keys, limit);
      for (std::size_t i = 0; i < others.size(); ++i) {
        if (exact[i] < limit) {
          EXPECT_EQ(keys[i], exact[i]) << i;
        } else {
          EXPECT_GE(keys[i], limit) << i;
          EXPECT_LE(keys[i], exact[i]) << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
