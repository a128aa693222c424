#pragma once

#include <cstdint>
#include <span>

namespace quorvel {

// How two vectors are compared. Cosine and DotProduct are similarities
// (larger is closer); Euclidean and Manhattan are distances (smaller is
// closer). The byte values are part of the system's interface.
enum class Metric : std::uint8_t {
  Cosine = 0,
  DotProduct = 1,
  Euclidean = 2,
  Manhattan = 3,
};

// True when a larger metric value means more alike.
constexpr bool larger_is_closer(Metric metric) {
  return metric == Metric::Cosine || metric == Metric::DotProduct;
}

// The metric functions. Each uses the first min(a.size(), b.size())
// coordinates, computes in 32-bit floats in a fixed summation order, and
// returns the same bits with its arguments swapped. Pure and thread-safe.
float cosine(std::span<const float> a, std::span<const float> b);
float dot_product(std::span<const float> a, std::span<const float> b);
float euclidean(std::span<const float> a, std::span<const float> b);
float manhattan(std::span<const float> a, std::span<const float> b);

// Dispatches to the function of `metric`.
float metric_value(Metric metric, std::span<const float> a, std::span<const float> b);

}  // namespace quorvel
