#include "quorvel/index/hnsw_index.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>

#include "candidate_heap.h"
#include "distance_keys.h"
#include "hnsw_internals.h"
#include "hnsw_links.h"
#include "messages.h"

namespace quorvel {
namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

// The nodes of one neighbour list whose keys are computed together, with
// their vectors and, once computed, their keys. Grows to the longest list
// seen and keeps its storage.
struct KeyBatch {
  std::vector<std::uint64_t> nodes;
  std::vector<std::span<const float>> vectors;
  std::vector<float> keys;
  std::size_t size = 0;

  void start(std::size_t most) {
    if (nodes.size() < most) {
      nodes.resize(most);
      vectors.resize(most);
      keys.resize(most);
    }
    size = 0;
  }

  void add(std::uint64_t node, std::span<const float> vector) {
    nodes[size] = node;
    vectors[size] = vector;
    ++size;
  }

  void compute(const KeyOf& key, std::span<const float> query) {
    key.many(query, std::span(vectors).first(size), std::span(keys).first(size));
  }

  // compute(), except that keys not below `limit` may be left unfinished
  // (KeyOf::many_below).
  void compute_below(const KeyOf& key, std::span<const float> query, float limit) {
    key.many_below(query, std::span(vectors).first(size), std::span(keys).first(size), limit);
  }
};

// The working memory of one layer search: a visited mark per node slot, the
// two heaps and the batch of keys. A node is visited when its mark equals
// the current epoch, so starting a search costs one increment instead of
// clearing a set; the marks are cleared only when the epoch counter wraps.
struct SearchScratch {
  std::vector<std::uint32_t> marks;
  std::uint32_t epoch = 0;
  CandidateHeap candidates;
  CandidateHeap results;
  KeyBatch batch;
  bool busy = false;

  void start(std::size_t slots) {
    if (marks.size() < slots) marks.resize(slots, 0);
    if (++epoch == 0) {
      std::fill(marks.begin(), marks.end(), 0);
      epoch = 1;
    }
    candidates.clear();
    results.clear();
  }

  // Marks `node` visited; false when it already was.
  bool visit(std::uint64_t node) {
    std::uint32_t& mark = marks[node];
    if (mark == epoch) return false;
    mark = epoch;
    return true;
  }
};

// Each thread reuses one scratch, so that concurrent queries share nothing
// and a query allocates nothing once the thread has warmed up. A lookup
// that itself searches an index on the same thread finds the scratch busy
// and gets a fresh one.
class ScratchLease {
 public:
  ScratchLease() {
    thread_local SearchScratch shared;
    if (!shared.busy) {
      scratch_ = &shared;
    } else {
      own_ = std::make_unique<SearchScratch>();
      scratch_ = own_.get();
    }
    scratch_->busy = true;
  }
  ~ScratchLease() { scratch_->busy = false; }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  SearchScratch& operator*() const { return *scratch_; }

 private:
  std::unique_ptr<SearchScratch> own_;
  SearchScratch* scratch_ = nullptr;
};

// Asks the processor to bring the first `bytes` of a vector towards the
// cache, so that its loads overlap with the keys computed before it.
void prefetch_vector(std::span<const float> vector, std::size_t bytes) {
  const char* start = reinterpret_cast<const char*>(vector.data());
  const std::size_t size = std::min(vector.size_bytes(), bytes);
  for (std::size_t offset = 0; offset < size; offset += 64) __builtin_prefetch(start + offset, 0, 2);
}

// How much of each vector about to be compared to prefetch: its start, so
// that its address translation and first lines are under way early.
constexpr std::size_t kPrefetchStart = 128;

// How the algorithms below reach the neighbour lists. read() calls
// f(list) and returns what f returns; change() calls f() around a change of
// one node's lists.
//
// DirectAccess is for one thread working on the index: the lists are read
// in place.
struct DirectAccess {
  const HnswLinks& links;

  template <class F>
  decltype(auto) read(std::uint64_t node, std::uint64_t layer, F&& f) const {
    return f(links.list(node, layer));
  }
  template <class F>
  void change(std::uint64_t /*node*/, F&& f) const {
    f();
  }
};

// A lock per group of node numbers, for insertions running side by side:
// whoever reads or changes a node's lists holds its lock meanwhile. No code
// holds two of these locks at once, so nodes may share a lock.
class NodeLocks {
 public:
  NodeLocks() : locks_(kCount) {}
  std::mutex& of(std::uint64_t node) { return locks_[node & (kCount - 1)]; }

 private:
  static constexpr std::size_t kCount = 4096;
  std::vector<std::mutex> locks_;
};

// LockedAccess reads and changes each list under its node's lock.
struct LockedAccess {
  const HnswLinks& links;
  NodeLocks& locks;

  template <class F>
  decltype(auto) read(std::uint64_t node, std::uint64_t layer, F&& f) const {
    const std::lock_guard<std::mutex> guard(locks.of(node));
    return f(links.list(node, layer));
  }
  template <class F>
  void change(std::uint64_t node, F&& f) const {
    const std::lock_guard<std::mutex> guard(locks.of(node));
    f();
  }
};

// Puts the unvisited neighbours of `node` on `layer` into scratch.batch,
// marking them visited and prefetching their vectors.
template <class Access>
void gather_unvisited(const Access& access, SearchScratch& scratch, std::uint64_t node, std::uint64_t layer,
                      VectorLookup vector_of) {
  access.read(node, layer, [&](std::span<const HnswLinks::Number> neighbors) {
    scratch.batch.start(neighbors.size());
    for (const std::uint64_t neighbor : neighbors) {
      if (!scratch.visit(neighbor)) continue;
      const std::span<const float> vector = vector_of(neighbor);
      prefetch_vector(vector, kPrefetchStart);
      scratch.batch.add(neighbor, vector);
    }
  });
}

// The layer search on the given scratch; leaves the result heap in
// scratch.results.
//
// The unvisited neighbours of an expanded node are marked visited and their
// keys computed together before any of them is considered. A key depends
// only on the query and the node's vector, and the marks only decide which
// keys are computed, so each neighbour is then admitted or passed over, in
// list order, exactly as if its key had been computed on reaching it.
//
// Once the result list is full it stays full, and its farthest key never
// grows while a batch is admitted. A neighbour whose key is not below the
// farthest key at the start of its batch is then passed over whatever
// happens before its turn, so its key need not be finished; should the
// farthest key have grown after all (NaN keys make the heap order
// inconsistent), the key is computed in full before it is considered.
template <class Access>
void run_search_layer(const Access& access, SearchScratch& scratch, std::span<const float> query,
                      std::uint64_t entry, std::uint64_t layer, std::uint64_t ef, VectorLookup vector_of,
                      const KeyOf& key) {
  const HnswLinks& links = access.links;
  scratch.start(links.slots());
  scratch.visit(entry);
  const float entry_key = key(query, vector_of(entry));
  scratch.candidates.push({-entry_key, entry});
  scratch.results.push({entry_key, entry});

  KeyBatch& batch = scratch.batch;
  while (!scratch.candidates.empty()) {
    const Candidate closest = scratch.candidates.pop();
    // The stored key is negated; negation is exact, so this is the key.
    const float closest_key = -closest.key;
    // Strict, so a NaN key never stops the search.
    if (closest_key > scratch.results.top().key) break;
    gather_unvisited(access, scratch, closest.node, layer, vector_of);
    // The node most likely expanded next: its list is read right after this
    // batch, so it is fetched while the batch is computed.
    if (layer == 0 && !scratch.candidates.empty()) links.prefetch_layer0(scratch.candidates.top().node);
    const float limit = scratch.results.top().key;
    const bool bounded = scratch.results.size() >= ef && limit == limit;
    if (bounded) {
      batch.compute_below(key, query, limit);
    } else {
      batch.compute(key, query);
    }
    for (std::size_t i = 0; i < batch.size; ++i) {
      const float farthest = scratch.results.top().key;
      float neighbor_key = batch.keys[i];
      if (bounded && !(neighbor_key < limit)) {
        if (farthest <= limit) continue;
        neighbor_key = key(query, batch.vectors[i]);
      }
      if (farthest > neighbor_key || scratch.results.size() < ef) {
        scratch.candidates.push({-neighbor_key, batch.nodes[i]});
        scratch.results.push({neighbor_key, batch.nodes[i]});
        if (scratch.results.size() > ef) scratch.results.pop();
      }
    }
  }
}

// The layer search that returns only nodes that `accept` accepts, on the
// given scratch; leaves the accepted results (possibly none) in
// scratch.results.
//
// Every node is expanded as in run_search_layer, accepted or not, so the
// nodes that are not accepted serve as waypoints. A neighbour enters the
// candidates while the result list holds fewer than ef accepted nodes or it
// is closer than the farthest of them, and the search stops only when the
// list is full and the closest candidate is farther than its farthest: with
// few accepted nodes nearby it widens until ef are found or nothing is left
// to expand. ef counts as at least 1. `accept` is asked once per node that
// enters the candidates.
template <class Access, class Accept>
void run_accepting_search_layer(const Access& access, SearchScratch& scratch, std::span<const float> query,
                                std::uint64_t entry, std::uint64_t layer, std::uint64_t ef,
                                VectorLookup vector_of, const KeyOf& key, const Accept& accept) {
  const HnswLinks& links = access.links;
  ef = std::max<std::uint64_t>(ef, 1);
  scratch.start(links.slots());
  scratch.visit(entry);
  const float entry_key = key(query, vector_of(entry));
  scratch.candidates.push({-entry_key, entry});
  if (accept(entry)) scratch.results.push({entry_key, entry});

  KeyBatch& batch = scratch.batch;
  while (!scratch.candidates.empty()) {
    const Candidate closest = scratch.candidates.pop();
    const float closest_key = -closest.key;
    // Strict, so a NaN key never stops the search.
    if (scratch.results.size() >= ef && closest_key > scratch.results.top().key) break;
    gather_unvisited(access, scratch, closest.node, layer, vector_of);
    if (layer == 0 && !scratch.candidates.empty()) links.prefetch_layer0(scratch.candidates.top().node);
    // As in run_search_layer: a full list stays full and its farthest key
    // does not grow while the batch is admitted.
    const bool bounded = scratch.results.size() >= ef && scratch.results.top().key == scratch.results.top().key;
    const float limit = bounded ? scratch.results.top().key : 0.0f;
    if (bounded) {
      batch.compute_below(key, query, limit);
    } else {
      batch.compute(key, query);
    }
    for (std::size_t i = 0; i < batch.size; ++i) {
      float neighbor_key = batch.keys[i];
      const bool full = scratch.results.size() >= ef;
      if (bounded && !(neighbor_key < limit)) {
        if (scratch.results.top().key <= limit) continue;
        neighbor_key = key(query, batch.vectors[i]);
      }
      if (!full || scratch.results.top().key > neighbor_key) {
        scratch.candidates.push({-neighbor_key, batch.nodes[i]});
        if (accept(batch.nodes[i])) {
          scratch.results.push({neighbor_key, batch.nodes[i]});
          if (scratch.results.size() > ef) scratch.results.pop();
        }
      }
    }
  }
}

// The greedy descent from `entry` through the layers from_layer down to
// to_layer (from_layer >= to_layer): on each layer, moves to the closest
// neighbour while it is strictly closer, and returns the node reached.
template <class Access>
std::uint64_t greedy_descent(const Access& access, KeyBatch& batch, std::span<const float> query,
                             std::uint64_t entry, std::uint64_t from_layer, std::uint64_t to_layer,
                             VectorLookup vector_of, const KeyOf& key) {
  std::uint64_t current = entry;
  // Recomputing the key of the same node on each layer would give the same
  // bits, so it is computed once.
  float best = key(query, vector_of(current));
  for (std::uint64_t layer = from_layer; layer >= to_layer; --layer) {
    while (true) {
      std::uint64_t closer = current;
      access.read(current, layer, [&](std::span<const HnswLinks::Number> neighbors) {
        batch.start(neighbors.size());
        for (const std::uint64_t neighbor : neighbors) {
          const std::span<const float> vector = vector_of(neighbor);
          prefetch_vector(vector, kPrefetchStart);
          batch.add(neighbor, vector);
        }
      });
      // `best` never grows, so a key not below its value now cannot move
      // the descent and need not be finished.
      const float limit = best;
      batch.compute_below(key, query, limit);
      for (std::size_t i = 0; i < batch.size; ++i) {
        if (!(batch.keys[i] < limit)) continue;
        // Strict: a tie or a NaN key never moves the descent.
        if (best > batch.keys[i]) {
          best = batch.keys[i];
          closer = batch.nodes[i];
        }
      }
      if (closer == current) break;
      current = closer;
    }
    if (layer == to_layer) break;
  }
  return current;
}

// The diverse selection (select_diverse) with the keys of one metric.
std::vector<Candidate> choose_diverse(std::vector<Candidate> found, std::uint64_t m, bool keep_pruned,
                                      VectorLookup vector_of, const KeyOf& key) {
  std::sort(found.begin(), found.end(), closer_first);
  std::vector<Candidate> kept;
  std::vector<Candidate> passed_over;
  for (const Candidate& candidate : found) {
    if (kept.size() >= m) break;
    const std::span<const float> vector = vector_of(candidate.node);
    // Kept only when closer to the owner than to every neighbour kept so
    // far; strict, so a tie or a NaN key passes the candidate over.
    const bool diverse = std::ranges::all_of(
        kept, [&](const Candidate& near) { return candidate.key < key(vector, vector_of(near.node)); });
    (diverse ? kept : passed_over).push_back(candidate);
  }
  if (keep_pruned) {
    for (const Candidate& candidate : passed_over) {
      if (kept.size() >= m) break;
      kept.push_back(candidate);
    }
  }
  return kept;
}

// What the list `neighbors` of an owner whose vector is `owner_vector` is
// cut to at `bound` neighbours (none for a bound of 0) under the
// configuration's selection: the closest, closest first (the larger number
// first among equally close ones), or the diverse selection among them.
template <typename Number>
std::vector<std::uint64_t> trimmed(std::span<const Number> neighbors, std::span<const float> owner_vector,
                                   KeyBatch& batch, const HnswConfig& config, std::uint64_t bound,
                                   VectorLookup vector_of, const KeyOf& key) {
  batch.start(neighbors.size());
  for (const std::uint64_t neighbor : neighbors) batch.add(neighbor, vector_of(neighbor));
  batch.compute(key, owner_vector);
  std::vector<std::uint64_t> kept;
  if (config.selection == NeighborSelection::Diverse) {
    std::vector<Candidate> found(batch.size);
    for (std::size_t i = 0; i < batch.size; ++i) found[i] = {batch.keys[i], batch.nodes[i]};
    for (const Candidate& chosen : choose_diverse(std::move(found), bound, config.keep_pruned, vector_of, key)) {
      kept.push_back(chosen.node);
    }
  } else {
    CandidateHeap heap;
    for (std::size_t i = 0; i < batch.size; ++i) heap.push({-batch.keys[i], batch.nodes[i]});
    while (kept.size() < bound && !heap.empty()) kept.push_back(heap.pop().node);
  }
  return kept;
}

// Cuts the list of `owner` on `layer` to `bound` neighbours (trimmed()).
void trim(HnswLinks& links, KeyBatch& batch, const HnswConfig& config, std::uint64_t owner, std::uint64_t layer,
          std::uint64_t bound, VectorLookup vector_of, const KeyOf& key) {
  links.assign(owner, layer,
               trimmed(links.list(owner, layer), vector_of(owner), batch, config, bound, vector_of, key));
}

// A list holds at most max(m, bound) numbers between insertions, `bound`
// being the layer's m_max0 or m_max, and one more for a moment before it is
// trimmed.
std::uint64_t longest_list(std::uint64_t m, std::uint64_t bound) {
  const std::uint64_t longest = std::max(m, bound);
  return longest < kLargest ? longest + 1 : longest;
}

// One word from the calling thread's generator.
std::uint32_t draw_word() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return static_cast<std::uint32_t>(generator());
}

std::vector<Candidate> results_of(const SearchScratch& scratch) {
  return {scratch.results.items().begin(), scratch.results.items().end()};
}

// The nodes an insertion may link to: every node but the retired ones of
// `index` (when given) and `retiring`, a node about to be retired. Without
// an index every node is live.
struct Linkable {
  static constexpr std::uint64_t kNoNode = kLargest;

  const HnswIndex* index = nullptr;
  std::uint64_t retiring = kNoNode;

  bool filters() const { return index != nullptr; }
  bool operator()(std::uint64_t other) const { return other != retiring && !index->is_retired(other); }
};

// The layer search of an insertion on `layer` from `entry` and the
// selection of the new node's neighbours among what it finds; moves `entry`
// to the closest node found, the next layer's entry. With `linkable`
// filtering, the search returns only linkable nodes; a layer where it finds
// none selects none. Reads the graph only.
template <class Access>
std::vector<Candidate> select_on_layer(const Access& access, const HnswConfig& config, SearchScratch& scratch,
                                       std::span<const float> vector, std::uint64_t& entry, std::uint64_t layer,
                                       VectorLookup vector_of, const KeyOf& key, const Linkable& linkable) {
  if (linkable.filters()) {
    run_accepting_search_layer(access, scratch, vector, entry, layer, config.ef_construction, vector_of, key,
                               linkable);
  } else {
    run_search_layer(access, scratch, vector, entry, layer, config.ef_construction, vector_of, key);
  }
  std::vector<Candidate> selected;
  if (config.selection == NeighborSelection::Diverse) {
    std::vector<Candidate> found = results_of(scratch);
    if (!found.empty()) {
      entry = std::ranges::min(found, closer_first).node;
      selected = choose_diverse(std::move(found), config.m, config.keep_pruned, vector_of, key);
    }
  } else {
    // At least one, for the next layer's entry even when m = 0.
    selected = select_neighbors(results_of(scratch), std::max<std::uint64_t>(config.m, 1));
    if (!selected.empty()) entry = selected.front().node;
    selected.resize(static_cast<std::size_t>(std::min<std::uint64_t>(config.m, selected.size())));
  }
  return selected;
}

// The node number of a selected neighbour.
std::uint64_t number_of(const Candidate& candidate) { return candidate.node; }

// Links the new node `node` with its `selected` neighbours on `layer` in
// both directions and trims every list grown past its bound. Changes only
// lists of `layer`.
template <class Access, class Selected>
void link_on_layer(HnswLinks& links, const Access& access, const HnswConfig& config, SearchScratch& scratch,
                   std::uint64_t node, std::uint64_t layer, const Selected& selected, VectorLookup vector_of,
                   const KeyOf& key) {
  const std::uint64_t bound = layer == 0 ? config.m_max0 : config.m_max;
  access.change(node, [&] {
    // Insertions running side by side may have linked to this node
    // already: then a neighbour found twice is kept once, and the list
    // is trimmed as soon as it passes its bound, so that it never
    // outgrows its storage. Inserted alone, the list is empty here.
    const bool linked_already = !links.list(node, layer).empty();
    for (const auto& chosen : selected) {
      const std::uint64_t neighbor = number_of(chosen);
      if (linked_already && std::ranges::find(links.list(node, layer), neighbor) != links.list(node, layer).end()) {
        continue;
      }
      links.append(node, layer, neighbor);
      if (linked_already && links.list(node, layer).size() > bound) {
        trim(links, scratch.batch, config, node, layer, bound, vector_of, key);
      }
    }
  });
  for (const auto& chosen : selected) {
    const std::uint64_t neighbor = number_of(chosen);
    access.change(neighbor, [&] {
      links.append(neighbor, layer, node);
      if (links.list(neighbor, layer).size() > bound) {
        trim(links, scratch.batch, config, neighbor, layer, bound, vector_of, key);
      }
    });
  }
}

// Links the new node `node` of level `level`, already added to the lists,
// into the graph whose entry point is `entry` at level `top`: the greedy
// descent to the node's level, then on each layer from min(top, level) down
// a layer search, the selection of its neighbours, the links both ways and
// the trimming of lists grown past their bound. With `retired` marks, the
// layer searches return only nodes that are not retired, so that no link
// is made to one; a layer where they find none gets no links.
template <class Access>
void link_node(HnswLinks& links, const Access& access, const HnswConfig& config, SearchScratch& scratch,
               std::uint64_t node, std::uint64_t level, std::uint64_t entry, std::uint64_t top,
               std::span<const float> vector, VectorLookup vector_of, const KeyOf& key,
               const HnswIndex* retired) {
  if (top > level) entry = greedy_descent(access, scratch.batch, vector, entry, top, level + 1, vector_of, key);
  const Linkable linkable{retired};
  for (std::uint64_t layer = std::min(top, level);; --layer) {
    const std::vector<Candidate> selected =
        select_on_layer(access, config, scratch, vector, entry, layer, vector_of, key, linkable);
    link_on_layer(links, access, config, scratch, node, layer, selected, vector_of, key);
    // Only the single closest node found enters the next layer down.
    if (layer == 0) break;
  }
}

}  // namespace

HnswConfig default_hnsw_config(std::uint64_t m) {
  return HnswConfig{.m = m,
                    .m_max = m,
                    .m_max0 = 2 * m,
                    .ef_construction = 200,
                    .ef_search = 64,
                    .ml = m > 1 ? 1.0f / std::log(static_cast<float>(m)) : 1.0f};
}

std::uint64_t HnswIndex::level_from_word(std::uint32_t word, float ml) {
  // The top 23 bits as the fraction of a float in [1, 2), minus 1: x lies
  // in [0, 1) on a grid of 2^23 steps. x = 0 moves one step up.
  const std::uint32_t fraction = std::max<std::uint32_t>(word >> 9, 1);
  const float x = std::bit_cast<float>(0x3F800000u | fraction) - 1.0f;
  const float level = std::floor(-std::log(x) * ml);
  if (!(level >= 0.0f)) return 0;
  if (level >= 18446744073709551616.0f) return kLargest;
  return static_cast<std::uint64_t>(level);
}

std::uint64_t HnswIndex::random_level() const { return level_from_word(next_word(), config_.ml); }

std::uint32_t HnswIndex::next_word() const {
  if (generator_) {
    ++level_draws_;
    return static_cast<std::uint32_t>((*generator_)());
  }
  return draw_word();
}

std::uint32_t HnswIndex::next_level_word() const { return next_word(); }

std::uint64_t HnswIndex::slots() const { return links_->slots(); }

HnswIndex::HnswIndex(HnswConfig config)
    : config_(config), links_(std::make_unique<HnswLinks>(longest_list(config.m, config.m_max0), longest_list(config.m, config.m_max))) {
  if (config_.seed) generator_.emplace(*config_.seed);
}

HnswIndex::HnswIndex(const HnswIndex& other)
    : config_(other.config_),
      entry_point_(other.entry_point_),
      top_level_(other.top_level_),
      size_(other.size_),
      links_(std::make_unique<HnswLinks>(*other.links_)),
      retired_(other.retired_),
      retired_count_(other.retired_count_),
      generator_(other.generator_),
      level_draws_(other.level_draws_) {}

HnswIndex& HnswIndex::operator=(const HnswIndex& other) {
  if (this != &other) *this = HnswIndex(other);
  return *this;
}

HnswIndex::HnswIndex(HnswIndex&&) noexcept = default;
HnswIndex& HnswIndex::operator=(HnswIndex&&) noexcept = default;
HnswIndex::~HnswIndex() = default;

std::uint64_t HnswNodeView::level() const { return links_->level(node_); }

std::span<const std::uint32_t> HnswNodeView::neighbors(std::uint64_t layer) const {
  return links_->list(node_, layer);
}

HnswNode HnswNodeView::to_node() const {
  HnswNode copy;
  for (std::uint64_t layer = 0; layer <= level(); ++layer) {
    const std::span<const std::uint32_t> list = neighbors(layer);
    copy.neighbors.emplace_back(list.begin(), list.end());
  }
  return copy;
}

bool operator==(const HnswNodeView& a, const HnswNodeView& b) {
  if (a.level() != b.level()) return false;
  for (std::uint64_t layer = 0; layer <= a.level(); ++layer) {
    if (!std::ranges::equal(a.neighbors(layer), b.neighbors(layer))) return false;
  }
  return true;
}

std::optional<HnswNodeView> HnswIndex::node(std::uint64_t node) const {
  if (!links_->contains(node)) return std::nullopt;
  return HnswNodeView(*links_, node);
}

void HnswIndex::insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of, Metric metric) {
  // Refused before the draw, which would advance a seeded generator.
  if (node >= kHnswMostSlots) throw std::length_error(index::messages::kNodeNumberTooLarge);
  HnswInternals::insert_with_word(*this, next_word(), node, vector, vector_of, metric);
}

void HnswIndex::insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of, Metric metric,
                       std::uint32_t level_word) {
  HnswInternals::insert_with_word(*this, level_word, node, vector, vector_of, metric);
}

void HnswInternals::insert_with_word(HnswIndex& index, std::uint32_t word, std::uint64_t node,
                                     std::span<const float> vector, VectorLookup vector_of, Metric metric) {
  HnswLinks& links = *index.links_;
  const HnswConfig& config = index.config_;
  // A second insertion of a number would give the node fresh lists while
  // others still link to it, and could link it to itself.
  if (links.contains(node)) return;
  const std::uint64_t level = HnswIndex::level_from_word(word, config.ml);
  links.add(node, level);
  ++index.size_;

  if (!index.entry_point_) {
    index.entry_point_ = node;
    index.top_level_ = level;
    return;
  }

  const KeyOf key(metric);
  ScratchLease lease;
  const std::uint64_t old_top = index.top_level_;
  link_node(links, DirectAccess{links}, config, *lease, node, level, *index.entry_point_, old_top, vector, vector_of,
            key, index.retired_count_ != 0 ? &index : nullptr);
  if (level > old_top) {
    index.entry_point_ = node;
    index.top_level_ = level;
  }
}

std::optional<std::uint32_t> HnswIndex::peek_level_word() const {
  if (!generator_) return std::nullopt;
  std::mt19937 ahead = *generator_;
  return static_cast<std::uint32_t>(ahead());
}

HnswInsertPlan HnswIndex::plan_insert(std::uint64_t node, std::span<const float> vector, VectorLookup vector_of,
                                      Metric metric, std::uint32_t level_word,
                                      std::optional<std::uint64_t> retiring) const {
  HnswInsertPlan plan;
  plan.node_ = node;
  plan.level_word_ = level_word;
  plan.entry_point_ = entry_point_;
  plan.top_level_ = top_level_;
  plan.size_ = size_;
  plan.retired_count_ = retired_count_;
  if (retiring && links_->contains(*retiring) && !is_retired(*retiring)) {
    plan.retiring_ = *retiring;
    ++plan.retired_count_;
  }
  if (!entry_point_) return plan;
  const std::uint64_t level = level_from_word(level_word, config_.ml);
  const KeyOf key(metric);
  ScratchLease lease;
  const DirectAccess access{*links_};
  std::uint64_t entry = *entry_point_;
  if (top_level_ > level) {
    entry = greedy_descent(access, (*lease).batch, vector, entry, top_level_, level + 1, vector_of, key);
  }
  const Linkable linkable =
      plan.retired_count_ != 0 ? Linkable{this, plan.retiring_} : Linkable{};
  // The lists of the chosen neighbours that the new link will push past
  // their bound are cut here too: the cut reads only the list as it
  // stands, with the new node at its end, and the vectors.
  const auto with_new = [&](std::uint64_t n) { return n == node ? vector : vector_of(n); };
  std::vector<std::uint64_t> grown;
  for (std::uint64_t layer = std::min(top_level_, level);; --layer) {
    const std::vector<Candidate> selected =
        select_on_layer(access, config_, *lease, vector, entry, layer, vector_of, key, linkable);
    HnswInsertPlan::Layer& planned = plan.layers_.emplace_back();
    const std::uint64_t bound = layer == 0 ? config_.m_max0 : config_.m_max;
    for (const Candidate& chosen : selected) {
      planned.neighbors.push_back(chosen.node);
      const std::span<const HnswLinks::Number> list = links_->list(chosen.node, layer);
      if (list.size() + 1 <= bound) {
        planned.cut_lists.emplace_back();
        continue;
      }
      grown.assign(list.begin(), list.end());
      grown.push_back(node);
      planned.cut_lists.push_back(
          trimmed(std::span<const std::uint64_t>(grown), vector_of(chosen.node), (*lease).batch, config_, bound, with_new, key));
    }
    if (layer == 0) break;
  }
  return plan;
}

void HnswIndex::insert_planned(std::uint64_t node, std::span<const float> vector, const HnswInsertPlan& plan,
                               VectorLookup vector_of, Metric metric) {
  const bool retired_as_planned = plan.retiring_ == HnswInsertPlan::kNoNode || is_retired(plan.retiring_);
  if (plan.node_ != node || plan.entry_point_ != entry_point_ || plan.top_level_ != top_level_ ||
      plan.size_ != size_ || plan.retired_count_ != retired_count_ || !retired_as_planned) {
    HnswInternals::insert_with_word(*this, plan.level_word_, node, vector, vector_of, metric);
    return;
  }
  HnswLinks& links = *links_;
  if (links.contains(node)) return;
  const std::uint64_t level = level_from_word(plan.level_word_, config_.ml);
  links.add(node, level);
  ++size_;
  if (!entry_point_) {
    entry_point_ = node;
    top_level_ = level;
    return;
  }
  // As link_on_layer() links a node inserted alone, with the cuts made.
  std::uint64_t layer = std::min(top_level_, level);
  for (const HnswInsertPlan::Layer& planned : plan.layers_) {
    for (const std::uint64_t neighbor : planned.neighbors) links.append(node, layer, neighbor);
    for (std::size_t i = 0; i < planned.neighbors.size(); ++i) {
      if (planned.cut_lists[i]) {
        links.assign(planned.neighbors[i], layer, *planned.cut_lists[i]);
      } else {
        links.append(planned.neighbors[i], layer, node);
      }
    }
    --layer;
  }
  if (level > top_level_) {
    entry_point_ = node;
    top_level_ = level;
  }
}

void HnswIndex::insert_range(std::uint64_t first, std::uint64_t count, VectorLookup vector_of, Metric metric,
                             const ParallelParts& run, std::size_t threads, const InsertedReport& inserted) {
  // Refused before anything changes, rather than part way through the range.
  if (count != 0 && (first > kHnswMostSlots || count > kHnswMostSlots - first)) {
    throw std::length_error(index::messages::kNodeNumberTooLarge);
  }
  if (threads <= 1 || count < 2) {
    for (std::uint64_t node = first; node - first < count; ++node) {
      insert(node, vector_of(node), vector_of, metric);
      if (inserted) inserted(node - first + 1);
    }
    return;
  }
  // Levels are drawn in node order, as the insertions one by one would
  // draw them; every node is added before any is linked, so that the lists
  // never move while threads read them.
  std::vector<std::uint64_t> levels(static_cast<std::size_t>(count));
  std::vector<std::uint8_t> adding(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) levels[i] = level_from_word(next_word(), config_.ml);
  for (std::uint64_t i = 0; i < count; ++i) {
    if (links_->contains(first + i)) continue;
    links_->add(first + i, levels[i]);
    adding[i] = 1;
    ++size_;
  }
  std::uint64_t start = 0;
  while (start < count && !entry_point_) {
    if (adding[start]) {
      entry_point_ = first + start;
      top_level_ = levels[start];
    }
    ++start;
  }

  const KeyOf key(metric);
  NodeLocks locks;
  const LockedAccess access{*links_, locks};
  std::mutex entry_lock;  // guards entry_point_ and top_level_
  std::mutex report_lock;  // one report at a time, with rising counts
  std::uint64_t done = start;  // those before start need no linking
  if (inserted && start > 0) inserted(done);
  std::atomic<std::uint64_t> next{start};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  const HnswIndex* retired = retired_count_ != 0 ? this : nullptr;
  run(threads, [&](std::size_t) {
    try {
      ScratchLease lease;
      while (!failed.load(std::memory_order_relaxed)) {
        const std::uint64_t i = next.fetch_add(1);
        if (i >= count) break;
        if (adding[i]) {
          const std::uint64_t node = first + i;
          // A node that will become the entry point keeps the others from
          // starting until it is linked, so that every descent starts from a
          // node whose lists are complete on every layer it has.
          std::unique_lock<std::mutex> guard(entry_lock);
          const std::uint64_t entry = *entry_point_;
          const std::uint64_t top = top_level_;
          if (levels[i] <= top) guard.unlock();
          link_node(*links_, access, config_, *lease, node, levels[i], entry, top, vector_of(node), vector_of, key,
                    retired);
          if (levels[i] > top) {
            entry_point_ = node;
            top_level_ = levels[i];
          }
        }
        if (inserted) {
          const std::lock_guard<std::mutex> report(report_lock);
          inserted(++done);
        }
      }
    } catch (...) {
      const std::lock_guard<std::mutex> guard(entry_lock);
      if (!failed.exchange(true)) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

void HnswIndex::retire(std::uint64_t node) {
  if (!links_->contains(node) || is_retired(node)) return;
  if (retired_.size() <= node) retired_.resize(static_cast<std::size_t>(links_->slots()), 0);
  retired_[node] = 1;
  ++retired_count_;
}

HnswIndex HnswIndex::compacted(std::span<const std::uint64_t> numbers, VectorLookup vector_of, Metric metric,
                               const ParallelParts& run, std::size_t threads) const {
  const HnswLinks& links = *links_;
  const std::uint64_t slots = links.slots();
  const auto live = [&](std::uint64_t node) { return links.contains(node) && !is_retired(node); };
  // The mended lists of the nodes that linked to retired ones, by node and
  // layer; other lists are copied as they are.
  std::vector<std::vector<std::vector<std::uint64_t>>> mended(static_cast<std::size_t>(slots));
  const KeyOf key(metric);
  const auto mend = [&](std::uint64_t node) {
    for (std::uint64_t layer = 0; layer <= links.level(node); ++layer) {
      const std::span<const HnswLinks::Number> list = links.list(node, layer);
      if (std::ranges::all_of(list, live)) continue;
      std::vector<std::uint64_t> competing;
      const auto add = [&](std::uint64_t other) {
        if (other != node && live(other) && std::ranges::find(competing, other) == competing.end()) {
          competing.push_back(other);
        }
      };
      for (const std::uint64_t other : list) add(other);
      for (const std::uint64_t other : list) {
        if (!live(other)) {
          for (const std::uint64_t beyond : links.list(other, layer)) add(beyond);
        }
      }
      const std::span<const float> vector = vector_of(node);
      std::vector<Candidate> found;
      for (const std::uint64_t other : competing) found.push_back({key(vector, vector_of(other)), other});
      const std::uint64_t bound = layer == 0 ? config_.m_max0 : config_.m_max;
      std::vector<Candidate> kept = config_.selection == NeighborSelection::Diverse
                                        ? choose_diverse(std::move(found), bound, config_.keep_pruned, vector_of, key)
                                        : select_neighbors(std::move(found), bound);
      auto& lists = mended[node];
      lists.resize(static_cast<std::size_t>(links.level(node)) + 1);
      for (const Candidate& chosen : kept) lists[layer].push_back(chosen.node);
    }
  };
  constexpr std::uint64_t kChunk = 256;
  std::atomic<std::uint64_t> next_chunk{0};
  std::atomic<bool> failed{false};
  std::mutex failure_lock;
  std::exception_ptr failure;
  run(std::max<std::size_t>(threads, 1), [&](std::size_t) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const std::uint64_t begin = next_chunk.fetch_add(1) * kChunk;
        if (begin >= slots) break;
        for (std::uint64_t node = begin; node < std::min(slots, begin + kChunk); ++node) {
          if (live(node)) mend(node);
        }
      }
    } catch (...) {
      const std::lock_guard<std::mutex> guard(failure_lock);
      if (!failed.exchange(true)) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);

  HnswIndex result(config_);
  result.generator_ = generator_;
  result.level_draws_ = level_draws_;
  HnswLinks& out = *result.links_;
  std::optional<std::uint64_t> highest;  // the new entry point when the old one is retired
  for (std::uint64_t node = 0; node < slots; ++node) {
    if (!live(node)) continue;
    out.add(numbers[node], links.level(node));
    ++result.size_;
    if (!highest || links.level(node) > out.level(*highest) ||
        (links.level(node) == out.level(*highest) && numbers[node] < *highest)) {
      highest = numbers[node];
    }
  }
  for (std::uint64_t node = 0; node < slots; ++node) {
    if (!live(node)) continue;
    for (std::uint64_t layer = 0; layer <= links.level(node); ++layer) {
      const bool was_mended = !mended[node].empty() && !std::ranges::all_of(links.list(node, layer), live);
      if (was_mended) {
        for (const std::uint64_t other : mended[node][layer]) out.append(numbers[node], layer, numbers[other]);
      } else {
        for (const std::uint64_t other : links.list(node, layer)) out.append(numbers[node], layer, numbers[other]);
      }
    }
  }
  if (entry_point_ && live(*entry_point_)) {
    result.entry_point_ = numbers[*entry_point_];
    result.top_level_ = top_level_;
  } else if (highest) {
    result.entry_point_ = *highest;
    result.top_level_ = out.level(*highest);
  }
  return result;
}

std::vector<Candidate> HnswInternals::search_layer(const HnswIndex& index, std::span<const float> query,
                                                   std::uint64_t entry, std::uint64_t layer, std::uint64_t ef,
                                                   VectorLookup vector_of, Metric metric) {
  const HnswLinks& links = *index.links_;
  if (!links.contains(entry)) return {};
  ScratchLease lease;
  run_search_layer(DirectAccess{links}, *lease, query, entry, layer, ef, vector_of, KeyOf(metric));
  return (*lease).results.take();
}

std::vector<Candidate> select_neighbors(std::vector<Candidate> found, std::uint64_t m) {
  // closer_first is a strict total order on distinct nodes, so sorting only
  // the first m gives the same prefix as sorting everything.
  const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(m, found.size()));
  std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kept), found.end(), closer_first);
  found.resize(kept);
  return found;
}

std::vector<Candidate> select_diverse(std::vector<Candidate> found, std::uint64_t m, bool keep_pruned,
                                      VectorLookup vector_of, Metric metric) {
  return choose_diverse(std::move(found), m, keep_pruned, vector_of, KeyOf(metric));
}

std::vector<HnswMatch> HnswIndex::search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                         VectorLookup vector_of, Metric metric, NodeFilter accept) const {
  return search_accepted(query, k, ef, vector_of, metric, &accept);
}

std::vector<HnswMatch> HnswIndex::search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                         VectorLookup vector_of, Metric metric) const {
  if (retired_count_ != 0) return search_accepted(query, k, ef, vector_of, metric, nullptr);
  // With k = 0 the layer search could change nothing that is returned.
  if (!entry_point_ || k == 0) return {};
  const KeyOf key(metric);
  ScratchLease lease;
  SearchScratch& scratch = *lease;
  const DirectAccess access{*links_};
  std::uint64_t entry = *entry_point_;
  if (top_level_ >= 1) entry = greedy_descent(access, scratch.batch, query, entry, top_level_, 1, vector_of, key);
  run_search_layer(access, scratch, query, entry, 0, std::max(ef, k), vector_of, key);
  const std::vector<Candidate> found = select_neighbors(results_of(scratch), k);
  std::vector<HnswMatch> matches;
  matches.reserve(found.size());
  for (const Candidate& candidate : found) matches.push_back({candidate.node, value_of_key(metric, candidate.key)});
  return matches;
}

std::vector<HnswMatch> HnswIndex::search_accepted(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                                  VectorLookup vector_of, Metric metric,
                                                  const NodeFilter* accept) const {
  if (!entry_point_ || k == 0) return {};
  const KeyOf key(metric);
  ScratchLease lease;
  SearchScratch& scratch = *lease;
  const DirectAccess access{*links_};
  std::uint64_t entry = *entry_point_;
  if (top_level_ >= 1) entry = greedy_descent(access, scratch.batch, query, entry, top_level_, 1, vector_of, key);
  const auto returnable = [&](std::uint64_t node) { return !is_retired(node) && (accept == nullptr || (*accept)(node)); };
  run_accepting_search_layer(access, scratch, query, entry, 0, std::max(ef, k), vector_of, key, returnable);
  const std::vector<Candidate> found = select_neighbors(results_of(scratch), k);
  std::vector<HnswMatch> matches;
  matches.reserve(found.size());
  for (const Candidate& candidate : found) matches.push_back({candidate.node, value_of_key(metric, candidate.key)});
  return matches;
}

}  // namespace quorvel
