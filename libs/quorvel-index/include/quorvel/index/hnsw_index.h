#pragma once

#include <concepts>
#include <memory>
#include <cstdint>
#include <optional>
#include <ranges>
#include <span>
#include <type_traits>
#include <vector>

#include "quorvel/index/metric.h"

namespace quorvel {

class HnswLinks;  // the neighbour lists, laid out for the search (src/hnsw_links.h)

// The parameters of an HNSW index, fixed when the index is made. There are
// no defaults: whoever makes an index chooses every value.
struct HnswConfig {
  std::uint64_t m = 0;                // neighbours a new node takes on each of its layers
  std::uint64_t m_max = 0;            // longest list kept on layers 1 and above
  std::uint64_t m_max0 = 0;           // longest list kept on layer 0
  std::uint64_t ef_construction = 0;  // result list size of each layer search of an insertion
  std::uint64_t ef_search = 0;        // a query's ef, kept for callers: search() takes its ef as an argument
  float ml = 0.0f;                    // level multiplier of random_level: levels stay below 15.95 * ml

  friend bool operator==(const HnswConfig&, const HnswConfig&) = default;
};

// One node of the graph: its neighbour list on each layer from 0 up to its
// level, so a node of level L has L + 1 lists. Numbers are appended as links
// are made; a trimmed list holds its kept neighbours closest first.
struct HnswNode {
  std::vector<std::vector<std::uint64_t>> neighbors;

  friend bool operator==(const HnswNode&, const HnswNode&) = default;
};

// The distance key of two vectors: the metric value, negated for the
// similarities, so that a smaller key always means closer.
inline float distance_key(Metric metric, std::span<const float> a, std::span<const float> b) {
  const float value = metric_value(metric, a, b);
  return larger_is_closer(metric) ? -value : value;
}

// The metric value that a distance key stands for (the inverse of the
// negation above; exact, since negation only flips the sign bit).
constexpr float value_of_key(Metric metric, float key) { return larger_is_closer(metric) ? -key : key; }

// A node with a distance key.
struct Candidate {
  float key = 0.0f;
  std::uint64_t node = 0;

  friend bool operator==(const Candidate&, const Candidate&) = default;
};

// The Candidate order: by key; when neither key is smaller than the other
// (equal keys, or either key NaN), the larger node number is the greater.
// With NaN keys this is not transitive, which is why the index's heaps
// (src/candidate_heap.h) sift by hand instead of relying on the standard
// heap algorithms.
constexpr bool operator<(const Candidate& a, const Candidate& b) {
  if (a.key < b.key) return true;
  if (b.key < a.key) return false;
  return a.node < b.node;
}

// The order in which found Candidates are reported and selected: ascending
// key, NaN keys after every number, and ascending node number among equal
// keys (among NaN keys too). Unlike the Candidate order it is a strict weak
// order even with NaN, so it can drive a sort.
constexpr bool closer_first(const Candidate& a, const Candidate& b) {
  const bool a_nan = a.key != a.key;
  const bool b_nan = b.key != b.key;
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.key != b.key) return a.key < b.key;
  return a.node < b.node;
}

// A callable that returns, for a node number, a view of a vector that lives
// on after the call (a reference or a span, not a vector by value).
template <class F>
concept VectorLookupCallable =
    std::is_object_v<F> && std::is_invocable_r_v<std::span<const float>, const F&, std::uint64_t> &&
    (std::is_lvalue_reference_v<std::invoke_result_t<const F&, std::uint64_t>> ||
     std::ranges::borrowed_range<std::invoke_result_t<const F&, std::uint64_t>>);

// A non-owning reference to the caller's lookup from node number to stored
// vector (`vector_of`). One indirect call per lookup, no allocation. It
// refers to the callable it was made from, so it must not outlive it;
// passing a lambda straight to insert() or search() is safe, since the
// lambda lives until the call returns.
class VectorLookup {
 public:
  template <class F>
    requires(!std::same_as<F, VectorLookup> && VectorLookupCallable<F>)
  VectorLookup(const F& lookup)  // implicit, so that a lambda can be passed where a lookup is expected
      : object_(&lookup), call_([](const void* object, std::uint64_t node) -> std::span<const float> {
          return (*static_cast<const F*>(object))(node);
        }) {}

  // The stored vector of `node`, as the referred callable returns it.
  std::span<const float> operator()(std::uint64_t node) const { return call_(object_, node); }

 private:
  const void* object_;
  std::span<const float> (*call_)(const void*, std::uint64_t);
};

// One answer of a query: a node number and the metric value of the query
// and that node's vector.
struct HnswMatch {
  std::uint64_t node = 0;
  float value = 0.0f;

  friend bool operator==(const HnswMatch&, const HnswMatch&) = default;
};

// A hierarchical navigable small-world graph over vectors that the caller
// keeps: the index holds only node numbers and neighbour lists, reads every
// vector through the caller's `vector_of`, and compares vectors with the
// metric named on each call. It is never written to disk and never shrinks.
//
// Node numbers are meant to be dense positions (0, 1, 2, ... as the engine
// numbers its records): nodes are kept by node number (HnswLinks), so
// memory grows with the largest number inserted.
//
// Tie rules. Equal distance keys are broken by node number: in the heaps
// the larger number is on top (the Candidate order); a trimmed list puts
// the larger number first among equally close neighbours; the sort of a
// layer search's result (selection, the next layer's entry, and a query's
// answers) puts the smaller number first and NaN keys last (closer_first).
//
// Not thread-safe: insert() needs exclusive access; search(), search_layer()
// and the accessors only read and may run concurrently with each other.
class HnswIndex {
 public:
  // An empty index: no entry point, top level 0, no nodes.
  explicit HnswIndex(HnswConfig config);

  // Copies are deep; moves leave the source without nodes.
  HnswIndex(const HnswIndex& other);
  HnswIndex& operator=(const HnswIndex& other);
  HnswIndex(HnswIndex&&) noexcept;
  HnswIndex& operator=(HnswIndex&&) noexcept;
  ~HnswIndex();

  // The parameters the index was made with.
  const HnswConfig& config() const { return config_; }

  // The node where every descent starts; empty while there is no node.
  std::optional<std::uint64_t> entry_point() const { return entry_point_; }

  // The entry point's level, which no node exceeds; 0 while there is no node.
  std::uint64_t top_level() const { return top_level_; }

  // The number of nodes.
  std::uint64_t size() const { return size_; }

  // A copy of the node numbered `node`, or nothing when there is none.
  std::optional<HnswNode> node(std::uint64_t node) const;

  // The neighbour lists as the index keeps them, for reading without copies
  // (the layout is the library's own: src/hnsw_links.h).
  const HnswLinks& links() const { return *links_; }

  // The level of a node whose draw is the 32-bit word `word`: with
  // x = (word >> 9) * 2^-23, floor(-ln(x) * ml) in 32-bit floats, saturated
  // to 0 when negative or NaN and to the largest 64-bit value from 2^64 up.
  // x = 0 would give an infinite level, so it counts as the smallest
  // non-zero draw, 2^-23.
  static std::uint64_t level_from_word(std::uint32_t word, float ml);

  // Draws one 32-bit word from the calling thread's generator (a
  // thread-local std::mt19937 seeded from std::random_device) and returns
  // its level under this index's ml.
  std::uint64_t random_level() const;

  // Adds node `node` with vector `vector` (the query of every layer search
  // of this insertion): draws its level with random_level(), finds its
  // nearest nodes layer by layer, links it with up to m of them in both
  // directions, and trims every neighbour list that grows beyond m_max
  // (m_max0 on layer 0). `vector_of` must answer every node in the index
  // and `node` itself. Reports no error. A number already in the index is
  // ignored and leaves the index as it was. Node storage grows to node + 1
  // slots and the node gets level + 1 lists; a size that cannot be
  // allocated (an absurd node number, or a level from an absurd ml) throws
  // std::length_error or std::bad_alloc, as any container does.
  void insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of, Metric metric);

  // insert() with `word` in place of the draw from the thread's generator,
  // so that a caller can choose the level. Same contract otherwise.
  void insert_with_word(std::uint32_t word, std::uint64_t node, std::span<const float> vector,
                        VectorLookup vector_of, Metric metric);

  // The best-first search of one layer from the node `entry`, with a result
  // list of size `ef`: between 1 and max(ef, 1) Candidates (distance key of
  // `query` and the node, node number), in heap order. Empty when `entry`
  // is not a node of the index.
  std::vector<Candidate> search_layer(std::span<const float> query, std::uint64_t entry, std::uint64_t layer,
                                      std::uint64_t ef, VectorLookup vector_of, Metric metric) const;

  // The first min(m, size) of `found` when sorted with closer_first: the
  // m closest, closest first. Plain selection, with no diversity rule.
  static std::vector<Candidate> select_neighbors(std::vector<Candidate> found, std::uint64_t m);

  // The k nearest nodes to `query` that the graph leads to, closest first,
  // each with the metric value of the query and its vector: a greedy
  // descent to layer 1, then a layer-0 search with a result list of
  // max(ef, k). Empty for an empty index or k = 0. Reads only.
  std::vector<HnswMatch> search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                VectorLookup vector_of, Metric metric) const;

 private:
  HnswConfig config_;
  std::optional<std::uint64_t> entry_point_;
  std::uint64_t top_level_ = 0;
  std::uint64_t size_ = 0;
  std::unique_ptr<HnswLinks> links_;
};

}  // namespace quorvel
