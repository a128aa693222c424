#pragma once

// The summing loops behind the metric functions, once per instruction set.
// Every set gives the same bits: eight running sums over blocks of eight
// coordinates, combined as ((s0 + s1) + s2) + s3 + (((s4 + s5) + s6) + s7),
// then the remaining coordinates added one at a time, with no fused
// multiply-add. Internal to the index library and its tests.

#include <cstddef>

namespace quorvel::kernels {

// The three totals of a cosine: the dot product and both sums of squares.
struct CosineSums {
  float dot;
  float a_squares;
  float b_squares;
};

// One instruction set's loops over the first n coordinates of a and b.
struct KernelSet {
  const char* name;
  float (*dot)(const float* a, const float* b, std::size_t n);
  float (*squared_distance)(const float* a, const float* b, std::size_t n);
  CosineSums (*cosine_sums)(const float* a, const float* b, std::size_t n);
};

// Plain loops; the only set on processors other than x86-64.
extern const KernelSet kScalarKernels;
#if defined(__x86_64__)
// Two 4-lane SSE registers per block (baseline x86-64).
extern const KernelSet kSseKernels;
// One 8-lane AVX register per block; only for processors with AVX2.
extern const KernelSet kAvx2Kernels;
#endif

// The fastest set this processor can run, chosen once.
const KernelSet& best_kernels();

}  // namespace quorvel::kernels
