#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/index/metric.h"
#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record_list.h"

namespace quorvel {

// Engine::search(query, k) over `records` (no filters, no decay), with the
// scoring spread by `parallel_for`: the same results for every way of
// splitting the range. `squares` (see squares_of) only saves work.
std::vector<SearchResult> search_records(const RecordList& records, Metric metric,
                                         std::span<const float> query, std::uint64_t k,
                                         const ParallelFor& parallel_for, std::span<const float> squares = {});

// Engine::search(request) over `records` by exhaustive scoring (filters,
// then scores, then decay), with the scoring spread by `parallel_for`.
std::vector<SearchResult> search_records(const RecordList& records, Metric metric, const SearchRequest& request,
                                         const ParallelFor& parallel_for, std::span<const float> squares = {});

// The sum of squares of every vector of `records` (sum_of_squares), by
// position (0 for a free slot), computed with `parallel_for`: what lets a
// cosine search compute one sum per record instead of three. Passed to
// search_records as `squares`, where it is used while it has one value per
// position.
std::vector<float> squares_of(const RecordList& records, const ParallelFor& parallel_for);

// Whether `metadata` meets every filter: it is an object that holds each
// filter's key with an equal value.
bool passes(const std::optional<JsonValue>& metadata, std::span<const MetadataFilter> filters);

// The share of records that pass `filters` among up to `sample` records
// spread over `records`: one from each of `sample` equal stretches of
// positions, at a fixed place within it that a hash chooses (every record
// when `sample` is at least the slot count; free slots are not counted);
// 0 when none is tested.
double sampled_passing_share(const RecordList& records, std::span<const MetadataFilter> filters, std::size_t sample);

// Whether a filtered search through an index whose result list holds
// `result_size` answers faster than the exhaustive search: whether the
// records that pass, estimated from a sample of Engine::kFilterSample,
// number at least Engine::kIndexFilterPassing * result_size.
bool index_filters_faster(const RecordList& records, std::span<const MetadataFilter> filters,
                          std::uint64_t result_size);

// `score` moved towards the worse end of the metric's order by the factor
// decay^(age in days) when `timestamp` lies before `now`, else `score` as it
// is. A score of a metric where larger is closer that is at least 0 is
// multiplied by the factor; a score below 0 there, or a distance, is divided
// by it (0 stays 0), so that a factor below 1 never lets an older record
// pass a newer one of equal score. The age is taken in 64-bit integers and
// divided as a 32-bit float; power, product and quotient are 32-bit floats.
float decayed(float score, float decay, std::uint64_t now, std::optional<std::uint64_t> timestamp,
              bool larger_is_closer);

// A key whose ascending order is the rank order of scores under a metric of
// the given direction: better scores first, -0.0 equal to 0.0, NaN after
// every number. Ties are left to the caller (record-list order).
std::uint32_t rank_key(float score, bool larger_is_closer);

}  // namespace quorvel
