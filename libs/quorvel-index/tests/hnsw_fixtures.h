#pragma once

// Small helpers shared by the HNSW tests: the list of metrics, vectors kept
// by the test, words that give a chosen level, and a check of the graph
// invariants.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "hnsw_internals.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel::testing_support {

// Every Metric, in the order of their byte values.
inline constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::DotProduct, Metric::Euclidean,
                                         Metric::Manhattan};

// The caller's side of vector_of: vectors held by position.
struct VectorTable {
  std::vector<std::vector<float>> rows;

  std::span<const float> operator()(std::uint64_t node) const { return rows.at(node); }
};

// `count` vectors of `dimension` coordinates drawn uniformly from [-1, 1),
// or, with `grid`, from the integers 0..grid-1 so that many keys tie.
inline VectorTable random_table(std::size_t count, std::size_t dimension, std::uint32_t seed, int grid = 0) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::uniform_int_distribution<int> integer(0, std::max(grid - 1, 0));
  VectorTable table;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> row(dimension);
    for (float& value : row) value = grid > 0 ? static_cast<float>(integer(generator)) : uniform(generator);
    table.rows.push_back(std::move(row));
  }
  return table;
}

// A word whose draw gives `level` under ml = 1.
inline std::uint32_t word_for_level(std::uint64_t level) {
  const double x = std::exp(-(static_cast<double>(level) + 0.5));
  const auto fraction = static_cast<std::uint32_t>(std::max(1.0, std::floor(x * 8388608.0)));
  return fraction << 9;
}

// Checks the invariants of a graph whose nodes are numbered 0..count-1:
// every listed number is a node, no list holds its owner or a number twice,
// a link on layer l joins nodes of levels at least l, no list is longer
// than max(m, its bound), and the entry point is a node of the highest
// level: the first one when the nodes were inserted in number order.
inline ::testing::AssertionResult graph_invariants_hold(const HnswIndex& index, std::uint64_t count,
                                                        bool inserted_in_order = true) {
  if (index.size() != count) return ::testing::AssertionFailure() << "size " << index.size();
  if (count == 0) {
    if (index.entry_point()) return ::testing::AssertionFailure() << "entry point without nodes";
    return ::testing::AssertionSuccess();
  }
  const HnswConfig& config = index.config();
  std::uint64_t highest = 0;
  std::uint64_t first_highest = 0;
  const HnswLinks& links = HnswInternals::links(index);
  for (std::uint64_t n = 0; n < count; ++n) {
    if (!links.contains(n)) return ::testing::AssertionFailure() << "node " << n << " missing";
    const std::uint64_t level = links.level(n);
    if (n == 0 || level > highest) {
      highest = level;
      first_highest = n;
    }
    for (std::uint64_t layer = 0; layer <= level; ++layer) {
      const std::span<const HnswLinks::Number> list = links.list(n, layer);
      const std::uint64_t bound = layer == 0 ? config.m_max0 : config.m_max;
      if (list.size() > std::max(bound, config.m))
        return ::testing::AssertionFailure() << "node " << n << " layer " << layer << " holds " << list.size();
      std::set<std::uint64_t> seen;
      for (const std::uint64_t other : list) {
        if (other == n) return ::testing::AssertionFailure() << "node " << n << " links to itself";
        if (!seen.insert(other).second)
          return ::testing::AssertionFailure() << "node " << n << " lists " << other << " twice";
        if (!links.contains(other)) return ::testing::AssertionFailure() << "node " << n << " lists absent " << other;
        if (links.level(other) < layer)
          return ::testing::AssertionFailure() << "link " << n << "-" << other << " above its level";
      }
    }
  }
  const std::uint64_t entry = index.entry_point().value_or(count);
  const bool entry_on_top = entry < count && links.level(entry) == highest;
  if (!entry_on_top || (inserted_in_order && entry != first_highest) || index.top_level() != highest)
    return ::testing::AssertionFailure() << "entry point " << index.entry_point().value_or(~0ull) << " at level "
                                         << index.top_level() << ", expected " << first_highest << " at "
                                         << highest;
  return ::testing::AssertionSuccess();
}

}  // namespace quorvel::testing_support
