#pragma once

// The distance keys the index compares, for one metric. Internal to the
// index library and its tests.

#include <span>

#include "quorvel/index/metric.h"

namespace quorvel {

// The distance key of two vectors: the metric value, negated for the
// similarities, so that a smaller key always means closer.
inline float distance_key(Metric metric, std::span<const float> a, std::span<const float> b) {
  const float value = metric_value(metric, a, b);
  return larger_is_closer(metric) ? -value : value;
}

// The metric value that a distance key stands for (the inverse of the
// negation above; exact, since negation only flips the sign bit).
constexpr float value_of_key(Metric metric, float key) { return larger_is_closer(metric) ? -key : key; }

// The distance key of one metric (distance_key above), with the metric's
// function chosen once per call of the index instead of once per pair of
// vectors, and the keys of several vectors computed together.
class KeyOf {
 public:
  explicit KeyOf(Metric metric);

  // distance_key(metric, a, b).
  float operator()(std::span<const float> a, std::span<const float> b) const;

  // The keys of `a` with each of `others`, into `keys` (of the same size):
  // the bits of one call per pair, computed several vectors at a time.
  void many(std::span<const float> a, std::span<const std::span<const float>> others, std::span<float> keys) const;

  // many(), for a caller that needs no key at or beyond `limit` exactly:
  // where a key is not below `limit`, its computation may stop early and
  // keys[i] is then a value not below `limit` that the key is not below
  // either (or the key is NaN). Every key below `limit` is exact. Only
  // Euclidean keys stop early (their running totals only grow), and only
  // when every vector has the same common length with `a`.
  void many_below(std::span<const float> a, std::span<const std::span<const float>> others, std::span<float> keys,
                  float limit) const;

 private:
  Metric metric_;
  float (*function_)(std::span<const float>, std::span<const float>) = nullptr;
};

}  // namespace quorvel
