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
//
// The "many" loops take one vector `a` and `count` vectors `others`, and
// write for each other vector the bits its one-pair loop gives, in
// out[0..count): they run several vectors side by side, so that their
// independent chains of additions keep the processor busy where one chain
// would leave it waiting on each addition.
struct KernelSet {
  const char* name;
  float (*dot)(const float* a, const float* b, std::size_t n);
  float (*squared_distance)(const float* a, const float* b, std::size_t n);
  CosineSums (*cosine_sums)(const float* a, const float* b, std::size_t n);
  // dot(a, others[i], n) for each i.
  void (*dot_many)(const float* a, const float* const* others, std::size_t count, std::size_t n, float* out);
  // squared_distance(a, others[i], n) for each i.
  void (*squared_distance_many)(const float* a, const float* const* others, std::size_t count, std::size_t n,
                                float* out);
  // squared_distance(a, others[i], n) for each i, except that summing may
  // stop for a vector once its running total has reached `limit`: out[i] is
  // then a value of at least `limit`, and the squared distance is either at
  // least out[i] or NaN. (Every term is a square, so no running total ever
  // decreases; a NaN `limit` stops nothing.)
  void (*squared_distance_many_up_to)(const float* a, const float* const* others, std::size_t count,
                                      std::size_t n, float limit, float* out);
  // The dot and the others' sums of squares of cosine_sums(a, others[i], n)
  // for each i; a's own sum of squares is the same for every i (dot(a, a, n)).
  void (*cosine_sums_many)(const float* a, const float* const* others, std::size_t count, std::size_t n,
                           float* dots, float* others_squares);
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
