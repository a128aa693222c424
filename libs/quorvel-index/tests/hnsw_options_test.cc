// The index's options beyond the closest-neighbour graph: diverse
// selection, retired nodes, filtered queries, compaction and the build on
// several threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "distance_keys.h"
#include "hnsw_fixtures.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

using testing_support::graph_invariants_hold;
using testing_support::random_table;
using testing_support::VectorTable;
using testing_support::word_for_level;

// Runs the parts on threads of its own, one per part.
const ParallelParts kThreads = [](std::size_t parts, const std::function<void(std::size_t)>& body) {
  std::vector<std::thread> threads;
  for (std::size_t part = 0; part < parts; ++part) threads.emplace_back(body, part);
  for (std::thread& thread : threads) thread.join();
};

// The exact k nearest nodes among 0..count-1 that `keep` keeps, closest
// first (ties to the smaller number).
std::vector<std::uint64_t> exact(const VectorTable& table, std::span<const float> query, std::size_t k,
                                 Metric metric, const std::function<bool(std::uint64_t)>& keep) {
  std::vector<Candidate> all;
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
    if (keep(node)) all.push_back({distance_key(metric, query, table(node)), node});
  }
  std::sort(all.begin(), all.end(), closer_first);
  std::vector<std::uint64_t> nodes;
  for (std::size_t i = 0; i < std::min(k, all.size()); ++i) nodes.push_back(all[i].node);
  return nodes;
}

std::vector<std::uint64_t> nodes_of(const std::vector<HnswMatch>& matches) {
  std::vector<std::uint64_t> nodes;
  for (const HnswMatch& match : matches) nodes.push_back(match.node);
  return nodes;
}

HnswIndex built(const VectorTable& table, HnswConfig config, Metric metric = Metric::Euclidean) {
  HnswIndex index(config);
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) index.insert(node, table(node), table, metric);
  return index;
}

HnswConfig small_config(NeighborSelection selection = NeighborSelection::Closest) {
  HnswConfig config = default_hnsw_config(8);
  config.ef_construction = 32;
  config.selection = selection;
  config.seed = 7;
  return config;
}

// The share of the exact k nearest that the index finds, over `queries`.
double recall(const HnswIndex& index, const VectorTable& table, const VectorTable& queries, std::uint64_t ef) {
  std::size_t found = 0;
  std::size_t wanted = 0;
  for (const auto& query : queries.rows) {
    const auto truth = exact(table, query, 10, Metric::Euclidean, [](std::uint64_t) { return true; });
    const auto answer = nodes_of(index.search(query, 10, ef, table, Metric::Euclidean));
    for (const std::uint64_t node : answer) found += std::ranges::count(truth, node);
    wanted += truth.size();
  }
  return static_cast<double>(found) / static_cast<double>(wanted);
}

// The owner stands at the origin; b lies right beside a, so it is nearer to
// a than to the owner and the diverse rule passes it over; c and d point
// elsewhere and are kept.
TEST(DiverseSelection, KeepsCandidatesCloserToTheOwnerThanToThoseKept) {
  const VectorTable table{{{1.0f, 0.0f}, {1.1f, 0.1f}, {0.0f, 2.0f}, {-3.0f, 0.0f}}};
  enum : std::uint64_t { a, b, c, d };
  const std::vector<float> owner = {0.0f, 0.0f};
  std::vector<Candidate> found;
  for (const std::uint64_t node : {d, b, c, a}) {
    found.push_back({distance_key(Metric::Euclidean, owner, table(node)), node});
  }
  struct Case {
    std::uint64_t m;
    bool keep_pruned;
    std::vector<std::uint64_t> kept;
  };
  const Case cases[] = {
      {0, false, {}},        {1, false, {a}},          {2, false, {a, c}},
      {4, false, {a, c, d}}, {2, true, {a, c}},        {4, true, {a, c, d, b}},
  };
  for (const Case& c_ : cases) {
    const auto kept = nodes_of([&] {
      std::vector<HnswMatch> matches;
      for (const Candidate& chosen : select_diverse(found, c_.m, c_.keep_pruned, table, Metric::Euclidean)) {
        matches.push_back({chosen.node, chosen.key});
      }
      return matches;
    }());
    EXPECT_EQ(kept, c_.kept) << "m " << c_.m << " keep_pruned " << c_.keep_pruned;
  }
}

// Diverse lists are no longer than closest ones, the graph keeps its
// invariants, and it finds the nearest neighbours at least as well on a
// clustered set.
TEST(DiverseSelection, BuildsAValidGraphThatFindsTheNearest) {
  const VectorTable table = random_table(1500, 8, 3);
  const VectorTable queries = random_table(50, 8, 4);
  for (const bool keep_pruned : {false, true}) {
    HnswConfig config = small_config(NeighborSelection::Diverse);
    config.keep_pruned = keep_pruned;
    const HnswIndex index = built(table, config);
    EXPECT_TRUE(graph_invariants_hold(index, table.rows.size()));
    EXPECT_GE(recall(index, table, queries, 64), 0.97) << keep_pruned;
  }
}

TEST(RetiredNodes, AreNeverReturnedButStillLeadTheWay) {
  const VectorTable table = random_table(600, 6, 11);
  const VectorTable queries = random_table(20, 6, 12);
  for (const NeighborSelection selection : {NeighborSelection::Closest, NeighborSelection::Diverse}) {
    HnswIndex index = built(table, small_config(selection));
    std::set<std::uint64_t> retired;
    std::mt19937 random(5);
    while (retired.size() < 250) retired.insert(random() % table.rows.size());
    for (const std::uint64_t node : retired) index.retire(node);
    index.retire(*retired.begin());  // twice: no effect
    index.retire(100000);            // not a node: no effect
    EXPECT_EQ(index.retired_count(), retired.size());
    const auto live = [&](std::uint64_t node) { return !retired.contains(node); };
    for (const auto& query : queries.rows) {
      // A result list as large as the graph reaches every node it links to.
      EXPECT_EQ(nodes_of(index.search(query, 10, table.rows.size(), table, Metric::Euclidean)),
                exact(table, query, 10, Metric::Euclidean, live));
      for (const HnswMatch& match : index.search(query, 10, 10, table, Metric::Euclidean)) {
        EXPECT_TRUE(live(match.node)) << match.node;
      }
    }
  }
}

TEST(RetiredNodes, NewNodesLinkOnlyToLiveOnes) {
  VectorTable table = random_table(400, 6, 21);
  HnswIndex index = built(table, small_config());
  for (std::uint64_t node = 0; node < 400; node += 2) index.retire(node);
  const VectorTable more = random_table(100, 6, 22);
  for (std::size_t i = 0; i < more.rows.size(); ++i) {
    table.rows.push_back(more.rows[i]);
    index.insert(400 + i, table(400 + i), table, Metric::Euclidean);
  }
  for (std::uint64_t node = 400; node < 500; ++node) {
    for (std::uint64_t layer = 0; layer <= index.node(node)->level(); ++layer) {
      for (const std::uint64_t neighbor : index.node(node)->neighbors(layer)) {
        EXPECT_FALSE(index.is_retired(neighbor)) << node << " links to " << neighbor;
      }
    }
  }
}

// Searching first (with the node about to be retired counted as retired)
// and linking later gives, graph for graph, what retire() then insert()
// give: on a set with many tied keys, with new top levels now and then, and
// with a plan that went stale (the index changed meanwhile), which is
// searched again.
TEST(PlannedInsertion, GivesTheGraphOfRetireThenInsert) {
  for (const NeighborSelection selection : {NeighborSelection::Closest, NeighborSelection::Diverse}) {
    SCOPED_TRACE(selection == NeighborSelection::Diverse ? "diverse" : "closest");
    VectorTable table = random_table(300, 4, 91, 4);
    const VectorTable more = random_table(200, 4, 92, 4);
    HnswIndex planned = built(table, small_config(selection));
    HnswIndex sequential = planned;
    std::mt19937 random(93);
    for (std::size_t i = 0; i < more.rows.size(); ++i) {
      const std::uint64_t node = table.rows.size();
      table.rows.push_back(more.rows[i]);
      const std::uint32_t word = i % 50 == 49 ? word_for_level(6) : static_cast<std::uint32_t>(random());
      std::optional<std::uint64_t> retiring;
      if (i % 4 != 0) retiring = random() % node;  // sometimes one retired already
      const HnswInsertPlan plan = planned.plan_insert(node, table(node), table, Metric::Euclidean, word, retiring);
      if (retiring) {
        planned.retire(*retiring);
        sequential.retire(*retiring);
      }
      if (i % 25 == 24) {
        // Another node arrives between the plan and its use.
        table.rows.push_back(more.rows[(i + 1) % more.rows.size()]);
        planned.insert(node + 1, table(node + 1), table, Metric::Euclidean, word ^ 1u);
        sequential.insert(node + 1, table(node + 1), table, Metric::Euclidean, word ^ 1u);
      }
      planned.insert_planned(node, table(node), plan, table, Metric::Euclidean);
      sequential.insert(node, table(node), table, Metric::Euclidean, word);
      ASSERT_EQ(planned.graph(), sequential.graph()) << "insertion " << i;
    }
    EXPECT_TRUE(graph_invariants_hold(planned, table.rows.size(), false));
  }
}

// Reading the next level word ahead leaves the seeded generator where it is.
TEST(PlannedInsertion, PeeksTheSeededLevelWordWithoutDrawingIt) {
  HnswIndex seeded(small_config());
  EXPECT_EQ(HnswIndex(default_hnsw_config(8)).peek_level_word(), std::nullopt);
  for (int i = 0; i < 3; ++i) {
    const std::optional<std::uint32_t> ahead = seeded.peek_level_word();
    EXPECT_EQ(seeded.graph().level_draws, static_cast<std::uint64_t>(i));
    EXPECT_EQ(ahead, seeded.next_level_word());
  }
}

TEST(FilteredSearch, ReturnsTheExactFilteredAnswerWithALargeResultList) {
  const VectorTable table = random_table(800, 6, 31);
  const VectorTable queries = random_table(20, 6, 32);
  const HnswIndex index = built(table, small_config(NeighborSelection::Diverse), Metric::Cosine);
  for (const std::uint64_t every : {2u, 10u, 97u}) {
    const auto passes = [every](std::uint64_t node) { return node % every == 0; };
    for (const auto& query : queries.rows) {
      const auto answer = index.search(query, 5, table.rows.size(), table, Metric::Cosine, passes);
      EXPECT_EQ(nodes_of(answer), exact(table, query, 5, Metric::Cosine, passes)) << "every " << every;
    }
  }
  // Nothing passes: nothing is returned, after the whole graph was searched.
  const auto none = [](std::uint64_t) { return false; };
  EXPECT_TRUE(index.search(queries.rows[0], 5, 10, table, Metric::Cosine, none).empty());
}

TEST(Compaction, DropsRetiredNodesAndMendsTheLists) {
  const VectorTable table = random_table(700, 6, 41);
  const VectorTable queries = random_table(20, 6, 42);
  for (const NeighborSelection selection : {NeighborSelection::Closest, NeighborSelection::Diverse}) {
    HnswIndex index = built(table, small_config(selection));
    // Retire a fifth, the entry point among them, then number the rest
    // densely in their old order.
    std::vector<std::uint8_t> gone(table.rows.size());
    for (std::uint64_t node = 0; node < table.rows.size(); node += 5) gone[node] = 1;
    gone[*index.entry_point()] = 1;
    VectorTable kept;
    std::vector<std::uint64_t> numbers(table.rows.size());
    for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
      if (gone[node]) {
        index.retire(node);
        continue;
      }
      numbers[node] = kept.rows.size();
      kept.rows.push_back(table.rows[node]);
    }
    const HnswIndex compact = index.compacted(numbers, table, Metric::Euclidean, kThreads, 2);
    EXPECT_EQ(compact.retired_count(), 0u);
    // The new entry point is the first node of the highest level left.
    EXPECT_TRUE(graph_invariants_hold(compact, kept.rows.size()));
    EXPECT_GE(recall(compact, kept, queries, 32), 0.95);
    for (const auto& query : queries.rows) {
      EXPECT_EQ(nodes_of(compact.search(query, 10, kept.rows.size(), kept, Metric::Euclidean)),
                exact(kept, query, 10, Metric::Euclidean, [](std::uint64_t) { return true; }));
    }
  }
}

TEST(Compaction, OfAnIndexWithEveryNodeRetiredIsEmpty) {
  const VectorTable table = random_table(50, 3, 51);
  HnswIndex index = built(table, small_config());
  for (std::uint64_t node = 0; node < 50; ++node) index.retire(node);
  const std::vector<std::uint64_t> numbers(50, 0);
  const HnswIndex compact = index.compacted(numbers, table, Metric::Euclidean, kThreads, 1);
  EXPECT_EQ(compact.size(), 0u);
  EXPECT_FALSE(compact.entry_point());
  EXPECT_TRUE(compact.search(table(0), 3, 10, table, Metric::Euclidean).empty());
}

TEST(RangeInsertion, OnOneThreadIsInsertionInOrder) {
  const VectorTable table = random_table(300, 5, 61);
  const HnswIndex one_by_one = built(table, small_config(NeighborSelection::Diverse));
  HnswIndex ranged(small_config(NeighborSelection::Diverse));
  ranged.insert_range(0, table.rows.size(), table, Metric::Euclidean, kThreads, 1);
  ASSERT_EQ(ranged.entry_point(), one_by_one.entry_point());
  for (std::uint64_t node = 0; node < table.rows.size(); ++node) EXPECT_EQ(ranged.node(node), one_by_one.node(node));
}

// Built on several threads, the graph keeps its invariants and finds the
// nearest neighbours about as well as the one-thread build; levels come
// from the seed in node order either way.
TEST(RangeInsertion, OnSeveralThreadsBuildsAGraphAsGoodAsOneThread) {
  const VectorTable table = random_table(3000, 8, 71);
  const VectorTable queries = random_table(100, 8, 72);
  for (const NeighborSelection selection : {NeighborSelection::Closest, NeighborSelection::Diverse}) {
    const HnswIndex one = built(table, small_config(selection));
    HnswIndex many(small_config(selection));
    many.insert(0, table(0), table, Metric::Euclidean);  // a range may start on an index with nodes
    many.insert_range(1, table.rows.size() - 1, table, Metric::Euclidean, kThreads, 4);
    EXPECT_TRUE(graph_invariants_hold(many, table.rows.size(), false));
    for (std::uint64_t node = 0; node < table.rows.size(); ++node) {
      EXPECT_EQ(many.node(node)->level(), one.node(node)->level()) << node;
    }
    EXPECT_GE(recall(many, table, queries, 32), recall(one, table, queries, 32) - 0.02);
  }
}

TEST(GraphState, RestoresTheSameIndex) {
  const VectorTable table = random_table(500, 5, 81);
  for (const bool retire : {false, true}) {
    HnswIndex index = built(table, small_config(NeighborSelection::Diverse));
    if (retire) {
      for (std::uint64_t node = 3; node < 500; node += 7) index.retire(node);
    }
    const HnswGraph graph = index.graph();
    auto restored = HnswIndex::from_graph(graph, 64);
    ASSERT_TRUE(restored) << restored.error();
    EXPECT_EQ(restored->graph(), graph);
    EXPECT_EQ(restored->retired_count(), index.retired_count());
    for (const auto& query : random_table(10, 5, 82).rows) {
      EXPECT_EQ(restored->search(query, 10, 20, table, Metric::Euclidean),
                index.search(query, 10, 20, table, Metric::Euclidean));
    }
  }
  // A seeded index restored half-way draws the levels the original draws
  // next: both grow into the same graph.
  HnswConfig seeded = small_config(NeighborSelection::Diverse);
  seeded.seed = 7;
  HnswIndex original(seeded);
  for (std::uint64_t node = 0; node < 250; ++node) original.insert(node, table.rows[node], table, Metric::Euclidean);
  auto resumed = HnswIndex::from_graph(original.graph(), 64);
  ASSERT_TRUE(resumed) << resumed.error();
  EXPECT_EQ(resumed->graph().level_draws, 250u);
  for (std::uint64_t node = 250; node < 500; ++node) {
    original.insert(node, table.rows[node], table, Metric::Euclidean);
    resumed->insert(node, table.rows[node], table, Metric::Euclidean);
  }
  EXPECT_EQ(resumed->graph(), original.graph());
  auto empty = HnswIndex::from_graph(HnswIndex(small_config()).graph(), 64);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 0u);
}

// Damaged states are refused with what is wrong, never restored.
TEST(GraphState, RefusesAGraphTheIndexCannotWorkOn) {
  // Three nodes: 0 (level 1, the entry point), 1 and 2 (level 0).
  HnswGraph good;
  good.config = default_hnsw_config(2);
  good.entry_point = 0;
  good.top_level = 1;
  good.levels = {1, 0, 0};
  good.list_sizes = {2, 0, 1, 1};  // node 0 on layers 0 and 1, node 1, node 2
  good.neighbors = {1, 2, 0, 0};
  ASSERT_TRUE(HnswIndex::from_graph(good, 64));
  struct Case {
    const char* message;
    void (*damage)(HnswGraph&);
  };
  const Case cases[] = {
      {"node 0 has level 70; levels must stay at most 64", [](HnswGraph& g) { g.levels[0] = 70; }},
      {"the nodes' levels call for 4 lists, list_sizes holds 3", [](HnswGraph& g) { g.list_sizes.pop_back(); }},
      {"the lists hold 5 numbers, neighbors holds 4", [](HnswGraph& g) { g.list_sizes[2] = 2; }},
      {"the lists hold 18446744073709551615 numbers, neighbors holds 4",
       [](HnswGraph& g) { g.list_sizes[1] = ~std::uint64_t{0}; }},
      {"node 0 holds 5 numbers on layer 0, more than 4",
       [](HnswGraph& g) {
         g.list_sizes[0] = 5;
         g.neighbors.insert(g.neighbors.begin(), {1, 2, 1});
       }},
      {"node 0 lists 9 on layer 0, which is not a node", [](HnswGraph& g) { g.neighbors[0] = 9; }},
      {"node 0 lists 2 on layer 0, which is not a node",
       [](HnswGraph& g) {
         g.levels[2] = HnswGraph::kNoNode;
         g.list_sizes.pop_back();
         g.neighbors = {1, 2, 2};
       }},
      {"node 2 lists 1 on layer 1, whose level is below the layer",
       [](HnswGraph& g) {
         g.levels = {2, 0, 1};
         g.top_level = 2;
         g.list_sizes = {2, 0, 0, 1, 1, 1};
         g.neighbors = {1, 2, 0, 0, 1};  // node 2's layer-1 list names node 1
       }},
      {"node 1 lists 1 on layer 0, itself", [](HnswGraph& g) { g.neighbors[2] = 1; }},
      {"there are nodes but no entry point", [](HnswGraph& g) { g.entry_point.reset(); }},
      {"the entry point 5 is not a node", [](HnswGraph& g) { g.entry_point = 5; }},
      {"top_level 0 is not the entry point's level 1", [](HnswGraph& g) { g.top_level = 0; }},
      {"node 0 has level 1, above the entry point's",
       [](HnswGraph& g) {
         g.entry_point = 1;
         g.top_level = 0;
       }},
      {"there is an entry point but no node",
       [](HnswGraph& g) {
         g.levels.assign(3, HnswGraph::kNoNode);
         g.list_sizes.clear();
         g.neighbors.clear();
       }},
      {"retired holds 4 marks for 3 node numbers", [](HnswGraph& g) { g.retired = {0, 0, 0, 1}; }},
      {"the retired mark of 1 is 2, not 0 or 1", [](HnswGraph& g) { g.retired = {0, 2}; }},
  };
  for (const Case& c : cases) {
    HnswGraph damaged = good;
    c.damage(damaged);
    auto restored = HnswIndex::from_graph(damaged, 64);
    ASSERT_FALSE(restored) << c.message;
    EXPECT_EQ(restored.error(), c.message);
  }
}

}  // namespace
}  // namespace quorvel
