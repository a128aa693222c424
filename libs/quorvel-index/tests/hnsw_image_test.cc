// The graph written as bytes and read back: the same graph, answering every
// query as before; renumbered on the way when asked; and damaged bytes
// refused, never read as a graph.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "hnsw_fixtures.h"
#include "quorvel/index/hnsw_image.h"

namespace quorvel {
namespace {

using testing_support::random_table;
using testing_support::VectorTable;

std::string image_of(const HnswIndex& index, std::span<const std::size_t> order = {}) {
  std::string bytes;
  write_hnsw_image(index, order, [&](std::span<const std::byte> part) {
    bytes.append(reinterpret_cast<const char*>(part.data()), part.size());
  });
  return bytes;
}

std::optional<HnswIndex> read_image(const std::string& bytes, std::uint64_t slots) {
  std::size_t at = 0;
  return read_hnsw_image(
      [&](std::span<std::byte> into) {
        if (bytes.size() - at < into.size()) return false;
        std::memcpy(into.data(), bytes.data() + at, into.size());
        at += into.size();
        return true;
      },
      slots, 64);
}

// A graph over `table`, with every seventh node retired when the
// configuration retires nodes.
HnswIndex built(const HnswConfig& config, const VectorTable& table, Metric metric) {
  HnswIndex index(config);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table.rows[node], table, metric);
  if (config.retire_deleted) {
    for (std::uint64_t node = 3; node < table.rows.size(); node += 7) index.retire(node);
  }
  return index;
}

HnswConfig with_every_option() {
  HnswConfig config = default_hnsw_config(5);
  config.selection = NeighborSelection::Diverse;
  config.keep_pruned = true;
  config.seed = 77;
  config.retire_deleted = true;
  config.retired_share = 0.5f;
  config.build_threads = 2;
  return config;
}

// Both layouts of layer 0 and of the layers above: fixed slots, and lists
// of their own (bounds too large for a slot); and every option set, with
// retired nodes and a seeded generator part way through its draws.
const HnswConfig kConfigs[] = {
    default_hnsw_config(6),
    HnswConfig{.m = 4, .m_max = 4, .m_max0 = 300, .ef_construction = 20, .ef_search = 10, .ml = 0.7f},
    HnswConfig{.m = 4, .m_max = 300, .m_max0 = 8, .ef_construction = 20, .ef_search = 10, .ml = 0.7f},
    with_every_option(),
};

TEST(HnswImageTest, AGraphReadBackIsTheSameGraphAndAnswersAlike) {
  const VectorTable table = random_table(400, 12, 3);
  const VectorTable queries = random_table(30, 12, 4);
  for (const HnswConfig& config : kConfigs) {
    const HnswIndex index = built(config, table, Metric::Euclidean);
    const auto copy = read_image(image_of(index), 400);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->graph(), index.graph());
    for (const auto& query : queries.rows) {
      EXPECT_EQ(copy->search(query, 10, 20, table, Metric::Euclidean),
                index.search(query, 10, 20, table, Metric::Euclidean));
    }
    // It grows on as the original would: a seeded one with the draws its
    // generator gives next, another given the same draws.
    HnswIndex grown = index;
    HnswIndex copy_grown = *copy;
    VectorTable more = table;
    for (std::uint64_t node = 400; node < 420; ++node) {
      more.rows.push_back(queries.rows[node - 400]);
      if (config.seed) {
        grown.insert(node, more.rows[node], more, Metric::Euclidean);
        copy_grown.insert(node, more.rows[node], more, Metric::Euclidean);
      } else {
        const std::uint32_t word = grown.next_level_word();
        grown.insert(node, more.rows[node], more, Metric::Euclidean, word);
        copy_grown.insert(node, more.rows[node], more, Metric::Euclidean, word);
      }
    }
    EXPECT_EQ(copy_grown.graph(), grown.graph());
  }
  const auto empty = read_image(image_of(HnswIndex(kConfigs[0])), 0);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_FALSE(empty->entry_point());
}

TEST(HnswImageTest, ARenumberedGraphAnswersWithTheNewNumbers) {
  const VectorTable table = random_table(300, 8, 5);
  std::vector<std::size_t> order(300);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(6));
  VectorTable reordered;
  for (const std::size_t old : order) reordered.rows.push_back(table.rows[old]);
  std::vector<std::uint64_t> new_of(300);
  for (std::size_t i = 0; i < 300; ++i) new_of[order[i]] = i;

  for (const HnswConfig& config : kConfigs) {
    const HnswIndex index = built(config, table, Metric::Cosine);
    const HnswIndex copy = renumbered(index, order);
    EXPECT_EQ(copy.entry_point(), new_of[*index.entry_point()]);
    for (std::size_t i = 0; i < 300; ++i) {
      const HnswNode before = index.node(order[i])->to_node();
      HnswNode after = copy.node(i)->to_node();
      ASSERT_EQ(after.neighbors.size(), before.neighbors.size());
      for (std::size_t layer = 0; layer < before.neighbors.size(); ++layer) {
        std::vector<std::uint64_t> expected;
        for (const std::uint64_t neighbor : before.neighbors[layer]) expected.push_back(new_of[neighbor]);
        EXPECT_EQ(after.neighbors[layer], expected);
      }
    }
    for (const auto& query : random_table(20, 8, 7).rows) {
      std::vector<HnswMatch> expected = index.search(query, 5, 16, table, Metric::Cosine);
      for (HnswMatch& match : expected) match.node = new_of[match.node];
      EXPECT_EQ(copy.search(query, 5, 16, reordered, Metric::Cosine), expected);
    }
  }
}

TEST(HnswImageTest, DamagedImagesAreRefused) {
  const VectorTable table = random_table(200, 6, 8);
  for (const HnswConfig& config : kConfigs) {
    const std::string intact = image_of(built(config, table, Metric::DotProduct));
    EXPECT_FALSE(read_image(intact, 199));  // another number of slots
    for (const std::size_t cut : {std::size_t{0}, std::size_t{8}, intact.size() / 2, intact.size() - 1}) {
      EXPECT_FALSE(read_image(intact.substr(0, cut), 200)) << cut;
    }
    // Every word set to a number that is no node's: refused, or (where the
    // word is one that any number may take) a graph whose every list and
    // entry point names nodes only.
    for (std::size_t word = 0; word < intact.size() / 8; word += 7) {
      std::string damaged = intact;
      const std::uint64_t huge = 1'000'000'007;
      std::memcpy(damaged.data() + word * 8, &huge, 8);
      const auto read = read_image(damaged, 200);
      if (!read) continue;
      ASSERT_TRUE(testing_support::graph_invariants_hold(*read, 200, false)) << word;
    }
  }
}

}  // namespace
}  // namespace quorvel
