#include "distance_keys.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "metric_kernels.h"
#include "quorvel/index/hnsw_index.h"

namespace quorvel {
namespace {

// The smallest float whose square root (rounded, as std::sqrt rounds) can
// still reach `key`: a float at least key * key, computed exactly in double
// and rounded up. A running total that reaches it has a root not below key.
float square_rounded_up(float key) {
  const double exact = static_cast<double>(key) * static_cast<double>(key);
  const float rounded = static_cast<float>(exact);
  return static_cast<double>(rounded) < exact ? std::nextafter(rounded, std::numeric_limits<float>::infinity())
                                              : rounded;
}

}  // namespace

KeyOf::KeyOf(Metric metric) : metric_(metric) {
  switch (metric) {
    case Metric::Cosine:
      function_ = cosine;
      break;
    case Metric::DotProduct:
      function_ = dot_product;
      break;
    case Metric::Euclidean:
      function_ = euclidean;
      break;
    case Metric::Manhattan:
      function_ = manhattan;
      break;
  }
}

float KeyOf::operator()(std::span<const float> a, std::span<const float> b) const {
  if (function_ == nullptr) return distance_key(metric_, a, b);
  const float value = function_(a, b);
  return larger_is_closer(metric_) ? -value : value;
}

void KeyOf::many(std::span<const float> a, std::span<const std::span<const float>> others,
                 std::span<float> keys) const {
  metric_values(metric_, a, others, keys);
  if (larger_is_closer(metric_)) {
    for (float& key : keys) key = -key;
  }
}

void KeyOf::many_below(std::span<const float> a, std::span<const std::span<const float>> others,
                       std::span<float> keys, float limit) const {
  const std::size_t n = others.empty() ? 0 : std::min(a.size(), others.front().size());
  const bool same_length = std::ranges::all_of(
      others, [&](std::span<const float> other) { return std::min(a.size(), other.size()) == n; });
  // A NaN limit stops nothing: no key is below it.
  if (metric_ != Metric::Euclidean || !same_length || limit != limit) {
    many(a, others, keys);
    return;
  }
  const float total_limit = square_rounded_up(limit);
  constexpr std::size_t kRun = 64;
  const float* starts[kRun];
  const kernels::KernelSet& set = kernels::best_kernels();
  for (std::size_t first = 0; first < others.size(); first += kRun) {
    const std::size_t count = std::min(kRun, others.size() - first);
    for (std::size_t i = 0; i < count; ++i) starts[i] = others[first + i].data();
    set.squared_distance_many_up_to(a.data(), starts, count, n, total_limit, keys.data() + first);
  }
  for (float& key : keys) key = std::sqrt(key);
}

}  // namespace quorvel
