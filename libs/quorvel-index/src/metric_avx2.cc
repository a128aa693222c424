// The metric loops on AVX registers: a block of eight coordinates is one
// 8-lane register. This file alone is compiled with -mavx2 (and without
// -mfma, so that no multiply-add can be fused); metric.cc calls it only on
// processors that report AVX2.
#if defined(__x86_64__)

#include <immintrin.h>

#include "metric_blocks.h"

namespace quorvel::kernels {
namespace {

struct Avx2Lanes {
  using V = __m256;
  static V zero() { return _mm256_setzero_ps(); }
  static V load(const float* p) { return _mm256_loadu_ps(p); }
  static V add(V x, V y) { return _mm256_add_ps(x, y); }
  static V sub(V x, V y) { return _mm256_sub_ps(x, y); }
  static V mul(V x, V y) { return _mm256_mul_ps(x, y); }
  static void store(float* out, V x) { _mm256_storeu_ps(out, x); }
};

}  // namespace

constinit const KernelSet kAvx2Kernels = make_kernel_set<Avx2Lanes>("avx2");

}  // namespace quorvel::kernels

#endif
