#include <array>
#include <utility>

#include "quorvel/index/metric.h"

namespace quorvel {
namespace {

constexpr std::array<std::pair<Metric, std::string_view>, 4> kNames = {{
    {Metric::Cosine, "cosine"},
    {Metric::DotProduct, "dot"},
    {Metric::Euclidean, "euclidean"},
    {Metric::Manhattan, "manhattan"},
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

}  // namespace quorvel
