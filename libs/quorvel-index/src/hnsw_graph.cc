// The index's state as plain arrays, and back.

#include <algorithm>
#include <string>

#include "hnsw_links.h"
#include "messages.h"
#include "quorvel/index/hnsw_index.h"

namespace quorvel {
namespace {

namespace messages = index::messages;

std::string text(std::string_view a, std::uint64_t x, std::string_view b, std::uint64_t y,
                 std::string_view c = {}, std::optional<std::uint64_t> z = std::nullopt, std::string_view d = {}) {
  std::string out = std::string(a) + std::to_string(x) + std::string(b) + std::to_string(y) + std::string(c);
  if (z) out += std::to_string(*z);
  return out + std::string(d);
}

}  // namespace

std::optional<std::string> hnsw_slots_problem(std::uint64_t slots) {
  if (slots <= kHnswMostSlots) return std::nullopt;
  return std::string(messages::kIndexHoldsAtMost) + std::to_string(kHnswMostSlots) +
         std::string(messages::kNodeSlotsThisOneWouldNeed) + std::to_string(slots);
}

HnswGraph HnswIndex::graph() const {
  HnswGraph graph;
  graph.config = config_;
  graph.entry_point = entry_point_;
  graph.top_level = top_level_;
  const HnswLinks& links = *links_;
  graph.levels.resize(static_cast<std::size_t>(links.slots()), HnswGraph::kNoNode);
  for (std::uint64_t node = 0; node < links.slots(); ++node) {
    if (!links.contains(node)) continue;
    graph.levels[node] = links.level(node);
    for (std::uint64_t layer = 0; layer <= links.level(node); ++layer) {
      const std::span<const HnswLinks::Number> list = links.list(node, layer);
      graph.list_sizes.push_back(list.size());
      graph.neighbors.insert(graph.neighbors.end(), list.begin(), list.end());
    }
  }
  graph.retired = retired_;
  graph.level_draws = generator_ ? level_draws_ : 0;
  return graph;
}

std::expected<HnswIndex, std::string> HnswIndex::from_graph(HnswGraph graph, std::uint64_t highest_level) {
  const std::uint64_t slots = graph.levels.size();
  if (auto problem = hnsw_slots_problem(slots)) return std::unexpected(std::move(*problem));
  const auto is_node = [&](std::uint64_t n) { return n < slots && graph.levels[n] != HnswGraph::kNoNode; };
  std::uint64_t lists = 0;
  std::uint64_t nodes = 0;
  std::uint64_t highest = 0;
  for (std::uint64_t node = 0; node < slots; ++node) {
    if (!is_node(node)) continue;
    const std::uint64_t level = graph.levels[node];
    if (level > highest_level) {
      return std::unexpected(text(messages::kNode, node, messages::kHasLevel, level, messages::kLevelsMustStayAtMost,
                                  highest_level));
    }
    lists += level + 1;
    ++nodes;
    highest = std::max(highest, level);
  }
  if (lists != graph.list_sizes.size()) {
    return std::unexpected(text(messages::kLevelsCallFor, lists, messages::kListSizesHolds, graph.list_sizes.size()));
  }
  std::uint64_t total = 0;
  for (const std::uint64_t size : graph.list_sizes) {
    if (__builtin_add_overflow(total, size, &total)) total = ~std::uint64_t{0};
  }
  if (total != graph.neighbors.size()) {
    return std::unexpected(text(messages::kListsHold, total, messages::kNumbersNeighborsHolds, graph.neighbors.size()));
  }
  const HnswConfig& config = graph.config;
  std::size_t list = 0;
  std::size_t next = 0;
  for (std::uint64_t node = 0; node < slots; ++node) {
    if (!is_node(node)) continue;
    for (std::uint64_t layer = 0; layer <= graph.levels[node]; ++layer, ++list) {
      const std::uint64_t size = graph.list_sizes[list];
      const std::uint64_t bound = std::max(config.m, layer == 0 ? config.m_max0 : config.m_max);
      if (size > bound) {
        return std::unexpected(text(messages::kNode, node, messages::kHolds, size, messages::kNumbersOnLayer, layer,
                                    std::string(messages::kMoreThan) + std::to_string(bound)));
      }
      for (std::uint64_t i = 0; i < size; ++i) {
        const std::uint64_t other = graph.neighbors[next + i];
        std::string_view problem;
        if (!is_node(other)) {
          problem = messages::kWhichIsNotANode;
        } else if (graph.levels[other] < layer) {
          problem = messages::kWhoseLevelIsBelowTheLayer;
        } else if (other == node) {
          problem = messages::kItself;
        }
        if (!problem.empty()) {
          return std::unexpected(
              text(messages::kNode, node, messages::kLists, other, messages::kOnLayer, layer, problem));
        }
      }
      next += static_cast<std::size_t>(size);
    }
  }
  if (nodes == 0 && graph.entry_point) return std::unexpected(std::string(messages::kEntryPointWithoutNodes));
  if (nodes != 0) {
    if (!graph.entry_point) return std::unexpected(std::string(messages::kNoEntryPoint));
    const std::uint64_t entry = *graph.entry_point;
    if (!is_node(entry)) {
      return std::unexpected(std::string(messages::kTheEntryPoint) + std::to_string(entry) +
                             std::string(messages::kIsNotANode));
    }
    if (graph.top_level != graph.levels[entry]) {
      return std::unexpected(
          text(messages::kTopLevel, graph.top_level, messages::kIsNotTheEntryPointsLevel, graph.levels[entry]));
    }
    if (highest > graph.top_level) {
      for (std::uint64_t node = 0; node < slots; ++node) {
        if (is_node(node) && graph.levels[node] > graph.top_level) {
          return std::unexpected(
              text(messages::kNode, node, messages::kHasLevel, graph.levels[node], messages::kAboveTheEntryPoints));
        }
      }
    }
  }
  if (graph.retired.size() > slots) {
    return std::unexpected(text(messages::kRetiredHolds, graph.retired.size(), messages::kMarksFor, slots,
                                messages::kNodeNumbers));
  }
  std::uint64_t retired = 0;
  for (std::uint64_t node = 0; node < graph.retired.size(); ++node) {
    if (graph.retired[node] > 1) {
      return std::unexpected(text(messages::kTheRetiredMarkOf, node, messages::kIs, graph.retired[node],
                                  messages::kNot0Or1));
    }
    if (graph.retired[node] == 0) continue;
    if (!is_node(node)) {
      return std::unexpected(std::string(messages::kNode) + std::to_string(node) +
                             std::string(messages::kIsRetiredButIsNotANode));
    }
    ++retired;
  }

  HnswIndex index(graph.config);
  HnswLinks& links = *index.links_;
  list = 0;
  next = 0;
  for (std::uint64_t node = 0; node < slots; ++node) {
    if (!is_node(node)) continue;
    links.add(node, graph.levels[node]);
    for (std::uint64_t layer = 0; layer <= graph.levels[node]; ++layer, ++list) {
      const auto size = static_cast<std::size_t>(graph.list_sizes[list]);
      for (std::size_t i = 0; i < size; ++i) links.append(node, layer, graph.neighbors[next + i]);
      next += size;
    }
  }
  index.size_ = nodes;
  index.entry_point_ = graph.entry_point;
  index.top_level_ = nodes == 0 ? 0 : graph.top_level;
  index.retired_ = std::move(graph.retired);
  index.retired_count_ = retired;
  if (index.generator_) {
    index.generator_->discard(graph.level_draws);
    index.level_draws_ = graph.level_draws;
  }
  return index;
}

}  // namespace quorvel
