// The checksum's stripe loop on AVX2 registers: four lanes a register,
// sixteen registers a stripe, so that enough multiplies are in flight to
// hide their latency. This file alone is compiled with -mavx2; checksum.cc
// calls it only on processors that report AVX2.
#if defined(__x86_64__)

#include <immintrin.h>

#include "checksum_lanes.h"

namespace quorvel::checksum_lanes {
namespace {

constexpr std::size_t kRegisters = kLanes / 4;

// The low 64 bits of x * m in each lane, from three 32x32 multiplies.
__m256i multiply(__m256i x, __m256i m, __m256i m_high) {
  const __m256i low = _mm256_mul_epu32(x, m);
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), m), _mm256_mul_epu32(x, m_high));
  return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}

}  // namespace

void add_stripes_avx2(std::uint64_t* lanes, const std::byte* bytes, std::size_t stripes) {
  const __m256i m = _mm256_set1_epi64x(static_cast<long long>(kMultiplier));
  const __m256i m_high = _mm256_srli_epi64(m, 32);
  __m256i state[kRegisters];
  for (std::size_t r = 0; r < kRegisters; ++r) state[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes + 4 * r));
  for (std::size_t s = 0; s < stripes; ++s, bytes += kStripeBytes) {
    for (std::size_t r = 0; r < kRegisters; ++r) {
      const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32 * r));
      // Swapping the halves of each 64-bit lane is its rotation by 32.
      state[r] = _mm256_shuffle_epi32(multiply(_mm256_add_epi64(state[r], words), m, m_high), 0xB1);
    }
  }
  for (std::size_t r = 0; r < kRegisters; ++r) _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes + 4 * r), state[r]);
}

}  // namespace quorvel::checksum_lanes

#endif
