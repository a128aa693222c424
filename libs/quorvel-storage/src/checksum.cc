#include "checksum.h"

#include <cstring>

#include "checksum_lanes.h"

namespace quorvel {
namespace checksum_lanes {

void add_stripes_plain(std::uint64_t* lanes, const std::byte* bytes, std::size_t stripes) {
  for (std::size_t s = 0; s < stripes; ++s, bytes += kStripeBytes) {
    for (std::size_t i = 0; i < kLanes; ++i) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i * sizeof word, sizeof word);
      lanes[i] = step(lanes[i], word);
    }
  }
}

AddStripes best_add_stripes() {
#if defined(__x86_64__)
  static const AddStripes best = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? add_stripes_avx2 : add_stripes_plain;
  }();
  return best;
#else
  return add_stripes_plain;
#endif
}

}  // namespace checksum_lanes

namespace {

using namespace checksum_lanes;

constexpr std::uint64_t kLaneStart = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kMix1 = 0xBF58476D1CE4E5B9ull;
constexpr std::uint64_t kMix2 = 0x94D049BB133111EBull;

// A bijection that spreads every bit over the word (splitmix64's finish).
std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * kMix1;
  x = (x ^ (x >> 27)) * kMix2;
  return x ^ (x >> 31);
}

}  // namespace

std::uint64_t checksum64(std::span<const std::byte> bytes, std::uint64_t seed) {
  static_assert(std::endian::native == std::endian::little, "stored words are little-endian");
  std::uint64_t lanes[kLanes];
  // Unrolled here and in the fold below: short inputs (the change entries)
  // would otherwise spend several times longer on the lanes than on their
  // bytes.
#pragma GCC unroll 64
  for (std::size_t i = 0; i < kLanes; ++i) lanes[i] = seed + (i + 1) * kLaneStart;
  const std::size_t stripes = bytes.size() / kStripeBytes;
  if (stripes > 0) best_add_stripes()(lanes, bytes.data(), stripes);

  // The words after the last whole stripe go to the lanes in order, the
  // last partial word padded with zeros (the length, mixed in below, tells
  // the padding from stored zeros).
  const std::byte* p = bytes.data() + stripes * kStripeBytes;
  const std::size_t rest = bytes.size() - stripes * kStripeBytes;
  const std::size_t whole_words = rest / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < whole_words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, p + i * sizeof word, sizeof word);
    lanes[i] = step(lanes[i], word);
  }
  if (const std::size_t tail = rest % sizeof(std::uint64_t); tail > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p + whole_words * sizeof word, tail);
    lanes[whole_words] = step(lanes[whole_words], word);
  }

  // The lanes fold in halves, each pair by the lane step: a step is a
  // bijection of either input for a given other, so a change of one lane
  // still changes the one left. Then the length, and a final mix.
  for (std::size_t width = kLanes / 2; width > 0; width /= 2) {
#pragma GCC unroll 32
    for (std::size_t i = 0; i < width; ++i) lanes[i] = step(lanes[i], lanes[i + width]);
  }
  return mix(lanes[0] ^ mix(bytes.size()));
}

}  // namespace quorvel
