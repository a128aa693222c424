#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel {

// A 64-bit checksum of `bytes` (the XXH64 construction: four lanes of
// multiply-rotate rounds over 32-byte stripes, then a final mix), fast
// enough to run alongside a copy at memory speed. A change confined to one
// 8-byte word of a stripe always changes the result; any other change does
// with probability 1 - 2^-64. Pure and thread-safe.
std::uint64_t checksum64(std::span<const std::byte> bytes, std::uint64_t seed = 0);

}  // namespace quorvel
