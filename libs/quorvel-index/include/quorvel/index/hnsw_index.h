#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quorvel/index/metric.h"

namespace quorvel {

class HnswLinks;      // the neighbour lists, laid out for the search (src/hnsw_links.h)
struct HnswInternals;  // the library's own algorithms on an index (src/hnsw_internals.h)
struct HnswImage;      // the graph written and read as bytes (hnsw_image.h)

// The most node slots an index can hold (one past its largest node
// number): the graph keeps node numbers and levels in 32 bits. Inserting a
// node numbered kHnswMostSlots or above throws std::length_error.
inline constexpr std::uint64_t kHnswMostSlots = 4294967295;

// Why an index cannot hold `slots` node slots (more than kHnswMostSlots),
// in words, or nothing when it can. Whoever is about to number nodes up to
// slots - 1 asks this first, so that a graph too large for its numbers is
// refused as an error instead of wrapping around.
std::optional<std::string> hnsw_slots_problem(std::uint64_t slots);

// How a node's neighbours are chosen from the nodes a layer search finds,
// both when a new node is linked and when a list that has grown past its
// bound is cut back.
enum class NeighborSelection : std::uint8_t {
  // The closest ones, up to the list's size.
  Closest,
  // Closest first, a candidate is kept only when it is closer to the node
  // than to every neighbour kept before it, so that the list points in
  // several directions instead of into one crowd of near neighbours.
  Diverse,
};

// The names callers choose a selection by: "closest" and "diverse".
// selection_named() gives nothing for any other text.
std::optional<NeighborSelection> selection_named(std::string_view name);
std::string_view selection_name(NeighborSelection selection);

// The parameters of an HNSW index, fixed when the index is made. The first
// six fields have no defaults of their own: whoever makes an index chooses
// every value, or starts from default_hnsw_config() and changes what they
// choose. The fields after them are options whose defaults build exactly
// the graph the first six describe.
struct HnswConfig {
  std::uint64_t m = 0;                // neighbours a new node takes on each of its layers
  std::uint64_t m_max = 0;            // longest list kept on layers 1 and above
  std::uint64_t m_max0 = 0;           // longest list kept on layer 0
  std::uint64_t ef_construction = 0;  // result list size of each layer search of an insertion
  std::uint64_t ef_search = 0;        // a query's ef, kept for callers: search() takes its ef as an argument
  float ml = 0.0f;                    // level multiplier of random_level: levels stay below 15.95 * ml

  // How neighbours are chosen (see NeighborSelection).
  NeighborSelection selection = NeighborSelection::Closest;
  // With Diverse selection: a list that the diverse rule leaves short is
  // filled up to its size from the candidates the rule passed over, closest
  // first. No effect with Closest.
  bool keep_pruned = false;
  // When given, the level draws come from the index's own generator
  // (std::mt19937 seeded with this value) instead of the calling thread's,
  // so that a build on one thread gives the same graph every time.
  std::optional<std::uint32_t> seed = std::nullopt;

  // Options for an index kept in step with a changing set of records (the
  // engine's attached index); an HnswIndex alone does not read them.
  //
  // When true, a deleted or replaced record's node stays in the graph as a
  // waypoint that searches pass through but never return, and a replaced
  // record gets a new node, instead of the whole graph being built again.
  bool retire_deleted = false;
  // With retire_deleted: once more than this share of the nodes is retired,
  // the graph is compacted (retired nodes leave it, the lists that pointed
  // to them are mended).
  float retired_share = 0.2f;
  // The threads that build the graph over the records already stored: 1
  // inserts them in order on the calling thread; 0 uses every worker of the
  // engine; n > 1 uses at most n.
  std::uint64_t build_threads = 1;

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
  // empty above its level. The graph keeps node numbers in 32 bits (see
  // kHnswMostSlots).
  std::span<const std::uint32_t> neighbors(std::uint64_t layer) const;

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

// A non-owning reference to the caller's test of whether a node may be
// returned by a query (for example, whether its record passes a filter).
// Same lifetime rule as VectorLookup.
class NodeFilter {
 public:
  template <class F>
    requires(!std::same_as<F, NodeFilter> && std::is_invocable_r_v<bool, const F&, std::uint64_t>)
  NodeFilter(const F& accept)  // implicit, so that a lambda can be passed where a filter is expected
      : object_(&accept), call_([](const void* object, std::uint64_t node) -> bool {
          return (*static_cast<const F*>(object))(node);
        }) {}

  // Whether `node` may be returned.
  bool operator()(std::uint64_t node) const { return call_(object_, node); }

 private:
  const void* object_;
  bool (*call_)(const void*, std::uint64_t);
};

// Runs body(part) once for every part in [0, parts), on as many threads as
// the runner has, and returns when every call has returned. The body does
// not throw.
using ParallelParts = std::function<void(std::size_t parts, const std::function<void(std::size_t part)>& body)>;

// Told how many nodes of a range have been inserted so far (see
// HnswIndex::insert_range).
using InsertedReport = std::function<void(std::uint64_t done)>;

// One answer of a query: a node number and the metric value of the query
// and that node's vector.
struct HnswMatch {
  std::uint64_t node = 0;
  float value = 0.0f;

  friend bool operator==(const HnswMatch&, const HnswMatch&) = default;
};

// The whole state of an HnswIndex as plain arrays, for writing it out and
// reading it back (HnswIndex::graph() and HnswIndex::from_graph()).
struct HnswGraph {
  // A `levels` entry where no node is.
  static constexpr std::uint64_t kNoNode = ~std::uint64_t{0};

  HnswConfig config;
  std::optional<std::uint64_t> entry_point;
  std::uint64_t top_level = 0;
  // By node number, up to the largest: the node's level, or kNoNode.
  std::vector<std::uint64_t> levels;
  // Every neighbour list, node by node in number order and, within a node,
  // layer by layer from 0: list i holds list_sizes[i] numbers, which follow
  // one another in `neighbors`.
  std::vector<std::uint64_t> list_sizes;
  std::vector<std::uint64_t> neighbors;
  // By node number: 1 for a retired node; may end before the last node.
  std::vector<std::uint8_t> retired;
  // With a seed: the words the level generator has given since it was
  // seeded, so that a restored index draws the levels the original would
  // have drawn next. 0 without a seed.
  std::uint64_t level_draws = 0;

  friend bool operator==(const HnswGraph&, const HnswGraph&) = default;
};

// What an insertion finds before it changes the graph: the new node's
// level word and the neighbours it takes on each layer it is linked on
// (see HnswIndex::plan_insert and insert_planned). Holds node numbers only.
class HnswInsertPlan {
 private:
  friend class HnswIndex;
  static constexpr std::uint64_t kNoNode = ~std::uint64_t{0};

  // One layer the node is linked on: its neighbours there and, for each
  // neighbour whose list the new link pushes past its bound, that list cut
  // back, new node included (nothing for a list that just takes it).
  struct Layer {
    std::vector<std::uint64_t> neighbors;
    std::vector<std::optional<std::vector<std::uint64_t>>> cut_lists;
  };

  std::uint64_t node_ = kNoNode;
  std::uint32_t level_word_ = 0;
  std::uint64_t retiring_ = kNoNode;
  // The index as the plan saw it, with `retiring_` retired: what
  // insert_planned() checks before it uses the plan.
  std::optional<std::uint64_t> entry_point_;
  std::uint64_t top_level_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t retired_count_ = 0;
  // From the highest layer linked down to layer 0.
  std::vector<Layer> layers_;
};

// A hierarchical navigable small-world graph over vectors that the caller
// keeps: the index holds only node numbers and neighbour lists, reads every
// vector through the caller's `vector_of`, and compares vectors with the
// metric named on each call. It is never written to disk. It only grows,
// but for compacted(), which makes a smaller copy.
//
// A node can be retired (retire()): it stays in the graph, searches and
// insertions pass through it as they would through any node, but no query
// returns it and no new node takes it as a neighbour. That is how a record
// that is deleted or replaced leaves the index without a rebuild; its
// vector must stay readable through `vector_of` until compacted() drops it.
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

  // The number of nodes, retired ones included.
  std::uint64_t size() const { return size_; }

  // The number of retired nodes.
  std::uint64_t retired_count() const { return retired_count_; }

  // One past the largest node number (0 while there is no node).
  std::uint64_t slots() const;

  // Whether `node` is a retired node.
  bool is_retired(std::uint64_t node) const { return node < retired_.size() && retired_[node] != 0; }

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
  // its level under this index's ml. With a seed in the configuration the
  // word comes from the index's own generator instead, which this call then
  // advances: it needs exclusive access, like insert().
  std::uint64_t random_level() const;

  // Draws one 32-bit word as random_level() does (from the seeded
  // generator when there is one, advancing it), for insert() with a chosen
  // word: a caller that keeps the words it drew can insert the same nodes
  // again with the same levels, and so build the same graph.
  std::uint32_t next_level_word() const;

  // With a seed: the word that the next next_level_word() will return,
  // without drawing it (the generator stays where it is). Without a seed,
  // nothing: the calling thread's generator cannot be read ahead.
  std::optional<std::uint32_t> peek_level_word() const;

  // Adds node `node` with vector `vector` (the query of every layer search
  // of this insertion): draws its level with random_level(), finds its
  // nearest nodes layer by layer, links it with up to m of them in both
  // directions, and trims every neighbour list that grows beyond m_max
  // (m_max0 on layer 0). `vector_of` must answer every node in the index
  // and `node` itself. Reports no error. A number already in the index is
  // ignored and leaves the index as it was. Node storage grows to node + 1
  // slots and the node gets level + 1 lists; a node number not below
  // kHnswMostSlots or a level from an absurd ml throws std::length_error
  // before anything changes, and a size that cannot be allocated throws
  // std::length_error or std::bad_alloc, as any container does.
  void insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of, Metric metric);

  // insert() with the node's level taken from `level_word` (see
  // level_from_word) instead of a draw of its own; the same contract.
  void insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of, Metric metric,
              std::uint32_t level_word);

  // The work of insert() of `node` with `level_word`, whose vector is
  // `vector`, as it would run once `retiring` (when given) is retired,
  // without changing the index: the node's level, and on each layer it
  // would be linked on the neighbours it would take and the lists of theirs
  // that it would cut back. Reads only, like search(), so it may run while
  // other threads read the index; `vector_of` need not answer `node`.
  // Throws std::bad_alloc as insert() does.
  HnswInsertPlan plan_insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of,
                             Metric metric, std::uint32_t level_word,
                             std::optional<std::uint64_t> retiring = std::nullopt) const;

  // insert() of `node` at the plan's level word, linked as the plan says:
  // the graph that retire() of the plan's retiring node and then insert()
  // would give. The plan is used only when it was made for `node` and the
  // index has not changed since plan_insert() but for that retire() (the
  // same nodes, entry point and retired marks); otherwise this is insert()
  // with the plan's level word, searches included. Same contract as
  // insert() otherwise.
  void insert_planned(std::uint64_t node, std::span<const float> vector, const HnswInsertPlan& plan,
                      VectorLookup vector_of, Metric metric);

  // Adds the nodes first, first + 1, ..., first + count - 1, none of which
  // may be in the index, as insert() does, drawing their levels in that
  // order first. With `threads` > 1 they are linked concurrently on up to
  // that many threads of `run` (every node still finds its neighbours by
  // layer searches, but which of its neighbours were linked before it
  // depends on timing, so the graph can differ between runs); with 1 it is
  // exactly insert() of each node in order. `vector_of` must answer every
  // node of the index and of the range, from any thread. `inserted`, when
  // given, is told the count of the range's nodes done after each one, one
  // call at a time with rising counts (from the threads of `run` when they
  // link). Throws as insert(); a range that reaches kHnswMostSlots throws
  // std::length_error before anything changes.
  void insert_range(std::uint64_t first, std::uint64_t count, VectorLookup vector_of, Metric metric,
                    const ParallelParts& run, std::size_t threads, const InsertedReport& inserted = {});

  // The index's whole state as plain arrays (see HnswGraph), the seeded
  // generator's position included.
  HnswGraph graph() const;

  // The index whose state `graph` describes, after checking that it is a
  // graph the index can work on: every listed number is a node of a level
  // at least the list's layer and not the list's owner, no list is longer
  // than the configuration lets it grow (max(m, m_max0) on layer 0,
  // max(m, m_max) above), no level exceeds `highest_level`, the entry point
  // is present exactly when there are nodes and is a node of the highest
  // level, which is top_level, and the sizes agree. Fails with the first
  // problem found, in words. A seeded configuration's generator resumes
  // after graph.level_draws words.
  static std::expected<HnswIndex, std::string> from_graph(HnswGraph graph, std::uint64_t highest_level);

  // Retires `node`: queries no longer return it and insertions no longer
  // link to it, but every search still passes through it. Its vector must
  // stay readable through `vector_of`. No effect on a number that is not a
  // node or already retired.
  void retire(std::uint64_t node);

  // A copy of the index without its retired nodes and with every other
  // node renumbered: node n becomes `numbers[n]` (`numbers` has an entry
  // for every node number below the largest one; the new numbers must be
  // distinct). Each list that held retired nodes is mended: its remaining
  // neighbours and the unretired neighbours of the retired ones it held
  // compete for its places under the configuration's selection rule. The
  // entry point stays when it is not retired; otherwise the first node of
  // the highest level left takes its place. `vector_of` answers by the old
  // numbers. Lists are mended on up to `threads` threads of `run`.
  HnswIndex compacted(std::span<const std::uint64_t> numbers, VectorLookup vector_of, Metric metric,
                      const ParallelParts& run, std::size_t threads) const;

  // The k nearest nodes to `query` that the graph leads to, closest first,
  // each with the metric value of the query and its vector: a greedy
  // descent to layer 1, then a layer-0 search with a result list of
  // max(ef, k). Retired nodes are passed through but not returned.
  // Empty for an empty index or k = 0. Reads only.
  std::vector<HnswMatch> search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                VectorLookup vector_of, Metric metric) const;

  // search(), returning only nodes that `accept` accepts (and that are not
  // retired): the layer-0 search goes on past nodes that are not accepted
  // until it holds max(ef, k) accepted ones or has nothing left to expand,
  // so with a strict filter it can visit much of the graph. `accept` is
  // asked at most once per node visited.
  std::vector<HnswMatch> search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                VectorLookup vector_of, Metric metric, NodeFilter accept) const;

 private:
  friend struct HnswInternals;
  friend struct HnswImage;

  // The next level-draw word: from the seeded generator when there is one.
  std::uint32_t next_word() const;
  std::vector<HnswMatch> search_accepted(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                         VectorLookup vector_of, Metric metric, const NodeFilter* accept) const;

  HnswConfig config_;
  std::optional<std::uint64_t> entry_point_;
  std::uint64_t top_level_ = 0;
  std::uint64_t size_ = 0;
  std::unique_ptr<HnswLinks> links_;
  std::vector<std::uint8_t> retired_;  // by node number; shorter than the node slots while the end has none
  std::uint64_t retired_count_ = 0;
  mutable std::optional<std::mt19937> generator_;  // with a seed: the source of level draws
  mutable std::uint64_t level_draws_ = 0;           // words generator_ has given since seeding
};

}  // namespace quorvel
