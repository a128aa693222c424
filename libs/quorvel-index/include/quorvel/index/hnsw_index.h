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

class HnswLinks;      // the neighbour lists, laid out for the search (src/hnsw_links.h)
struct HnswInternals;  // the library's own algorithms on an index (src/hnsw_internals.h)
struct HnswImage;      // the graph written and read as bytes (hnsw_image.h)

// The parameters of an HNSW index, fixed when the index is made. The fields
// have no defaults of their own: whoever makes an index chooses every value,
// or starts from default_hnsw_config() and changes what they choose.
struct HnswConfig {
  std::uint64_t m = 0;                // neighbours a new node takes on each of its layers
  std::uint64_t m_max = 0;            // longest list kept on layers 1 and above
  std::uint64_t m_max0 = 0;           // longest list kept on layer 0
  std::uint64_t ef_construction = 0;  // result list size of each layer search of an insertion
  std::uint64_t ef_search = 0;        // a query's ef, kept for callers: search() takes its ef as an argument
  float ml = 0.0f;                    // level multiplier of random_level: levels stay below 15.95 * ml

  friend bool operator==(const HnswConfig&, const HnswConfig&) = default;
};

// The configuration that `m` alone implies: m as given, m_max = m,
// m_max0 = 2m and ml = 1 / ln(m) in 32-bit floats (as hnswlib derives them;
// ml = 1 when m <= 1, where ln m is not positive), ef_construction = 200 and
// ef_search = 64.
HnswConfig default_hnsw_config(std::uint64_t m);

// One node of the graph, copied out: its neighbour list on each layer from 0
// up to its level, so a node of level L has L + 1 lists. Numbers are
// appended as links are made; a trimmed list holds its kept neighbours
// closest first.
struct HnswNode {
  std::vector<std::vector<std::uint64_t>> neighbors;

  friend bool operator==(const HnswNode&, const HnswNode&) = default;
};

// One node of an index's graph seen in place. The view and every list it
// returns stay valid, whether or not the view itself still exists, until the
// index changes (insert(), assignment, destruction); to keep a node longer,
// copy it with to_node().
class HnswNodeView {
 public:
  // The node's level: it has neighbour lists on layers 0 to level().
  std::uint64_t level() const;

  // The node's neighbour list on `layer` (in the order HnswNode describes),
  // empty above its level.
  std::span<const std::uint64_t> neighbors(std::uint64_t layer) const;

  // A copy of every list of the node.
  HnswNode to_node() const;

  // Same level and the same lists, number for number.
  friend bool operator==(const HnswNodeView& a, const HnswNodeView& b);

 private:
  friend class HnswIndex;
  HnswNodeView(const HnswLinks& links, std::uint64_t node) : links_(&links), node_(node) {}

  const HnswLinks* links_;
  std::uint64_t node_;
};

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
// Tie rules. Among equally close nodes, a trimmed neighbour list puts the
// larger number first, and a query's answers put the smaller number first;
// answers whose metric value is NaN come last.
//
// Not thread-safe: insert() needs exclusive access; search() and the
// accessors only read and may run concurrently with each other.
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

  // The node numbered `node`, seen in place (see HnswNodeView), or nothing
  // when there is none.
  std::optional<HnswNodeView> node(std::uint64_t node) const;

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

  // Draws one 32-bit word as random_level() does, for insert() with a
  // chosen word: a caller that keeps the words it drew can insert the same
  // nodes again with the same levels, and so build the same graph.
  std::uint32_t next_level_word() const;

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

  // insert() with the node's level taken from `level_word` (see
  // level_from_word) instead of a draw of its own; the same contract.
  void insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of, Metric metric,
              std::uint32_t level_word);

  // The k nearest nodes to `query` that the graph leads to, closest first,
  // each with the metric value of the query and its vector: a greedy
  // descent to layer 1, then a layer-0 search with a result list of
  // max(ef, k). Empty for an empty index or k = 0. Reads only.
  std::vector<HnswMatch> search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                VectorLookup vector_of, Metric metric) const;

 private:
  friend struct HnswInternals;
  friend struct HnswImage;

  HnswConfig config_;
  std::optional<std::uint64_t> entry_point_;
  std::uint64_t top_level_ = 0;
  std::uint64_t size_ = 0;
  std::unique_ptr<HnswLinks> links_;
};

}  // namespace quorvel
