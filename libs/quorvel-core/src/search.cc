#include "search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace quorvel {
namespace {

// A scored record waiting for selection; ordered by rank, then position.
struct RankedPosition {
  std::uint32_t key;
  std::size_t position;

  friend bool operator<(const RankedPosition& x, const RankedPosition& y) {
    return x.key != y.key ? x.key < y.key : x.position < y.position;
  }
};

// The positions of the best `keep` scores, best first: the first `keep`
// entries of a stable sort by rank. One pass with a heap of the `keep` best
// so far, whose top is the worst of them; a later position with the top's
// key loses to it, as a stable sort would have it.
std::vector<RankedPosition> select_best(std::span<const float> scores, std::size_t keep, bool larger_first) {
  std::vector<RankedPosition> best;
  if (keep == 0) return best;
  best.reserve(keep);
  std::size_t i = 0;
  for (; i < scores.size() && best.size() < keep; ++i) best.push_back({rank_key(scores[i], larger_first), i});
  std::make_heap(best.begin(), best.end());
  for (; i < scores.size(); ++i) {
    const std::uint32_t key = rank_key(scores[i], larger_first);
    if (key >= best.front().key) continue;
    std::pop_heap(best.begin(), best.end());
    best.back() = {key, i};
    std::push_heap(best.begin(), best.end());
  }
  std::sort(best.begin(), best.end());
  return best;
}

}  // namespace

std::uint32_t rank_key(float score, bool larger_is_closer) {
  if (std::isnan(score)) return std::numeric_limits<std::uint32_t>::max();
  if (larger_is_closer) score = -score;
  if (score == 0.0f) score = 0.0f;  // -0.0 and 0.0 are equal scores.
  // Flip the sign bit of non-negative floats and every bit of negative ones:
  // the unsigned order of the result is the numeric order of the floats. No
  // number reaches the maximum, which NaN takes.
  const auto bits = std::bit_cast<std::uint32_t>(score);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

std::vector<SearchResult> search_records(const RecordList& records, Metric metric,
                                         std::span<const float> query, std::uint64_t k,
                                         const ParallelFor& parallel_for) {
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, records.size()));
  if (keep == 0) return {};

  std::vector<float> scores(records.size());
  parallel_for(records.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) scores[i] = metric_value(metric, query, records.vector(i));
  });

  const std::vector<RankedPosition> best = select_best(scores, keep, larger_is_closer(metric));
  std::vector<SearchResult> results;
  results.reserve(best.size());
  for (const RankedPosition& ranked : best) {
    const std::size_t position = ranked.position;
    results.push_back(
        SearchResult{std::string(records.id(position)), records.metadata(position), scores[position]});
  }
  return results;
}

}  // namespace quorvel
