#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/index/metric.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/record_store.h"

namespace quorvel {

// The whole of Engine::search over `records`, with the scoring spread by
// `parallel_for`: the same results for every way of splitting the range.
std::vector<SearchResult> search_records(const RecordList& records, Metric metric,
                                         std::span<const float> query, std::uint64_t k,
                                         const ParallelFor& parallel_for);

// A key whose ascending order is the rank order of scores under a metric of
// the given direction: better scores first, -0.0 equal to 0.0, NaN after
// every number. Ties are left to the caller (record-list order).
std::uint32_t rank_key(float score, bool larger_is_closer);

}  // namespace quorvel
