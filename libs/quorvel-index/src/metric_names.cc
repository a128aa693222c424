#include <array>
#include <utility>

#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

constexpr std::array<std::pair<Metric, std::string_view>, 4> kNames = {{
    {Metric::Cosine, "cosine"},
    {Metric::DotProduct, "dot"},
    {Metric::Euclidean, "euclidean"},
    {Metric::Manhattan, "manhattan"},
}};

constexpr std::array<std::pair<NeighborSelection, std::string_view>, 2> kSelectionNames = {{
    {NeighborSelection::Closest, "closest"},
    {NeighborSelection::Diverse, "diverse"},
}};

}  // namespace

std::optional<Metric> metric_named(std::string_view name) {
  for (const auto& [metric, metric_text] : kNames) {
    if (metric_text == name) return metric;
  }
  return std::nullopt;
}

std::string_view metric_name(Metric metric) {
  for (const auto& [named, metric_text] : kNames) {
    if (named == metric) return metric_text;
  }
  return {};
}

std::optional<NeighborSelection> selection_named(std::string_view name) {
  for (const auto& [selection, text] : kSelectionNames) {
    if (text == name) return selection;
  }
  return std::nullopt;
}

std::string_view selection_name(NeighborSelection selection) {
  for (const auto& [named, text] : kSelectionNames) {
    if (named == selection) return text;
  }
  return {};
}

}  // namespace quorvel
