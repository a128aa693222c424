#pragma once

// A plain rendering of the HNSW algorithm, kept beside the tests to hold the
// fast index to the same graph: nodes in a hash map, a fresh hash set of
// visited nodes per layer search, std::priority_queue heaps, and every step
// in the written order, with the closest or the diverse selection of
// neighbours. It follows the same fixed tie rules as the index; it is slow
// and meant only for small test graphs.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <queue>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel::reference {

using Lookup = std::function<std::span<const float>(std::uint64_t)>;

struct Entry {
  float key;
  std::uint64_t node;
};

// Key first; when neither key is smaller, the larger node is the greater.
struct EntryLess {
  bool operator()(const Entry& a, const Entry& b) const {
    if (a.key < b.key) return true;
    if (a.key > b.key) return false;
    return a.node < b.node;
  }
};

using MaxHeap = std::priority_queue<Entry, std::vector<Entry>, EntryLess>;

// The order of sorted results: ascending key, NaN last, then ascending node.
inline bool sorted_before(const Entry& a, const Entry& b) {
  if (std::isnan(a.key) || std::isnan(b.key)) {
    if (std::isnan(a.key) != std::isnan(b.key)) return std::isnan(b.key);
    return a.node < b.node;
  }
  if (a.key != b.key) return a.key < b.key;
  return a.node < b.node;
}

inline std::uint64_t level_of_word(std::uint32_t word, float ml) {
  float x = static_cast<float>(word >> 9) * 0x1p-23f;
  if (x == 0.0f) x = 0x1p-23f;
  const float level = std::floor(-std::log(x) * ml);
  if (std::isnan(level) || level < 0.0f) return 0;
  if (level >= 0x1p64f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(level);
}

class Hnsw {
 public:
  explicit Hnsw(HnswConfig config) : config_(config) {}

  std::optional<std::uint64_t> entry_point;
  std::uint64_t top_level = 0;
  std::unordered_map<std::uint64_t, std::vector<std::vector<std::uint64_t>>> nodes;

  void insert(std::uint32_t word, std::uint64_t node, std::span<const float> vector, const Lookup& vector_of,
              Metric metric) {
    const std::uint64_t level = level_of_word(word, config_.ml);
    nodes[node] = std::vector<std::vector<std::uint64_t>>(level + 1);
    if (!entry_point) {
      entry_point = node;
      top_level = level;
      return;
    }
    std::uint64_t ep = *entry_point;
    const std::uint64_t top = top_level;
    if (top > level) {
      for (std::uint64_t layer = top; layer > level; --layer) ep = descend(vector, ep, layer, vector_of, metric);
    }
    for (std::uint64_t j = std::min(top, level) + 1; j-- > 0;) {
      std::vector<Entry> found = search_layer(vector, ep, j, config_.ef_construction, vector_of, metric);
      std::stable_sort(found.begin(), found.end(), sorted_before);
      std::vector<Entry> chosen(found.begin(), found.begin() + std::min<std::size_t>(config_.m, found.size()));
      if (config_.selection == NeighborSelection::Diverse) chosen = diverse(found, config_.m, vector_of, metric);
      for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::uint64_t s = chosen[i].node;
        nodes[node][j].push_back(s);
        nodes[s][j].push_back(node);
        const std::uint64_t bound = j == 0 ? config_.m_max0 : config_.m_max;
        if (nodes[s][j].size() > bound) trim(s, j, bound, vector_of, metric);
      }
      ep = found.front().node;
    }
    if (level > top) {
      entry_point = node;
      top_level = level;
    }
  }

  std::vector<HnswMatch> search(std::span<const float> query, std::uint64_t k, std::uint64_t ef,
                                const Lookup& vector_of, Metric metric) const {
    if (!entry_point) return {};
    std::uint64_t ep = *entry_point;
    for (std::uint64_t layer = top_level; layer >= 1; --layer) ep = descend(query, ep, layer, vector_of, metric);
    std::vector<Entry> found = search_layer(query, ep, 0, std::max(ef, k), vector_of, metric);
    std::stable_sort(found.begin(), found.end(), sorted_before);
    std::vector<HnswMatch> matches;
    for (std::size_t i = 0; i < found.size() && i < k; ++i) {
      const float value = larger_is_closer(metric) ? -found[i].key : found[i].key;
      matches.push_back({found[i].node, value});
    }
    return matches;
  }

 private:
  static float key(Metric metric, std::span<const float> a, std::span<const float> b) {
    const float value = metric_value(metric, a, b);
    return larger_is_closer(metric) ? -value : value;
  }

  const std::vector<std::uint64_t>* list(std::uint64_t node, std::uint64_t layer) const {
    const auto& lists = nodes.at(node);
    return layer < lists.size() ? &lists[layer] : nullptr;
  }

  // The greedy descent on one layer.
  std::uint64_t descend(std::span<const float> query, std::uint64_t ep, std::uint64_t layer,
                        const Lookup& vector_of, Metric metric) const {
    std::uint64_t cur = ep;
    float best = key(metric, query, vector_of(cur));
    while (true) {
      const std::vector<std::uint64_t>* neighbors = list(cur, layer);
      if (neighbors == nullptr || neighbors->empty()) return cur;
      std::optional<std::uint64_t> better;
      for (const std::uint64_t n : *neighbors) {
        const float d = key(metric, query, vector_of(n));
        if (best > d) {
          best = d;
          better = n;
        }
      }
      if (!better) return cur;
      cur = *better;
    }
  }

  std::vector<Entry> search_layer(std::span<const float> q, std::uint64_t ep, std::uint64_t layer,
                                  std::uint64_t ef, const Lookup& vector_of, Metric metric) const {
    std::unordered_set<std::uint64_t> visited{ep};
    const float d0 = key(metric, q, vector_of(ep));
    MaxHeap candidates;
    MaxHeap results;
    candidates.push({-d0, ep});
    results.push({d0, ep});
    while (!candidates.empty()) {
      const Entry c = candidates.top();
      candidates.pop();
      const float cd = -c.key;
      if (cd > results.top().key) break;
      const std::vector<std::uint64_t>* neighbors = list(c.node, layer);
      if (neighbors == nullptr) continue;
      for (const std::uint64_t n : *neighbors) {
        if (!visited.insert(n).second) continue;
        const float w = results.top().key;
        const float d = key(metric, q, vector_of(n));
        if (w > d || results.size() < ef) {
          candidates.push({-d, n});
          results.push({d, n});
          if (results.size() > ef) results.pop();
        }
      }
    }
    std::vector<Entry> found;
    while (!results.empty()) {
      found.push_back(results.top());
      results.pop();
    }
    return found;
  }

  // The diverse rule over `sorted` (closest first): keep a candidate only
  // when it is closer to the owner than to each one kept before; then,
  // with keep_pruned, fill up from the passed-over ones.
  std::vector<Entry> diverse(const std::vector<Entry>& sorted, std::uint64_t m, const Lookup& vector_of,
                             Metric metric) const {
    std::vector<Entry> kept;
    std::vector<Entry> passed;
    for (const Entry& e : sorted) {
      if (kept.size() >= m) break;
      bool good = true;
      for (const Entry& r : kept) {
        if (!(e.key < key(metric, vector_of(e.node), vector_of(r.node)))) good = false;
      }
      if (good) {
        kept.push_back(e);
      } else {
        passed.push_back(e);
      }
    }
    for (std::size_t i = 0; config_.keep_pruned && i < passed.size() && kept.size() < m; ++i) kept.push_back(passed[i]);
    return kept;
  }

  void trim(std::uint64_t s, std::uint64_t layer, std::uint64_t bound, const Lookup& vector_of, Metric metric) {
    if (config_.selection == NeighborSelection::Diverse) {
      std::vector<Entry> all;
      for (const std::uint64_t x : nodes[s][layer]) all.push_back({key(metric, vector_of(s), vector_of(x)), x});
      std::stable_sort(all.begin(), all.end(), sorted_before);
      std::vector<std::uint64_t> kept;
      for (const Entry& e : diverse(all, bound, vector_of, metric)) kept.push_back(e.node);
      nodes[s][layer] = std::move(kept);
      return;
    }
    MaxHeap heap;
    for (const std::uint64_t x : nodes[s][layer]) heap.push({-key(metric, vector_of(s), vector_of(x)), x});
    std::vector<std::uint64_t> kept;
    while (!heap.empty() && kept.size() < bound) {
      kept.push_back(heap.top().node);
      heap.pop();
    }
    nodes[s][layer] = std::move(kept);
  }

  HnswConfig config_;
};

}  // namespace quorvel::reference
