#pragma once

// The block-of-eight loops, written once over a "Lanes" type that holds
// eight floats and adds, subtracts and multiplies them lane by lane. Each
// kernel file instantiates them with its own instruction set.
//
// Everything here has internal linkage on purpose: a kernel file compiled
// for AVX2 must not hand the linker an inline function that a baseline file
// might then call on a processor without AVX2.
//
// Lanes provides: type V; V zero(); V load(const float*) (unaligned);
// V add(V, V); V sub(V, V); V mul(V, V); void store(float* out8, V).

#include <cstddef>

#include "metric_kernels.h"

namespace quorvel::kernels {
namespace {

// ((s0 + s1) + s2) + s3 plus ((s4 + s5) + s6) + s7.
inline float combine(const float* s) {
  const float low = ((s[0] + s[1]) + s[2]) + s[3];
  const float high = ((s[4] + s[5]) + s[6]) + s[7];
  return low + high;
}

template <typename L>
float combine_lanes(typename L::V sums) {
  float lanes[8];
  L::store(lanes, sums);
  return combine(lanes);
}

template <typename L>
float block_dot(const float* a, const float* b, std::size_t n) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V sums = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    sums = L::add(sums, L::mul(L::load(a + i), L::load(b + i)));
  }
  float total = combine_lanes<L>(sums);
  for (std::size_t i = blocks_end; i < n; ++i) total += a[i] * b[i];
  return total;
}

template <typename L>
float block_squared_distance(const float* a, const float* b, std::size_t n) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V sums = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V d = L::sub(L::load(a + i), L::load(b + i));
    sums = L::add(sums, L::mul(d, d));
  }
  float total = combine_lanes<L>(sums);
  for (std::size_t i = blocks_end; i < n; ++i) {
    const float d = a[i] - b[i];
    total += d * d;
  }
  return total;
}

template <typename L>
CosineSums block_cosine_sums(const float* a, const float* b, std::size_t n) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V dot = L::zero();
  typename L::V aa = L::zero();
  typename L::V bb = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V va = L::load(a + i);
    const typename L::V vb = L::load(b + i);
    dot = L::add(dot, L::mul(va, vb));
    aa = L::add(aa, L::mul(va, va));
    bb = L::add(bb, L::mul(vb, vb));
  }
  CosineSums sums{combine_lanes<L>(dot), combine_lanes<L>(aa), combine_lanes<L>(bb)};
  for (std::size_t i = blocks_end; i < n; ++i) {
    sums.dot += a[i] * b[i];
    sums.a_squares += a[i] * a[i];
    sums.b_squares += b[i] * b[i];
  }
  return sums;
}

template <typename L>
constexpr KernelSet make_kernel_set(const char* name) {
  return KernelSet{name, &block_dot<L>, &block_squared_distance<L>, &block_cosine_sums<L>};
}

}  // namespace
}  // namespace quorvel::kernels
