#include "attached_index.h"

#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "messages.h"
#include "quorvel/index/hnsw_image.h"

namespace quorvel {
namespace {

namespace messages = core::messages;

// The lookup from node number to vector when nodes are positions.
auto vectors_of(const RecordList& records) {
  return [&records](std::uint64_t node) { return records.vector(static_cast<std::size_t>(node)); };
}

// The entries' vectors by position, as the list holds them.
AttachedIndex::VectorAt vectors_at(const RecordList& records) {
  return [&records](std::size_t position) { return records.vector(position); };
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
  if (!(config.retired_share >= 0.0f && config.retired_share <= 1.0f)) {
    return std::string(messages::kRetiredShareIs) + std::to_string(config.retired_share) +
           std::string(messages::kMustLieBetween0And1);
  }
  return std::nullopt;
}

AttachedIndex::AttachedIndex(const HnswConfig& config, const RecordList& records, Metric metric,
                             const ParallelParts& run, std::size_t threads, const ProgressReport& progress)
    : index_(config), ef_search_(config.ef_search) {
  rebuild(records, metric, run, threads, progress);
}

std::span<const float> AttachedIndex::vector_of(const VectorAt& vector_at, std::uint64_t node) const {
  const std::uint64_t position = position_at_[node];
  if (position != kNone) return vector_at(static_cast<std::size_t>(position));
  return retired_vectors_.at(node);
}

std::optional<std::string> AttachedIndex::growth_problem(std::uint64_t new_nodes) const {
  // Node numbers run up to the index's slots, positions and, with
  // retire_deleted, the numbers of retired nodes included.
  std::uint64_t slots = 0;
  if (__builtin_add_overflow(index_.slots(), new_nodes, &slots)) slots = ~std::uint64_t{0};
  return hnsw_slots_problem(slots);
}

void AttachedIndex::number_by_position(std::size_t count) {
  node_at_.resize(count);
  position_at_.resize(count);
  for (std::size_t i = 0; i < count; ++i) node_at_[i] = position_at_[i] = i;
  retired_vectors_.clear();
}

void AttachedIndex::insert(const RecordList& records, std::size_t position, Metric metric,
                           std::optional<std::uint32_t> level_word, const HnswInsertPlan* plan) {
  insert_at(vectors_at(records), position, metric, level_word, plan);
}

HnswInsertPlan AttachedIndex::plan_change(const RecordList& records, std::optional<std::size_t> replacing,
                                          std::span<const float> vector, Metric metric,
                                          std::uint32_t level_word) const {
  // Before the change the list still holds the replaced entry's old vector,
  // which is what its retired node will read from the kept copy.
  const VectorAt vector_at = vectors_at(records);
  const auto lookup = [&](std::uint64_t n) { return vector_of(vector_at, n); };
  std::optional<std::uint64_t> retiring;
  if (replacing) retiring = node_at_[*replacing];
  // The node number insert_at() will give.
  return index_.plan_insert(position_at_.size(), vector, lookup, metric, level_word, retiring);
}

void AttachedIndex::insert_at(const VectorAt& vector_at, std::size_t position, Metric metric,
                              std::optional<std::uint32_t> level_word, const HnswInsertPlan* plan) {
  const std::uint32_t word = level_word ? *level_word : index_.next_level_word();
  if (!retires()) {
    const auto lookup = [&](std::uint64_t node) { return vector_at(static_cast<std::size_t>(node)); };
    index_.insert(position, vector_at(position), lookup, metric, word);
    return;
  }
  // The next node number: one past the largest, which keeps node storage
  // dense between compactions.
  const std::uint64_t node = position_at_.size();
  if (node_at_.size() <= position) node_at_.resize(position + 1, kNone);
  node_at_[position] = node;
  position_at_.push_back(position);
  const auto lookup = [&](std::uint64_t n) { return vector_of(vector_at, n); };
  if (plan != nullptr) {
    index_.insert_planned(node, vector_at(position), *plan, lookup, metric);
  } else {
    index_.insert(node, vector_at(position), lookup, metric, word);
  }
}

void AttachedIndex::retire(std::uint64_t node, std::vector<float> old_vector) {
  // The copy goes in first: searches through the retired node read it.
  retired_vectors_.insert_or_assign(node, std::move(old_vector));
  position_at_[node] = kNone;
  index_.retire(node);
}

void AttachedIndex::replaced(const RecordList& records, std::size_t position, std::vector<float> old_vector,
                             Metric metric, std::optional<std::uint32_t> level_word, const HnswInsertPlan* plan) {
  replaced_at(vectors_at(records), position, std::move(old_vector), metric, level_word, plan);
}

void AttachedIndex::replaced_at(const VectorAt& vector_at, std::size_t position, std::vector<float> old_vector,
                                Metric metric, std::optional<std::uint32_t> level_word, const HnswInsertPlan* plan) {
  const std::uint64_t old_node = node_at_[position];
  retire(old_node, std::move(old_vector));
  node_at_[position] = kNone;
  insert_at(vector_at, position, metric, level_word, plan);
}

void AttachedIndex::removed(std::size_t position, std::vector<float> old_vector) {
  retire(node_at_[position], std::move(old_vector));
  node_at_[position] = kNone;
}

void AttachedIndex::before_compaction(const RecordList& records) noexcept {
  if (!retires()) return;
  std::size_t kept = 0;
  for (std::size_t position = 0; position < node_at_.size(); ++position) {
    if (records.is_free(position)) continue;
    const std::uint64_t node = node_at_[position];
    node_at_[kept] = node;
    if (node != kNone) position_at_[node] = kept;
    ++kept;
  }
  node_at_.resize(kept);
}

bool AttachedIndex::compaction_due() const {
  const HnswIndex& index = index_;
  return index.retired_count() > 0 &&
         static_cast<double>(index.retired_count()) >
             static_cast<double>(index.config().retired_share) * static_cast<double>(index.size());
}

void AttachedIndex::compact(const RecordList& records, Metric metric, const ParallelParts& run, std::size_t threads) {
  compact_at(vectors_at(records), metric, run, threads);
}

void AttachedIndex::compact_at(const VectorAt& vector_at, Metric metric, const ParallelParts& run,
                               std::size_t threads) {
  if (!retires() || index_.retired_count() == 0) return;
  // The nodes left keep their order and close up: a numbering that does not
  // depend on where the entries stand in the list, so that the same changes
  // compact to the same graph whatever the list's order.
  std::vector<std::uint64_t> numbers(position_at_.size(), 0);
  std::uint64_t kept = 0;
  for (std::uint64_t node = 0; node < position_at_.size(); ++node) {
    if (position_at_[node] != kNone) numbers[node] = kept++;
  }
  const auto lookup = [&](std::uint64_t n) { return vector_of(vector_at, n); };
  HnswIndex compacted = index_.compacted(numbers, lookup, metric, run, threads);
  index_ = std::move(compacted);
  std::vector<std::uint64_t> position_at(kept);
  for (std::uint64_t node = 0; node < position_at_.size(); ++node) {
    if (position_at_[node] != kNone) position_at[numbers[node]] = position_at_[node];
  }
  for (std::uint64_t& node : node_at_) {
    if (node != kNone) node = numbers[node];
  }
  position_at_ = std::move(position_at);
  retired_vectors_.clear();
}

void AttachedIndex::rebuild(const RecordList& records, Metric metric, const ParallelParts& run, std::size_t threads,
                            const ProgressReport& progress) {
  HnswIndex fresh(index_.config());
  const auto lookup = vectors_of(records);
  const std::size_t total = records.slot_count();
  const auto inserted = [&](std::uint64_t done) { progress(static_cast<std::size_t>(done), total); };
  fresh.insert_range(0, total, lookup, metric, run, threads, progress ? InsertedReport(inserted) : InsertedReport());
  index_ = std::move(fresh);
  if (retires()) number_by_position(records.slot_count());
}

std::vector<HnswMatch> AttachedIndex::search(const RecordList& records, std::span<const float> query,
                                             std::uint64_t k, Metric metric,
                                             const std::function<bool(std::size_t)>* accept) const {
  std::vector<HnswMatch> matches;
  if (!retires()) {
    const auto lookup = vectors_of(records);
    if (accept == nullptr) return index_.search(query, k, ef_search_, lookup, metric);
    const auto passes = [accept](std::uint64_t node) { return (*accept)(static_cast<std::size_t>(node)); };
    return index_.search(query, k, ef_search_, lookup, metric, passes);
  }
  const VectorAt vector_at = vectors_at(records);
  const auto lookup = [&](std::uint64_t n) { return vector_of(vector_at, n); };
  if (accept == nullptr) {
    matches = index_.search(query, k, ef_search_, lookup, metric);
  } else {
    // Retired nodes are never offered to `accept`: the index turns them
    // away first.
    const auto passes = [&](std::uint64_t node) { return (*accept)(static_cast<std::size_t>(position_at_[node])); };
    matches = index_.search(query, k, ef_search_, lookup, metric, passes);
  }
  for (HnswMatch& match : matches) match.node = position_at_[match.node];
  return matches;
}

AttachedIndexState AttachedIndex::maps() const {
  AttachedIndexState state;
  state.ef_search = ef_search_;
  if (!retires()) return state;
  state.node_at = node_at_;
  state.position_at = position_at_;
  for (std::uint64_t node = 0; node < position_at_.size(); ++node) {
    const auto kept = retired_vectors_.find(node);
    if (kept == retired_vectors_.end()) continue;
    state.retired_nodes.push_back(node);
    state.retired_lengths.push_back(kept->second.size());
    state.retired_floats.insert(state.retired_floats.end(), kept->second.begin(), kept->second.end());
  }
  return state;
}

AttachedIndexState AttachedIndex::state() const {
  AttachedIndexState state = maps();
  state.graph = index_.graph();
  return state;
}

std::optional<std::string_view> AttachedIndex::maps_problem(const AttachedIndexState& state, bool retiring,
                                                            const ListShape& list, const GraphShape& graph) {
  if (!retiring) {
    if (!state.node_at.empty() || !state.position_at.empty() || !state.retired_nodes.empty() ||
        !state.retired_lengths.empty() || !state.retired_floats.empty()) {
      return messages::kMapsWithoutRetiring;
    }
    if (list.free_slots != 0 || graph.nodes != list.slots || graph.slots != list.slots) {
      return messages::kNodesAreNotTheEntries;
    }
    return std::nullopt;
  }
  if (state.node_at.size() > list.slots || state.position_at.size() != graph.slots) return messages::kMapSizes;
  if (state.retired_lengths.size() != state.retired_nodes.size()) return messages::kRetiredVectorCounts;
  std::uint64_t floats = 0;
  for (const std::uint64_t length : state.retired_lengths) floats += length;
  if (floats != state.retired_floats.size()) return messages::kRetiredVectorCounts;
  // Every entry has a live node that points back, every other node is retired with a kept vector.
  std::uint64_t mapped = 0;
  for (std::size_t position = 0; position < list.slots; ++position) {
    const std::uint64_t node = position < state.node_at.size() ? state.node_at[position] : kNone;
    if (list.is_free(position)) {
      if (node != kNone) return messages::kMapsDisagree;
      continue;
    }
    if (!graph.is_node(node) || state.position_at[node] != position) return messages::kMapsDisagree;
    ++mapped;
  }
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < state.retired_nodes.size(); ++i) {
    const std::uint64_t node = state.retired_nodes[i];
    if ((i > 0 && node <= previous) || !graph.is_node(node) || state.position_at[node] != kNone) {
      return messages::kMapsDisagree;
    }
    previous = node;
  }
  for (std::uint64_t node = 0; node < graph.slots; ++node) {
    if (!graph.is_node(node) && state.position_at[node] != kNone) return messages::kMapsDisagree;
  }
  if (mapped + state.retired_nodes.size() != graph.nodes) return messages::kMapsDisagree;
  return std::nullopt;
}

std::expected<AttachedIndex, std::string> AttachedIndex::adopt(HnswIndex index, AttachedIndexState maps) {
  const auto fail = [](std::string_view what) { return std::unexpected(std::string(what)); };
  AttachedIndex restored(std::move(index), maps.ef_search);
  for (const std::uint64_t node : maps.retired_nodes) {
    if (!restored.index_.is_retired(node)) return fail(messages::kMapsDisagree);
  }
  if (restored.index_.retired_count() != maps.retired_nodes.size()) return fail(messages::kMapsDisagree);
  if (!restored.retires()) return restored;
  restored.node_at_ = std::move(maps.node_at);
  restored.position_at_ = std::move(maps.position_at);
  std::size_t next = 0;
  for (std::size_t i = 0; i < maps.retired_nodes.size(); ++i) {
    const auto length = static_cast<std::size_t>(maps.retired_lengths[i]);
    const auto first = maps.retired_floats.begin() + static_cast<std::ptrdiff_t>(next);
    restored.retired_vectors_.emplace(maps.retired_nodes[i],
                                      std::vector<float>(first, first + static_cast<std::ptrdiff_t>(length)));
    next += length;
  }
  return restored;
}

std::expected<AttachedIndex, std::string> AttachedIndex::restore(AttachedIndexState state, const RecordList& records,
                                                                 std::uint64_t highest_level) {
  const std::vector<std::uint64_t>& levels = state.graph.levels;
  std::uint64_t nodes = 0;
  for (const std::uint64_t level : levels) nodes += level != HnswGraph::kNoNode ? 1 : 0;
  const ListShape list{records.slot_count(), records.free_slots(),
                       [&](std::size_t position) { return records.is_free(position); }};
  const GraphShape graph{levels.size(), nodes,
                         [&](std::uint64_t n) { return n < levels.size() && levels[n] != HnswGraph::kNoNode; }};
  if (auto problem = maps_problem(state, state.graph.config.retire_deleted, list, graph)) {
    return std::unexpected(std::string(*problem));
  }
  auto index = HnswIndex::from_graph(std::move(state.graph), highest_level);
  if (!index) return std::unexpected(std::move(index.error()));
  return adopt(std::move(*index), std::move(state));
}

std::expected<AttachedIndex, std::string> AttachedIndex::restore(HnswIndex index, AttachedIndexState maps,
                                                                 std::size_t entries) {
  const ListShape list{entries, 0, [](std::size_t) { return false; }};
  const GraphShape graph{index.slots(), index.size(), [&](std::uint64_t n) { return index.node(n).has_value(); }};
  if (auto problem = maps_problem(maps, index.config().retire_deleted, list, graph)) {
    return std::unexpected(std::string(*problem));
  }
  return adopt(std::move(index), std::move(maps));
}

void AttachedIndex::positions_moved(std::span<const std::size_t> moved) {
  if (moved.empty()) return;
  if (!retires()) {
    // Nodes are positions: the graph is renumbered along.
    std::vector<std::size_t> order(moved.size());
    for (std::size_t then = 0; then < moved.size(); ++then) order[moved[then]] = then;
    index_ = renumbered(index_, order);
    return;
  }
  std::size_t kept = 0;
  for (const std::size_t to : moved) kept += to != kGone ? 1 : 0;
  std::vector<std::uint64_t> node_at(kept, kNone);
  for (std::size_t then = 0; then < node_at_.size(); ++then) {
    if (node_at_[then] != kNone) node_at[moved[then]] = node_at_[then];
  }
  for (std::uint64_t& position : position_at_) {
    if (position != kNone) position = moved[position];
  }
  node_at_ = std::move(node_at);
}

}  // namespace quorvel
