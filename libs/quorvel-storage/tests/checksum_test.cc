#include "checksum.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "checksum_lanes.h"

namespace quorvel {
namespace {

std::vector<std::byte> random_bytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::byte> bytes(count);
  for (std::byte& byte : bytes) byte = static_cast<std::byte>(random());
  return bytes;
}

// The checksum by its definition, one word at a time: word w (little-endian,
// the last one padded with zeros) steps lane w mod 64; the lanes start at
// seed + (i + 1) * C; they fold in halves by the same step; the length and
// the splitmix64 finish close it.
std::uint64_t reference_checksum(const std::vector<std::byte>& bytes, std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B185EBCA87ull;
  const auto step = [](std::uint64_t lane, std::uint64_t word) { return std::rotl((lane + word) * kMultiplier, 32); };
  const auto mix = [](std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  };
  std::uint64_t lanes[64];
  for (std::uint64_t i = 0; i < 64; ++i) lanes[i] = seed + (i + 1) * 0xC2B2AE3D27D4EB4Full;
  for (std::size_t at = 0; at < bytes.size(); at += 8) {
    std::uint64_t word = 0;
    for (std::size_t b = 0; b < 8 && at + b < bytes.size(); ++b) {
      word |= static_cast<std::uint64_t>(bytes[at + b]) << (8 * b);
    }
    lanes[(at / 8) % 64] = step(lanes[(at / 8) % 64], word);
  }
  for (std::size_t width = 32; width > 0; width /= 2) {
    for (std::size_t i = 0; i < width; ++i) lanes[i] = step(lanes[i], lanes[i + width]);
  }
  return mix(lanes[0] ^ mix(bytes.size()));
}

// Lengths around the word (8 bytes) and the stripe (64 words) and their
// tails, and a whole block of the companion.
constexpr std::size_t kLengths[] = {0, 1, 7, 8, 9, 63, 504, 511, 512, 513, 1023, 1029, 4096 + 3, 256 * 1024};

TEST(Checksum, MatchesItsDefinition) {
  for (const std::size_t length : kLengths) {
    for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{0x5eed}}) {
      SCOPED_TRACE("length " + std::to_string(length) + ", seed " + std::to_string(seed));
      const std::vector<std::byte> bytes = random_bytes(length, static_cast<std::uint32_t>(length));
      EXPECT_EQ(checksum64(bytes, seed), reference_checksum(bytes, seed));
    }
  }
}

// The AVX2 loop is what this machine runs when it has AVX2; the plain one is
// what others run. Both must leave the same lanes.
TEST(Checksum, StripeLoopsAgree) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 here";
  const std::vector<std::byte> bytes = random_bytes(7 * checksum_lanes::kStripeBytes, 11);
  std::uint64_t plain[checksum_lanes::kLanes];
  std::uint64_t avx2[checksum_lanes::kLanes];
  for (std::size_t i = 0; i < checksum_lanes::kLanes; ++i) plain[i] = avx2[i] = i * 0x0123456789ABCDEFull;
  checksum_lanes::add_stripes_plain(plain, bytes.data(), 7);
  checksum_lanes::add_stripes_avx2(avx2, bytes.data(), 7);
  EXPECT_EQ(std::memcmp(plain, avx2, sizeof plain), 0);
#else
  GTEST_SKIP() << "no AVX2 loop on this processor";
#endif
}

TEST(Checksum, EverySingleBitFlipShows) {
  for (const std::size_t length : {1, 7, 8, 63, 511, 512, 513, 1029}) {
    SCOPED_TRACE("length " + std::to_string(length));
    std::vector<std::byte> bytes = random_bytes(length, 3);
    const std::uint64_t intact = checksum64(bytes);
    for (std::size_t at = 0; at < length; ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        bytes[at] ^= static_cast<std::byte>(1 << bit);
        EXPECT_NE(checksum64(bytes), intact) << "byte " << at << ", bit " << bit;
        bytes[at] ^= static_cast<std::byte>(1 << bit);
      }
    }
  }
}

// Zero padding of the last word does not hide a length: trailing zero bytes
// change the checksum.
TEST(Checksum, TrailingZerosShow) {
  std::vector<std::byte> bytes = random_bytes(5, 9);
  std::vector<std::uint64_t> seen = {checksum64(bytes)};
  for (int added = 0; added < 9; ++added) {
    bytes.push_back(std::byte{0});
    const std::uint64_t now = checksum64(bytes);
    for (const std::uint64_t before : seen) EXPECT_NE(now, before) << bytes.size() << " bytes";
    seen.push_back(now);
  }
}

}  // namespace
}  // namespace quorvel
