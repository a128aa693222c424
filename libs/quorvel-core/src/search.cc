#include "search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <math.h>
#include <mutex>
#include <string>

namespace quorvel {
namespace {

// A scored record in the running for a result; ordered by rank, then
// position, which is the order of a stable sort by rank.
struct Candidate {
  std::size_t position;
  std::uint32_t key;
  float score;

  friend bool operator<(const Candidate& x, const Candidate& y) {
    return x.key != y.key ? x.key < y.key : x.position < y.position;
  }
};

// The best `keep` candidates of those offered, in a heap whose top is the
// worst of them. Since candidates are ordered by position among equal
// ranks, the outcome does not depend on the order they are offered in.
class BestCandidates {
 public:
  explicit BestCandidates(std::size_t keep) : keep_(keep) { held_.reserve(keep); }

  void offer(const Candidate& candidate) {
    if (keep_ == 0) return;
    if (held_.size() < keep_) {
      held_.push_back(candidate);
      std::push_heap(held_.begin(), held_.end());
    } else if (candidate < held_.front()) {
      std::pop_heap(held_.begin(), held_.end());
      held_.back() = candidate;
      std::push_heap(held_.begin(), held_.end());
    }
  }

  const std::vector<Candidate>& held() const { return held_; }

  // The candidates held, best first.
  std::vector<Candidate> sorted() && {
    std::sort_heap(held_.begin(), held_.end());
    return std::move(held_);
  }

 private:
  std::size_t keep_;
  std::vector<Candidate> held_;
};

// The best `keep` of the records for which `score_of(position, score)`
// gives a score, best first. Each part of the range keeps its own best, so
// that no array of every record's score is made, and the parts' best are
// merged: the same candidates for every way of splitting the range. Throws
// std::bad_alloc; the loop's body itself must not throw, so a failure in a
// part is carried out of the loop.
template <typename ScoreOf>
std::vector<Candidate> best_records(std::size_t slots, std::size_t keep, bool larger_first,
                                    const ParallelFor& parallel_for, const ScoreOf& score_of) {
  std::mutex merging;
  BestCandidates best(keep);
  std::exception_ptr failure;
  parallel_for(slots, [&](std::size_t begin, std::size_t end) {
    try {
      BestCandidates part(std::min(keep, end - begin));
      for (std::size_t i = begin; i < end; ++i) {
        float score;
        if (score_of(i, score)) part.offer({i, rank_key(score, larger_first), score});
      }
      const std::lock_guard<std::mutex> lock(merging);
      for (const Candidate& candidate : part.held()) best.offer(candidate);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(merging);
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
  return std::move(best).sorted();
}

std::vector<SearchResult> results_of(const RecordList& records, std::span<const Candidate> best) {
  std::vector<SearchResult> results;
  results.reserve(best.size());
  for (const Candidate& candidate : best) {
    const std::size_t position = candidate.position;
    results.push_back(SearchResult{std::string(records.id(position)), records.metadata(position), candidate.score});
  }
  return results;
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

bool passes(const std::optional<JsonValue>& metadata, std::span<const MetadataFilter> filters) {
  if (!metadata) return false;
  const auto* object = metadata->get_if<JsonValue::Object>();
  if (object == nullptr) return false;
  for (const MetadataFilter& filter : filters) {
    // Members are held in ascending byte order of their keys.
    const auto member = std::lower_bound(
        object->begin(), object->end(), filter.key,
        [](const JsonValue::Member& m, const std::string& key) { return m.key < key; });
    if (member == object->end() || member->key != filter.key || !(member->value == filter.value)) return false;
  }
  return true;
}

// Scores records against one query under one metric. Under Cosine, with the
// records' sums of squares known, a record as long as the query costs one
// sum (cosine_with_squares) instead of three, with the same bits.
class Scorer {
 public:
  Scorer(const RecordList& records, Metric metric, std::span<const float> query, std::span<const float> squares)
      : records_(records), metric_(metric), query_(query),
        squares_(metric == Metric::Cosine && squares.size() == records.slot_count() ? squares
                                                                                    : std::span<const float>()),
        query_squares_(squares_.empty() ? 0.0f : sum_of_squares(query)) {}

  float operator()(std::size_t position) const {
    const std::span<const float> vector = records_.vector(position);
    if (!squares_.empty() && vector.size() == query_.size()) {
      return cosine_with_squares(query_, vector, query_squares_, squares_[position]);
    }
    return metric_value(metric_, query_, vector);
  }

 private:
  const RecordList& records_;
  Metric metric_;
  std::span<const float> query_;
  std::span<const float> squares_;
  float query_squares_;
};

std::vector<float> squares_of(const RecordList& records, const ParallelFor& parallel_for) {
  std::vector<float> squares(records.slot_count());
  parallel_for(records.slot_count(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) squares[i] = sum_of_squares(records.vector(i));
  });
  return squares;
}

double sampled_passing_share(const RecordList& records, std::span<const MetadataFilter> filters, std::size_t sample) {
  const std::size_t slots = records.slot_count();
  sample = std::min(slots, sample);
  std::size_t tested = 0;
  std::size_t passing = 0;
  for (std::size_t i = 0; i < sample; ++i) {
    // One position from each of `sample` equal stretches, at a place that a
    // hash of the stretch's number chooses: evenly spaced positions would
    // see only the passing records of a list where every n-th one passes.
    const std::size_t begin = i * slots / sample;
    const std::size_t width = (i + 1) * slots / sample - begin;
    std::uint64_t hash = (i + 1) * 0x9E3779B97F4A7C15ull;
    hash = (hash ^ (hash >> 30)) * 0xBF58476D1CE4E5B9ull;
    hash = (hash ^ (hash >> 27)) * 0x94D049BB133111EBull;
    hash ^= hash >> 31;
    const std::size_t position = begin + static_cast<std::size_t>(hash % width);
    if (records.is_free(position)) continue;
    ++tested;
    if (passes(records.metadata(position), filters)) ++passing;
  }
  return tested == 0 ? 0.0 : static_cast<double>(passing) / static_cast<double>(tested);
}

bool index_filters_faster(const RecordList& records, std::span<const MetadataFilter> filters,
                          std::uint64_t result_size) {
  const double passing = sampled_passing_share(records, filters, Engine::kFilterSample) *
                         static_cast<double>(records.size());
  return passing > 0.0 && passing >= Engine::kIndexFilterPassing * static_cast<double>(result_size);
}

float decayed(float score, float decay, std::uint64_t now, std::optional<std::uint64_t> timestamp,
              bool larger_is_closer) {
  if (!timestamp || *timestamp >= now) return score;
  const float days = static_cast<float>(now - *timestamp) / 86400.0f;
  const float factor = ::powf(decay, days);
  // A factor below 1 must move the score away from the best end of the
  // metric's order. Multiplying does that for a similarity of at least 0;
  // a distance, or a similarity below 0, is divided instead. A score of 0
  // stays 0 (the factor may have run down to 0, and 0 / 0 would be NaN).
  if (larger_is_closer ? score >= 0.0f : score == 0.0f) return score * factor;
  return score / factor;
}

std::vector<SearchResult> search_records(const RecordList& records, Metric metric,
                                         std::span<const float> query, std::uint64_t k,
                                         const ParallelFor& parallel_for, std::span<const float> squares) {
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, records.size()));
  if (keep == 0) return {};

  const Scorer score(records, metric, query, squares);
  const std::span<const std::uint8_t> live = records.live_marks();
  const std::vector<Candidate> best = best_records(
      records.slot_count(), keep, larger_is_closer(metric), parallel_for, [&](std::size_t i, float& value) {
        if (!live.empty() && !live[i]) return false;
        value = score(i);
        return true;
      });
  return results_of(records, best);
}

std::vector<SearchResult> search_records(const RecordList& records, Metric metric, const SearchRequest& request,
                                         const ParallelFor& parallel_for, std::span<const float> squares) {
  const bool decays = request.decay && request.now;
  if (request.filters.empty() && !decays) {
    return search_records(records, metric, request.query, request.k, parallel_for, squares);
  }
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(request.k, records.size()));
  if (keep == 0) return {};

  // Filters first: a record that fails one is not scored at all.
  const Scorer score(records, metric, request.query, squares);
  const bool larger_first = larger_is_closer(metric);
  const std::vector<Candidate> best =
      best_records(records.slot_count(), keep, larger_first, parallel_for, [&](std::size_t i, float& value) {
        if (records.is_free(i)) return false;
        if (!request.filters.empty() && !passes(records.metadata(i), request.filters)) return false;
        value = score(i);
        if (decays) value = decayed(value, *request.decay, *request.now, records.timestamp(i), larger_first);
        return true;
      });
  return results_of(records, best);
}

}  // namespace quorvel
