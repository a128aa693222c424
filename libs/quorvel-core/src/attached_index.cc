#include "attached_index.h"

#include <cmath>
#include <string>
#include <utility>

#include "messages.h"

namespace quorvel {
namespace {

namespace messages = core::messages;

// The lookup from node number to vector: the entry at that position.
auto vectors_of(const RecordList& records) {
  return [&records](std::uint64_t node) { return records.vector(static_cast<std::size_t>(node)); };
}

}  // namespace

std::optional<std::string> index_config_problem(const HnswConfig& config, std::uint64_t highest_level) {
  if (std::isnan(config.ml)) return std::string(messages::kMlNotANumber);
  if (std::isinf(config.ml)) return std::string(messages::kMlInfinite);
  if (config.ml < 0.0f) return std::string(messages::kMlNegative);
  // The smallest draw gives the highest level.
  const std::uint64_t level = HnswIndex::level_from_word(0, config.ml);
  if (level > highest_level) {
    return std::string(messages::kMlIs) + std::to_string(config.ml) + std::string(messages::kLetsANodeDrawLevel) +
           std::to_string(level) + std::string(messages::kLevelsMustStayAtMost) + std::to_string(highest_level);
  }
  return std::nullopt;
}

AttachedIndex::AttachedIndex(const HnswConfig& config, const RecordList& records, Metric metric,
                             const ProgressReport& progress)
    : index_(config), ef_search_(config.ef_search) {
  rebuild(records, metric, progress);
}

AttachedIndex::AttachedIndex(HnswIndex index) : index_(std::move(index)), ef_search_(index_.config().ef_search) {}

void AttachedIndex::insert(const RecordList& records, std::size_t position, Metric metric,
                           std::uint32_t level_word) {
  const auto vector_of = vectors_of(records);
  index_.insert(position, records.vector(position), vector_of, metric, level_word);
}

void AttachedIndex::rebuild(const RecordList& records, Metric metric, const ProgressReport& progress) {
  HnswIndex fresh(index_.config());
  const auto vector_of = vectors_of(records);
  for (std::size_t position = 0; position < records.slot_count(); ++position) {
    fresh.insert(position, records.vector(position), vector_of, metric);
    if (progress) progress(position + 1, records.slot_count());
  }
  index_ = std::move(fresh);
}

std::vector<HnswMatch> AttachedIndex::search(const RecordList& records, std::span<const float> query,
                                             std::uint64_t k, Metric metric) const {
  const auto vector_of = vectors_of(records);
  return index_.search(query, k, ef_search_, vector_of, metric);
}

}  // namespace quorvel
