#include "quorvel/index/hnsw_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "candidate_heap.h"
#include "distance_keys.h"
#include "hnsw_internals.h"
#include "hnsw_links.h"

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
void run_search_layer(const HnswLinks& links, SearchScratch& scratch, std::span<const float> query,
                      std::uint64_t entry, std::uint64_t layer, std::uint64_t ef, VectorLookup vector_of,
                      const KeyOf& key) {
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
    const std::span<const std::uint64_t> neighbors = links.list(closest.node, layer);
    batch.start(neighbors.size());
    for (const std::uint64_t neighbor : neighbors) {
      if (!scratch.visit(neighbor)) continue;
      const std::span<const float> vector = vector_of(neighbor);
      prefetch_vector(vector, kPrefetchStart);
      batch.add(neighbor, vector);
    }
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

// The greedy descent from `entry` through the layers from_layer down to
// to_layer (from_layer >= to_layer): on each layer, moves to the closest
// neighbour while it is strictly closer, and returns the node reached.
std::uint64_t greedy_descent(const HnswLinks& links, KeyBatch& batch, std::span<const float> query,
                             std::uint64_t entry, std::uint64_t from_layer, std::uint64_t to_layer,
                             VectorLookup vector_of, const KeyOf& key) {
  std::uint64_t current = entry;
  // Recomputing the key of the same node on each layer would give the same
  // bits, so it is computed once.
  float best = key(query, vector_of(current));
  for (std::uint64_t layer = from_layer; layer >= to_layer; --layer) {
    while (true) {
      std::uint64_t closer = current;
      const std::span<const std::uint64_t> neighbors = links.list(current, layer);
      batch.start(neighbors.size());
      for (const std::uint64_t neighbor : neighbors) {
        const std::span<const float> vector = vector_of(neighbor);
        prefetch_vector(vector, kPrefetchStart);
        batch.add(neighbor, vector);
      }
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

// Cuts the list of `owner` on `layer` to its `bound` closest neighbours (none
// for a bound of 0), closest first.
void trim(HnswLinks& links, KeyBatch& batch, std::uint64_t owner, std::uint64_t layer, std::uint64_t bound,
          VectorLookup vector_of, const KeyOf& key) {
  const std::span<const std::uint64_t> neighbors = links.list(owner, layer);
  batch.start(neighbors.size());
  for (const std::uint64_t neighbor : neighbors) batch.add(neighbor, vector_of(neighbor));
  batch.compute(key, vector_of(owner));
  CandidateHeap heap;
  for (std::size_t i = 0; i < batch.size; ++i) heap.push({-batch.keys[i], batch.nodes[i]});
  std::vector<std::uint64_t> kept;
  while (kept.size() < bound && !heap.empty()) kept.push_back(heap.pop().node);
  links.assign(owner, layer, kept);
}

// A layer-0 list holds at most max(m, m_max0) numbers between insertions,
// and one more for a moment before it is trimmed.
std::uint64_t longest_layer0(const HnswConfig& config) {
  const std::uint64_t longest = std::max(config.m, config.m_max0);
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

std::uint64_t HnswIndex::random_level() const { return level_from_word(draw_word(), config_.ml); }

std::uint32_t HnswIndex::next_level_word() const { return draw_word(); }

HnswIndex::HnswIndex(HnswConfig config)
    : config_(config), links_(std::make_unique<HnswLinks>(longest_layer0(config))) {}

HnswIndex::HnswIndex(const HnswIndex& other)
    : config_(other.config_),
      entry_point_(other.entry_point_),
      top_level_(other.top_level_),
      size_(other.size_),
      links_(std::make_unique<HnswLinks>(*other.links_)) {}

HnswIndex& HnswIndex::operator=(const HnswIndex& other) {
  if (this != &other) *this = HnswIndex(other);
  return *this;
}

HnswIndex::HnswIndex(HnswIndex&&) noexcept = default;
HnswIndex& HnswIndex::operator=(HnswIndex&&) noexcept = default;
HnswIndex::~HnswIndex() = default;

std::uint64_t HnswNodeView::level() const { return links_->level(node_); }

std::span<const std::uint64_t> HnswNodeView::neighbors(std::uint64_t layer) const {
  return links_->list(node_, layer);
}

HnswNode HnswNodeView::to_node() const {
  HnswNode copy;
  for (std::uint64_t layer = 0; layer <= level(); ++layer) {
    const std::span<const std::uint64_t> list = neighbors(layer);
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
  HnswInternals::insert_with_word(*this, draw_word(), node, vector, vector_of, metric);
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
  SearchScratch& scratch = *lease;
  std::uint64_t entry = *index.entry_point_;
  const std::uint64_t old_top = index.top_level_;
  if (old_top > level) {
    entry = greedy_descent(links, scratch.batch, vector, entry, old_top, level + 1, vector_of, key);
  }
  for (std::uint64_t layer = std::min(old_top, level);; --layer) {
    run_search_layer(links, scratch, vector, entry, layer, config.ef_construction, vector_of, key);
    // At least one, for the next layer's entry even when m = 0.
    const std::vector<Candidate> found = select_neighbors(results_of(scratch), std::max<std::uint64_t>(config.m, 1));
    const std::uint64_t bound = layer == 0 ? config.m_max0 : config.m_max;
    const std::size_t selected = static_cast<std::size_t>(std::min<std::uint64_t>(config.m, found.size()));
    for (std::size_t i = 0; i < selected; ++i) {
      const std::uint64_t neighbor = found[i].node;
      links.append(node, layer, neighbor);
      links.append(neighbor, layer, node);
      if (links.list(neighbor, layer).size() > bound) {
        trim(links, scratch.batch, neighbor, layer, bound, vector_of, key);
      }
    }
    // Only the single closest node found enters the next layer down.
    entry = found.front().node;
    if (layer == 0) break;
  }

  if (level > old_top) {
    index.entry_point_ = node;
    index.top_level_ = level;
  }
}

std::vector<Candidate> HnswInternals::search_layer(const HnswIndex& index, std::span<const float> query,
                                                   std::uint64_t entry, std::uint64_t layer, std::uint64_t ef,
                                                   VectorLookup vector_of, Metric metric) {
  const HnswLinks& links = *index.links_;
  if (!links.contains(entry)) return {};
  ScratchLease lease;
  run_search_layer(links, *lease, query, entry, layer, ef, vector_of, KeyOf(metric));
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

std::vector<HnswMatch> HnswIndex::search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                         VectorLookup vector_of, Metric metric) const {
  // With k = 0 the layer search could change nothing that is returned.
  if (!entry_point_ || k == 0) return {};
  const KeyOf key(metric);
  ScratchLease lease;
  SearchScratch& scratch = *lease;
  std::uint64_t entry = *entry_point_;
  if (top_level_ >= 1) entry = greedy_descent(*links_, scratch.batch, query, entry, top_level_, 1, vector_of, key);
  run_search_layer(*links_, scratch, query, entry, 0, std::max(ef, k), vector_of, key);
  const std::vector<Candidate> found = select_neighbors(results_of(scratch), k);
  std::vector<HnswMatch> matches;
  matches.reserve(found.size());
  for (const Candidate& candidate : found) matches.push_back({candidate.node, value_of_key(metric, candidate.key)});
  return matches;
}

}  // namespace quorvel
