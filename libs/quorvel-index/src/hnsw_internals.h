#pragma once

// The parts of the HNSW index that its own algorithms are built from, for
// the library, its tests and the benchmarks of this tree: the layer search,
// the neighbour selections, insertion at a chosen level, and the neighbour
// lists as the index lays them out. Internal to the index library.

#include <cstdint>
#include <span>
#include <vector>

#include "candidate.h"
#include "hnsw_links.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {

// Tie rules of the graph. Equal distance keys are broken by node number: in
// the heaps the larger number is on top (the Candidate order); a trimmed list
// puts the larger number first among equally close neighbours; the sort of a
// layer search's result (selection, the next layer's entry, and a query's
// answers) puts the smaller number first and NaN keys last (closer_first).

// The index's own operations on its graph, beside its public interface.
struct HnswInternals {
  // The neighbour lists of `index` as it keeps them, for reading without
  // copies. Valid until the index changes.
  static const HnswLinks& links(const HnswIndex& index) { return *index.links_; }

  // HnswIndex::insert() with `word` in place of the draw from the thread's
  // generator, so that a caller can choose the level. Same contract
  // otherwise.
  static void insert_with_word(HnswIndex& index, std::uint32_t word, std::uint64_t node,
                               std::span<const float> vector, VectorLookup vector_of, Metric metric);

  // The best-first search of one layer of `index` from the node `entry`,
  // with a result list of size `ef`: between 1 and max(ef, 1) Candidates
  // (distance key of `query` and the node, node number), in heap order.
  // Empty when `entry` is not a node of the index. Reads only.
  static std::vector<Candidate> search_layer(const HnswIndex& index, std::span<const float> query,
                                             std::uint64_t entry, std::uint64_t layer, std::uint64_t ef,
                                             VectorLookup vector_of, Metric metric);
};

// The first min(m, size) of `found` when sorted with closer_first: the m
// closest, closest first. Plain selection, with no diversity rule.
std::vector<Candidate> select_neighbors(std::vector<Candidate> found, std::uint64_t m);

// The diverse selection of at most m of `found` (Candidates whose keys are
// the distance keys of one vector, the owner, and their nodes): in
// closer_first order, a candidate c is kept when c.key < key(vector of c,
// vector of r) for every r kept before it (so the closest is always kept);
// the others are passed over. With `keep_pruned`, the ones passed over then
// fill the selection up to m, closest first. Stops examining once m are
// kept. The result is in the order kept.
std::vector<Candidate> select_diverse(std::vector<Candidate> found, std::uint64_t m, bool keep_pruned,
                                      VectorLookup vector_of, Metric metric);

}  // namespace quorvel
