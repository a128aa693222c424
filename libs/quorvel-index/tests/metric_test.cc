#include "quorvel/index/metric.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "metric_kernels.h"

namespace quorvel {
namespace {

using Vec = std::vector<float>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The summation order written out plainly, one coordinate at a time, as the
// reference every fast path must match bit for bit.
template <typename Term>
float reference_sum(std::size_t n, Term term) {
  const std::size_t blocks_end = n / 8 * 8;
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < blocks_end; ++i) s[i % 8] = s[i % 8] + term(i);
  float total = (((s[0] + s[1]) + s[2]) + s[3]) + (((s[4] + s[5]) + s[6]) + s[7]);
  for (std::size_t i = blocks_end; i < n; ++i) total = total + term(i);
  return total;
}

float reference(Metric metric, const Vec& a, const Vec& b) {
  const std::size_t n = std::min(a.size(), b.size());
  const auto dot = [&](std::size_t i) { return a[i] * b[i]; };
  switch (metric) {
    case Metric::Cosine: {
      const float ab = reference_sum(n, dot);
      const float aa = reference_sum(n, [&](std::size_t i) { return a[i] * a[i]; });
      const float bb = reference_sum(n, [&](std::size_t i) { return b[i] * b[i]; });
      if (aa == 0.0f || bb == 0.0f) return 0.0f;
      return ab / (std::sqrt(aa) * std::sqrt(bb));
    }
    case Metric::DotProduct:
      return reference_sum(n, dot);
    case Metric::Euclidean:
      return std::sqrt(reference_sum(n, [&](std::size_t i) {
        const float d = a[i] - b[i];
        return d * d;
      }));
    case Metric::Manhattan: {
      float total = 0.0f;
      for (std::size_t i = 0; i < n; ++i) total = total + std::fabs(a[i] - b[i]);
      return total;
    }
  }
  return 0.0f;
}

// Equal bits; any NaN equals any NaN (payloads are not part of a result).
bool same_bits(float x, float y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
}

std::string describe(float x) {
  return std::to_string(x) + " (bits " + std::to_string(std::bit_cast<std::uint32_t>(x)) + ")";
}

constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::DotProduct, Metric::Euclidean,
                                  Metric::Manhattan};

std::vector<const kernels::KernelSet*> runnable_kernel_sets() {
  std::vector<const kernels::KernelSet*> sets{&kernels::kScalarKernels};
#if defined(__x86_64__)
  sets.push_back(&kernels::kSseKernels);
  if (__builtin_cpu_supports("avx2")) sets.push_back(&kernels::kAvx2Kernels);
#endif
  return sets;
}

// Random vectors of mixed magnitudes, so that roundings differ between
// summation orders and a wrong order shows up in the bits.
Vec random_vector(std::mt19937& rng, std::size_t length) {
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-12, 12);
  Vec v(length);
  for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
  return v;
}

// Pairs that exercise every path: random pairs of lengths 0..70 (equal and
// unequal), the documented examples and the special values.
std::vector<std::pair<Vec, Vec>> test_pairs() {
  std::mt19937 rng(20261210);
  std::vector<std::pair<Vec, Vec>> pairs;
  for (std::size_t n = 0; n <= 70; ++n) {
    pairs.emplace_back(random_vector(rng, n), random_vector(rng, n));
    pairs.emplace_back(random_vector(rng, n), random_vector(rng, (n * 7 + 3) % 71));
  }
  const Vec specials = {kNaN, kInf, -kInf, -0.0f, 1e-40f, 3e38f, -3e38f, 0.0f, 1.0f};
  for (float special : specials) {
    for (std::size_t at : {0u, 5u, 8u, 16u}) {
      Vec a = random_vector(rng, 17);
      a[at] = special;
      pairs.emplace_back(a, random_vector(rng, 17));
    }
  }
  // The documented examples, zero vectors, multiples and negations.
  const std::pair<Vec, Vec> examples[] = {
      {{1, 2, 3}, {4, 5, 6}},       {{1, -2}, {-1, 2}},          {{0, 0}, {3, 4}},
      {{1, 2, 3}, {1, 2, 3, 9, 9}}, {{1, 1, 1}, {1, 1, 1, 5, 5}}, {{0, 0, 0}, {0, 0, 0}},
  };
  pairs.insert(pairs.end(), std::begin(examples), std::end(examples));
  for (std::size_t n : {7u, 8u, 9u, 16u, 17u}) {
    const Vec v = random_vector(rng, n);
    Vec scaled = v;
    Vec negated = v;
    for (float& x : scaled) x *= 3.0f;
    for (float& x : negated) x = -x;
    pairs.emplace_back(v, v);
    pairs.emplace_back(v, scaled);
    pairs.emplace_back(v, negated);
  }
  pairs.emplace_back(Vec(17, 0.0f), random_vector(rng, 17));
  pairs.emplace_back(Vec(24, 3e30f), Vec(24, 3e30f));  // Sums overflow to infinity.
  return pairs;
}

TEST(MetricTest, EnumerationBytesAndDirections) {
  EXPECT_EQ(sizeof(Metric), 1u);
  EXPECT_EQ(static_cast<int>(Metric::Cosine), 0);
  EXPECT_EQ(static_cast<int>(Metric::DotProduct), 1);
  EXPECT_EQ(static_cast<int>(Metric::Euclidean), 2);
  EXPECT_EQ(static_cast<int>(Metric::Manhattan), 3);
  EXPECT_TRUE(larger_is_closer(Metric::Cosine));
  EXPECT_TRUE(larger_is_closer(Metric::DotProduct));
  EXPECT_FALSE(larger_is_closer(Metric::Euclidean));
  EXPECT_FALSE(larger_is_closer(Metric::Manhattan));
}

TEST(MetricTest, NamesReadBackAndNothingElseNamesAMetric) {
  for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean, Metric::Manhattan}) {
    EXPECT_EQ(metric_named(metric_name(metric)), metric);
  }
  EXPECT_EQ(metric_name(Metric::DotProduct), "dot");
  for (const char* other : {"", "Cosine", "dot_product", "l2"}) EXPECT_EQ(metric_named(other), std::nullopt) << other;
}

TEST(MetricTest, ChoosesAvx2ExactlyWhereTheProcessorHasIt) {
#if defined(__x86_64__)
  EXPECT_STREQ(kernels::best_kernels().name, __builtin_cpu_supports("avx2") ? "avx2" : "sse");
#else
  EXPECT_STREQ(kernels::best_kernels().name, "scalar");
#endif
}

TEST(MetricTest, EveryKernelSetMatchesTheReferenceBitForBit) {
  const auto pairs = test_pairs();
  for (const kernels::KernelSet* set : runnable_kernel_sets()) {
    SCOPED_TRACE(set->name);
    for (const auto& [a, b] : pairs) {
      const std::size_t n = std::min(a.size(), b.size());
      SCOPED_TRACE("n = " + std::to_string(n));
      const float dot = reference(Metric::DotProduct, a, b);
      const float euclid = reference(Metric::Euclidean, a, b);
      const Vec a_head(a.begin(), a.begin() + n);
      const Vec b_head(b.begin(), b.begin() + n);
      const float a_squares = reference(Metric::DotProduct, a_head, a_head);
      const float b_squares = reference(Metric::DotProduct, b_head, b_head);

      EXPECT_PRED2(same_bits, set->dot(a.data(), b.data(), n), dot);
      EXPECT_PRED2(same_bits, std::sqrt(set->squared_distance(a.data(), b.data(), n)), euclid);
      const kernels::CosineSums sums = set->cosine_sums(a.data(), b.data(), n);
      EXPECT_PRED2(same_bits, sums.dot, dot);
      EXPECT_PRED2(same_bits, sums.a_squares, a_squares);
      EXPECT_PRED2(same_bits, sums.b_squares, b_squares);
    }
  }
}

// True when the plain cosine formula applies to a and b: both sums of
// squares, and the product of their roots, are normal floats (see
// CosineKeepsItsValueAtExtremeMagnitudes for the rest).
bool plain_cosine_applies(const Vec& a, const Vec& b) {
  const std::size_t n = std::min(a.size(), b.size());
  const Vec a_head(a.begin(), a.begin() + n);
  const Vec b_head(b.begin(), b.begin() + n);
  const float aa = reference(Metric::DotProduct, a_head, a_head);
  const float bb = reference(Metric::DotProduct, b_head, b_head);
  const auto normal = [](float x) { return std::isnormal(x) && x > 0; };
  const auto finite = [](const Vec& v) { return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); }); };
  // A NaN or infinite coordinate keeps the formula's value, NaN.
  if (!finite(a_head) || !finite(b_head)) return true;
  return normal(aa) && normal(bb) && std::isfinite(std::sqrt(aa) * std::sqrt(bb));
}

// The many-vector loops give each vector the bits of its one-pair loop,
// whatever the number of vectors (full groups and every remainder) and
// length (with and without blocks and tail), special values included.
TEST(MetricTest, ManyVectorLoopsMatchTheOnePairLoopsBitForBit) {
  std::mt19937 rng(31);
  const Vec specials = {kNaN, kInf, -kInf, 3e38f, 0.0f};
  for (const kernels::KernelSet* set : runnable_kernel_sets()) {
    SCOPED_TRACE(set->name);
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 16u, 23u, 40u, 65u}) {
      for (std::size_t count = 1; count <= 9; ++count) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", count = " + std::to_string(count));
        const Vec a = random_vector(rng, n);
        std::vector<Vec> others;
        std::vector<const float*> starts;
        for (std::size_t v = 0; v < count; ++v) {
          others.push_back(random_vector(rng, n));
          if (n > 0 && v == 2) others.back()[n / 2] = specials[count % specials.size()];
        }
        for (const Vec& other : others) starts.push_back(other.data());
        Vec dots(count), squared(count), cosine_dots(count), squares(count);
        set->dot_many(a.data(), starts.data(), count, n, dots.data());
        set->squared_distance_many(a.data(), starts.data(), count, n, squared.data());
        set->cosine_sums_many(a.data(), starts.data(), count, n, cosine_dots.data(), squares.data());
        for (std::size_t v = 0; v < count; ++v) {
          const kernels::CosineSums sums = set->cosine_sums(a.data(), others[v].data(), n);
          EXPECT_PRED2(same_bits, dots[v], set->dot(a.data(), others[v].data(), n)) << v;
          EXPECT_PRED2(same_bits, squared[v], set->squared_distance(a.data(), others[v].data(), n)) << v;
          EXPECT_PRED2(same_bits, cosine_dots[v], sums.dot) << v;
          EXPECT_PRED2(same_bits, squares[v], sums.b_squares) << v;
          EXPECT_PRED2(same_bits, set->dot(a.data(), a.data(), n), sums.a_squares) << v;
        }
      }
    }
  }
}

// The stopping loop: every squared distance below the limit is exact; one
// at or beyond it is exact or a value at or beyond the limit that the
// distance does not fall below (a NaN distance may show any such value).
// A NaN or infinite limit stops nothing short of the end.
TEST(MetricTest, SquaredDistancesUpToALimitAreExactBelowItAndBoundsBeyond) {
  std::mt19937 rng(53);
  for (const kernels::KernelSet* set : runnable_kernel_sets()) {
    SCOPED_TRACE(set->name);
    for (std::size_t n : {0u, 5u, 8u, 19u, 64u, 200u}) {
      const Vec a = random_vector(rng, n);
      std::vector<Vec> others;
      for (std::size_t v = 0; v < 21; ++v) others.push_back(random_vector(rng, n));
      if (n > 0) others[4][n - 1] = kNaN;
      if (n > 0) others[7][0] = kInf;
      std::vector<const float*> starts;
      Vec exact(others.size());
      for (std::size_t v = 0; v < others.size(); ++v) {
        starts.push_back(others[v].data());
        exact[v] = set->squared_distance(a.data(), others[v].data(), n);
      }
      Vec sorted = exact;
      std::sort(sorted.begin(), sorted.end());  // NaN placement does not matter here
      const float limits[] = {kNaN, kInf, sorted[5], sorted[10], sorted[15], 0.0f};
      for (const float limit : limits) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", limit " + describe(limit));
        Vec out(others.size());
        set->squared_distance_many_up_to(a.data(), starts.data(), starts.size(), n, limit, out.data());
        for (std::size_t v = 0; v < others.size(); ++v) {
          if (!(exact[v] >= limit) && !std::isnan(exact[v])) {
            EXPECT_PRED2(same_bits, out[v], exact[v]) << v;
          } else {
            EXPECT_TRUE(same_bits(out[v], exact[v]) || (out[v] >= limit && !(exact[v] < out[v]))) << v;
          }
        }
      }
    }
  }
}

// metric_values gives every pair the bits of metric_value: over more vectors
// than one run of the kernels takes, with lengths that change along the
// list (each run has one common length) and vectors shorter and longer
// than `a`.
TEST(MetricTest, MetricValuesMatchOneCallPerPair) {
  std::mt19937 rng(41);
  const Vec a = random_vector(rng, 33);
  std::vector<Vec> others;
  for (std::size_t v = 0; v < 150; ++v) {
    const std::size_t length = v < 70 ? 33 : v < 75 ? v % 5 : v < 140 ? 40 : 33;
    others.push_back(random_vector(rng, length));
  }
  others[10][3] = kNaN;
  others.push_back(Vec(33, 0.0f));  // a zero vector: cosine 0.0
  const std::vector<std::span<const float>> views(others.begin(), others.end());
  for (Metric metric : kAllMetrics) {
    SCOPED_TRACE("metric " + std::to_string(static_cast<int>(metric)));
    Vec values(views.size());
    metric_values(metric, a, views, values);
    for (std::size_t v = 0; v < views.size(); ++v) {
      EXPECT_PRED2(same_bits, values[v], metric_value(metric, a, views[v])) << v;
    }
  }
  metric_values(Metric::Euclidean, a, {}, {});  // nothing to compute
}

TEST(MetricTest, PublicFunctionsMatchTheReferenceAndIgnoreArgumentOrder) {
  for (const auto& [a, b] : test_pairs()) {
    for (Metric metric : kAllMetrics) {
      SCOPED_TRACE("metric " + std::to_string(static_cast<int>(metric)) + ", lengths " +
                   std::to_string(a.size()) + " and " + std::to_string(b.size()));
      const float expected = reference(metric, a, b);
      const float forward = metric_value(metric, a, b);
      const float swapped = metric_value(metric, b, a);
      const bool plain = metric != Metric::Cosine || plain_cosine_applies(a, b);
      if (plain) {
        EXPECT_PRED2(same_bits, forward, expected) << describe(forward) << " vs " << describe(expected);
      }
      EXPECT_PRED2(same_bits, swapped, forward) << describe(swapped) << " vs " << describe(forward);
    }
    EXPECT_PRED2(same_bits, cosine(a, b), metric_value(Metric::Cosine, a, b));
    EXPECT_PRED2(same_bits, dot_product(a, b), metric_value(Metric::DotProduct, a, b));
    EXPECT_PRED2(same_bits, euclidean(a, b), metric_value(Metric::Euclidean, a, b));
    EXPECT_PRED2(same_bits, manhattan(a, b), metric_value(Metric::Manhattan, a, b));
  }
}

// With the sums of squares known, cosine gives the same bits from one sum.
TEST(MetricTest, CosineWithKnownSquaresIsCosine) {
  for (const auto& [a, b] : test_pairs()) {
    const std::size_t n = std::min(a.size(), b.size());
    const std::span<const float> a_head(a.data(), n);
    const std::span<const float> b_head(b.data(), n);
    EXPECT_PRED2(same_bits, cosine_with_squares(a_head, b_head, sum_of_squares(a_head), sum_of_squares(b_head)),
                 cosine(a, b))
        << "n = " << n;
  }
}

TEST(MetricTest, KnownValues) {
  struct Case {
    Metric metric;
    Vec a;
    Vec b;
    float expected;
  };
  const Case cases[] = {
      {Metric::DotProduct, {1, 2, 3}, {4, 5, 6}, 32.0f},
      {Metric::Manhattan, {1, -2}, {-1, 2}, 6.0f},
      {Metric::Euclidean, {0, 0}, {3, 4}, 5.0f},
      // Only the first min(len a, len b) coordinates count.
      {Metric::Euclidean, {1, 2, 3}, {1, 2, 3, 9, 9}, 0.0f},
      {Metric::DotProduct, {1, 1, 1}, {1, 1, 1, 5, 5}, 3.0f},
      {Metric::Cosine, {1, 0}, {0, 1, 7}, 0.0f},
      // A zero sum of squares on either side gives 0.0.
      {Metric::Cosine, {0, 0, 0}, {1, 2, 3}, 0.0f},
      {Metric::Cosine, {1, 2, 3}, {0, 0, 0}, 0.0f},
      {Metric::Cosine, {0, 0}, {0, 0}, 0.0f},
      {Metric::Cosine, {1, 2, 3}, {0, 0, 0, 4}, 0.0f},
      {Metric::Cosine, {-1, -1}, {1, 1}, -1.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("metric " + std::to_string(static_cast<int>(c.metric)));
    EXPECT_FLOAT_EQ(metric_value(c.metric, c.a, c.b), c.expected);
  }
}

TEST(MetricTest, EmptyVectorGivesZeroUnderEveryMetric) {
  const Vec empty;
  const Vec some = {1, 2, 3};
  for (Metric metric : kAllMetrics) {
    EXPECT_EQ(metric_value(metric, empty, some), 0.0f);
    EXPECT_EQ(metric_value(metric, some, empty), 0.0f);
    EXPECT_EQ(metric_value(metric, empty, empty), 0.0f);
  }
}

TEST(MetricTest, CosineOfMultiplesAndNegation) {
  std::mt19937 rng(7);
  for (std::size_t n : {1u, 7u, 8u, 9u, 16u, 17u, 384u}) {
    const Vec v = random_vector(rng, n);
    Vec scaled = v;
    Vec negated = v;
    for (float& x : scaled) x *= 2.5f;
    for (float& x : negated) x = -x;
    EXPECT_NEAR(cosine(v, v), 1.0f, 1e-6f) << n;
    EXPECT_NEAR(cosine(v, scaled), 1.0f, 1e-6f) << n;
    EXPECT_NEAR(cosine(v, negated), -1.0f, 1e-6f) << n;
  }
}

// Lengths without blocks (7), without a tail (8, 16) and with both (9, 17)
// agree with the formula computed in double precision, up to float rounding.
TEST(MetricTest, BlockAndTailLengthsAgreeWithTheFormula) {
  std::mt19937 rng(11);
  for (std::size_t n : {7u, 8u, 9u, 16u, 17u}) {
    const Vec a = random_vector(rng, n);
    const Vec b = random_vector(rng, n);
    double dot = 0, aa = 0, bb = 0, squared = 0, manhattan_sum = 0, magnitude = 0;
    for (std::size_t i = 0; i < n; ++i) {
      dot += double(a[i]) * b[i];
      aa += double(a[i]) * a[i];
      bb += double(b[i]) * b[i];
      squared += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
      manhattan_sum += std::fabs(double(a[i]) - b[i]);
      magnitude += std::fabs(double(a[i]) * b[i]);
    }
    const double tolerance = 1e-5;
    SCOPED_TRACE("n = " + std::to_string(n));
    EXPECT_NEAR(dot_product(a, b), dot, tolerance * magnitude);
    EXPECT_NEAR(cosine(a, b), dot / (std::sqrt(aa) * std::sqrt(bb)), tolerance);
    EXPECT_NEAR(euclidean(a, b), std::sqrt(squared), tolerance * std::sqrt(squared));
    EXPECT_NEAR(manhattan(a, b), manhattan_sum, tolerance * manhattan_sum);
  }
}

TEST(MetricTest, NonFiniteInputs) {
  // A NaN sum of squares is not zero: the cosine is NaN, not 0.0.
  EXPECT_TRUE(std::isnan(cosine(Vec{kNaN, 1}, Vec{1, 1})));
  EXPECT_EQ(cosine(Vec{0, 0}, Vec{kNaN, 1}), 0.0f);  // The zero test comes first.
  EXPECT_TRUE(std::isnan(dot_product(Vec{kInf}, Vec{0})));
  EXPECT_EQ(euclidean(Vec{kInf}, Vec{0}), kInf);
}

// Sums of squares that overflow (coordinates beyond about 1e19) or underflow
// (below about 1e-19) in 32-bit floats would give NaN (inf / inf) or 0.0;
// the vectors are compared at a scale where they do not, so the cosine keeps
// its value, and stays the same with the arguments swapped.
TEST(MetricTest, CosineKeepsItsValueAtExtremeMagnitudes) {
  const std::pair<Vec, Vec> cases[] = {
      {Vec(8, 3e30f), Vec(8, 3e30f)},
      {{1e20f, 1e20f}, {1e20f, 1e20f}},
      {{1e20f, -1e20f}, {1e20f, 1e20f}},
      {{1e-23f, 2e-23f, 5e-24f}, {3e-23f, -1e-23f, 7e-24f}},
      {{1e-40f, 0.0f}, {1.0f, 0.0f}},
      {{1.0f, 2.0f, 3.0f}, {1e20f, 2e20f, 3e20f}},
      {{1e25f, 1.0f, 0.0f, 4e24f, 1e25f, 1e25f, 1e25f, 1e25f, 3e24f}, {1.0f, 1e25f, 2e25f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}},
  };
  for (const auto& [a, b] : cases) {
    double dot = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
      dot += double(a[i]) * b[i];
      aa += double(a[i]) * a[i];
      bb += double(b[i]) * b[i];
    }
    const double expected = dot / (std::sqrt(aa) * std::sqrt(bb));
    SCOPED_TRACE("expected " + std::to_string(expected));
    EXPECT_NEAR(cosine(a, b), expected, 1e-6);
    EXPECT_PRED2(same_bits, cosine(b, a), cosine(a, b));
    // The loops that score many vectors at once agree.
    const std::span<const float> others[] = {b, b};
    float values[2];
    metric_values(Metric::Cosine, a, others, values);
    EXPECT_PRED2(same_bits, values[1], cosine(a, b));
  }
  // A zero vector still scores 0.0, and an infinite coordinate still NaN.
  EXPECT_EQ(cosine(Vec{0, 0}, Vec{1e30f, 1e30f}), 0.0f);
  EXPECT_TRUE(std::isnan(cosine(Vec{kInf, 1e30f}, Vec{1e30f, 1e30f})));
}

}  // namespace
}  // namespace quorvel
