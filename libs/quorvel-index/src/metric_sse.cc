// The metric loops on SSE registers: a block of eight coordinates is two
// 4-lane registers, lanes 0-3 and 4-7. SSE is part of baseline x86-64.
#if defined(__x86_64__)

#include <immintrin.h>

#include "metric_blocks.h"

namespace quorvel::kernels {
namespace {

struct SseLanes {
  struct V {
    __m128 low;
    __m128 high;
  };
  static V zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
  static V load(const float* p) { return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)}; }
  static V add(V x, V y) { return {_mm_add_ps(x.low, y.low), _mm_add_ps(x.high, y.high)}; }
  static V sub(V x, V y) { return {_mm_sub_ps(x.low, y.low), _mm_sub_ps(x.high, y.high)}; }
  static V mul(V x, V y) { return {_mm_mul_ps(x.low, y.low), _mm_mul_ps(x.high, y.high)}; }
  static void store(float* out, V x) {
    _mm_storeu_ps(out, x.low);
    _mm_storeu_ps(out + 4, x.high);
  }
};

}  // namespace

constinit const KernelSet kSseKernels = make_kernel_set<SseLanes>("sse");

}  // namespace quorvel::kernels

#endif
