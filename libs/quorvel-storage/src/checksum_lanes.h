#pragma once

// The lane step of checksum64 and the two loops that apply it to whole
// stripes: the plain one and, on x86-64, the AVX2 one. Both give the same
// lanes for the same bytes.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quorvel::checksum_lanes {

inline constexpr std::size_t kLanes = 64;
inline constexpr std::size_t kStripeBytes = kLanes * sizeof(std::uint64_t);
inline constexpr std::uint64_t kMultiplier = 0x9E3779B185EBCA87ull;

// Add the word, multiply by an odd constant, swap the 32-bit halves: each a
// bijection of the lane for a given word and of the word for a given lane,
// so one changed word always leaves its lane changed. The swap carries the
// product's well-mixed high half down into the bits the next multiply
// spreads upwards.
inline std::uint64_t step(std::uint64_t lane, std::uint64_t word) {
  return std::rotl((lane + word) * kMultiplier, 32);
}

// Steps `lanes` over `stripes` whole stripes at `bytes`: word i of a stripe
// goes to lane i.
void add_stripes_plain(std::uint64_t* lanes, const std::byte* bytes, std::size_t stripes);
#if defined(__x86_64__)
void add_stripes_avx2(std::uint64_t* lanes, const std::byte* bytes, std::size_t stripes);
#endif

// The loop the processor runs fastest.
using AddStripes = void (*)(std::uint64_t*, const std::byte*, std::size_t);
AddStripes best_add_stripes();

}  // namespace quorvel::checksum_lanes
