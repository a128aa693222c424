#include "quorvel/index/metric.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "metric_blocks.h"
#include "metric_kernels.h"

namespace quorvel {
namespace kernels {
namespace {

// Eight plain floats; the compiler may vectorise these loops, which keeps
// every lane's sum as it is.
struct ScalarLanes {
  struct V {
    float lane[8];
  };
  static V zero() { return V{}; }
  static V load(const float* p) {
    V x;
    for (int i = 0; i < 8; ++i) x.lane[i] = p[i];
    return x;
  }
  static V add(V x, V y) {
    for (int i = 0; i < 8; ++i) x.lane[i] += y.lane[i];
    return x;
  }
  static V sub(V x, V y) {
    for (int i = 0; i < 8; ++i) x.lane[i] -= y.lane[i];
    return x;
  }
  static V mul(V x, V y) {
    for (int i = 0; i < 8; ++i) x.lane[i] *= y.lane[i];
    return x;
  }
  static void store(float* out, V x) {
    for (int i = 0; i < 8; ++i) out[i] = x.lane[i];
  }
};

const KernelSet& choose_kernels() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? kAvx2Kernels : kSseKernels;
#else
  return kScalarKernels;
#endif
}

}  // namespace

constinit const KernelSet kScalarKernels = make_kernel_set<ScalarLanes>("scalar");

const KernelSet& best_kernels() {
  static const KernelSet& best = choose_kernels();
  return best;
}

}  // namespace kernels

namespace {

std::size_t common_length(std::span<const float> a, std::span<const float> b) {
  return std::min(a.size(), b.size());
}

float cosine_from_sums(float dot, float a_squares, float b_squares) {
  // An exact zero only: a NaN sum of squares is not zero and yields NaN.
  if (a_squares == 0.0f || b_squares == 0.0f) return 0.0f;
  return dot / (std::sqrt(a_squares) * std::sqrt(b_squares));
}

// True when both sums of squares are normal floats, and so is the product of
// their roots: then the plain formula gives the cosine. Outside this range a
// sum has overflowed, lost its precision to underflow, or is zero.
bool in_plain_range(const kernels::CosineSums& sums) {
  constexpr float kSmallest = std::numeric_limits<float>::min();
  constexpr float kLargest = std::numeric_limits<float>::max();
  return sums.a_squares >= kSmallest && sums.a_squares <= kLargest && sums.b_squares >= kSmallest &&
         sums.b_squares <= kLargest && std::sqrt(sums.a_squares) * std::sqrt(sums.b_squares) <= kLargest;
}

// The cosine of vectors whose sums of squares leave the plain range (their
// coordinates beyond about 1e19 or below about 1e-19 in magnitude). Each
// vector is first multiplied by the power of two that brings its largest
// magnitude into [1, 2) (exact, and a cosine does not change with scale),
// then summed in the usual order. A zero vector still scores 0.0; a NaN or
// infinite coordinate keeps `plain`, the formula's own value.
float rescaled_cosine(const float* a, const float* b, std::size_t n, float plain) {
  float largest_a = 0.0f;
  float largest_b = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(a[i]) || !std::isfinite(b[i])) return plain;
    largest_a = std::max(largest_a, std::fabs(a[i]));
    largest_b = std::max(largest_b, std::fabs(b[i]));
  }
  if (largest_a == 0.0f || largest_b == 0.0f) return 0.0f;
  const int shift_a = -std::ilogb(largest_a);
  const int shift_b = -std::ilogb(largest_b);

  float dot[8] = {};
  float a_squares[8] = {};
  float b_squares[8] = {};
  const std::size_t blocks_end = n - n % 8;
  for (std::size_t i = 0; i < blocks_end; ++i) {
    const float x = std::ldexp(a[i], shift_a);
    const float y = std::ldexp(b[i], shift_b);
    dot[i % 8] += x * y;
    a_squares[i % 8] += x * x;
    b_squares[i % 8] += y * y;
  }
  const auto combine = [](const float* s) { return (((s[0] + s[1]) + s[2]) + s[3]) + (((s[4] + s[5]) + s[6]) + s[7]); };
  kernels::CosineSums sums{combine(dot), combine(a_squares), combine(b_squares)};
  for (std::size_t i = blocks_end; i < n; ++i) {
    const float x = std::ldexp(a[i], shift_a);
    const float y = std::ldexp(b[i], shift_b);
    sums.dot += x * y;
    sums.a_squares += x * x;
    sums.b_squares += y * y;
  }
  return cosine_from_sums(sums.dot, sums.a_squares, sums.b_squares);
}

}  // namespace

float cosine(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = common_length(a, b);
  const kernels::CosineSums sums = kernels::best_kernels().cosine_sums(a.data(), b.data(), n);
  const float plain = cosine_from_sums(sums.dot, sums.a_squares, sums.b_squares);
  if (in_plain_range(sums)) [[likely]] return plain;
  return rescaled_cosine(a.data(), b.data(), n, plain);
}

float sum_of_squares(std::span<const float> v) { return kernels::best_kernels().dot(v.data(), v.data(), v.size()); }

float cosine_with_squares(std::span<const float> a, std::span<const float> b, float a_squares, float b_squares) {
  const std::size_t n = common_length(a, b);
  const kernels::CosineSums sums{kernels::best_kernels().dot(a.data(), b.data(), n), a_squares, b_squares};
  const float plain = cosine_from_sums(sums.dot, sums.a_squares, sums.b_squares);
  if (in_plain_range(sums)) [[likely]] return plain;
  return rescaled_cosine(a.data(), b.data(), n, plain);
}

float dot_product(std::span<const float> a, std::span<const float> b) {
  return kernels::best_kernels().dot(a.data(), b.data(), common_length(a, b));
}

float euclidean(std::span<const float> a, std::span<const float> b) {
  return std::sqrt(kernels::best_kernels().squared_distance(a.data(), b.data(), common_length(a, b)));
}

float manhattan(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = common_length(a, b);
  float total = 0.0f;
  for (std::size_t i = 0; i < n; ++i) total += std::fabs(a[i] - b[i]);
  return total;
}

void metric_values(Metric metric, std::span<const float> a, std::span<const std::span<const float>> others,
                   std::span<float> values) {
  const kernels::KernelSet& set = kernels::best_kernels();
  // Runs of others with the same common length go to the kernels together,
  // a bounded number at a time.
  constexpr std::size_t kRun = 64;
  const float* starts[kRun];
  float dots[kRun];
  float squares[kRun];
  std::size_t first = 0;
  while (first < others.size()) {
    const std::size_t n = common_length(a, others[first]);
    std::size_t count = 0;
    while (count < kRun && first + count < others.size() && common_length(a, others[first + count]) == n) {
      starts[count] = others[first + count].data();
      ++count;
    }
    float* out = values.data() + first;
    switch (metric) {
      case Metric::DotProduct:
        set.dot_many(a.data(), starts, count, n, out);
        break;
      case Metric::Euclidean:
        set.squared_distance_many(a.data(), starts, count, n, out);
        for (std::size_t i = 0; i < count; ++i) out[i] = std::sqrt(out[i]);
        break;
      case Metric::Cosine: {
        const float a_squares = set.dot(a.data(), a.data(), n);
        set.cosine_sums_many(a.data(), starts, count, n, dots, squares);
        for (std::size_t i = 0; i < count; ++i) {
          const kernels::CosineSums sums{dots[i], a_squares, squares[i]};
          const float plain = cosine_from_sums(sums.dot, sums.a_squares, sums.b_squares);
          out[i] = in_plain_range(sums) ? plain : rescaled_cosine(a.data(), starts[i], n, plain);
        }
        break;
      }
      case Metric::Manhattan:
        // A sum in coordinate order: no kernel runs it several at a time.
        for (std::size_t i = 0; i < count; ++i) out[i] = manhattan(a, others[first + i]);
        break;
      default:
        // Not a Metric value, as in metric_value.
        std::fill(out, out + count, 0.0f);
        break;
    }
    first += count;
  }
}

float metric_value(Metric metric, std::span<const float> a, std::span<const float> b) {
  switch (metric) {
    case Metric::Cosine:
      return cosine(a, b);
    case Metric::DotProduct:
      return dot_product(a, b);
    case Metric::Euclidean:
      return euclidean(a, b);
    case Metric::Manhattan:
      return manhattan(a, b);
  }
  return 0.0f;  // Not a Metric value: no byte other than 0..3 is ever made.
}

}  // namespace quorvel
