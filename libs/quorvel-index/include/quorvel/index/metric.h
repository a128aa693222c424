#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

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

// The names callers choose a metric by: "cosine", "dot", "euclidean" and
// "manhattan". metric_named() gives nothing for any other text.
std::optional<Metric> metric_named(std::string_view name);
std::string_view metric_name(Metric metric);

// True when a larger metric value means more alike.
constexpr bool larger_is_closer(Metric metric) {
  return metric == Metric::Cosine || metric == Metric::DotProduct;
}

// The metric functions. Each uses the first min(a.size(), b.size())
// coordinates, computes in 32-bit floats in a fixed summation order, and
// returns the same bits with its arguments swapped. Pure and thread-safe.
//
// The order: cosine, dot_product and euclidean keep eight running sums, one
// per position in a block of eight coordinates, combine them as
// ((s0 + s1) + s2) + s3 + (((s4 + s5) + s6) + s7), then add the remaining
// terms one at a time; manhattan adds its terms in coordinate order. No
// multiply-add is fused, so every instruction set gives the same bits.
// cosine is dot / (sqrt(a squares) * sqrt(b squares)), and 0.0 when either
// sum of squares is exactly zero (a NaN sum is not zero). Where a sum of
// squares would overflow or underflow (coordinates beyond about 1e19 or
// below about 1e-19 in magnitude), each vector is first scaled by a power
// of two, so that the cosine keeps its value instead of becoming NaN or 0.0;
// every other cosine is the plain formula's, bit for bit.
float cosine(std::span<const float> a, std::span<const float> b);

// The sum of squares of `v`, summed as the functions above sum it: what
// cosine() computes for a vector of this length.
float sum_of_squares(std::span<const float> v);

// cosine(a, b) for vectors of equal length whose sums of squares are known
// (sum_of_squares of each): the same bits, with one sum to compute instead
// of three. REQUIRES: a.size() == b.size().
float cosine_with_squares(std::span<const float> a, std::span<const float> b, float a_squares, float b_squares);
float dot_product(std::span<const float> a, std::span<const float> b);
float euclidean(std::span<const float> a, std::span<const float> b);
float manhattan(std::span<const float> a, std::span<const float> b);

// Dispatches to the function of `metric`.
float metric_value(Metric metric, std::span<const float> a, std::span<const float> b);

// The metric values of `a` with each of `others`: values[i] gets the bits of
// metric_value(metric, a, others[i]). The vectors are scanned several at a
// time, which is faster than one call per pair when they are many.
// REQUIRES: values.size() == others.size().
void metric_values(Metric metric, std::span<const float> a, std::span<const std::span<const float>> others,
                   std::span<float> values);

}  // namespace quorvel
