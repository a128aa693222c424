#include "checksum.h"

#include <bit>
#include <cstring>

namespace quorvel {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

std::uint64_t read64(const std::byte* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

std::uint32_t read32(const std::byte* p) {
  std::uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Both steps are bijections, of the lane for a given word and of the word
// for a given lane: what makes a one-word change always show.
std::uint64_t round(std::uint64_t lane, std::uint64_t word) {
  return std::rotl(lane + word * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ round(0, lane)) * kPrime1 + kPrime4;
}

}  // namespace

std::uint64_t checksum64(std::span<const std::byte> bytes, std::uint64_t seed) {
  static_assert(std::endian::native == std::endian::little, "stored words are little-endian");
  const std::byte* p = bytes.data();
  const std::byte* const end = p + bytes.size();
  std::uint64_t hash;
  if (bytes.size() >= 32) {
    std::uint64_t lanes[4] = {seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1};
    const std::byte* const last_stripe = end - 32;
    do {
      lanes[0] = round(lanes[0], read64(p));
      lanes[1] = round(lanes[1], read64(p + 8));
      lanes[2] = round(lanes[2], read64(p + 16));
      lanes[3] = round(lanes[3], read64(p + 24));
      p += 32;
    } while (p <= last_stripe);
    hash = std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) + std::rotl(lanes[3], 18);
    for (const std::uint64_t lane : lanes) hash = merge(hash, lane);
  } else {
    hash = seed + kPrime5;
  }
  hash += bytes.size();
  for (; p + 8 <= end; p += 8) hash = std::rotl(hash ^ round(0, read64(p)), 27) * kPrime1 + kPrime4;
  if (p + 4 <= end) {
    hash = std::rotl(hash ^ (read32(p) * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
  }
  for (; p < end; ++p) hash = std::rotl(hash ^ (static_cast<std::uint64_t>(*p) * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

}  // namespace quorvel
