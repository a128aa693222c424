#pragma once

#include <cstddef>
#include <string>

namespace quorvel::json {

// The bytes write_plain_float() may write at `out`: its text, at most 24
// bytes, and scratch after it. Room enough for the general path's text too.
inline constexpr std::size_t kPlainFloatBytes = 32;

// Writes `value` at `out` as the compact writer does (its shortest
// round-trip digits, positional), when it is a normal float whose decimal
// exponent lies in -6..12 and so needs no exponent notation, and returns
// the end of its text; returns nullptr, having written nothing, for every
// other value (zero, subnormal, NaN, infinite, or an exponent outside that
// range), which the general path writes. REQUIRES: kPlainFloatBytes
// writable at `out`.
char* write_plain_float(char* out, float value);

// The general path: the shortest round-trip digits from std::to_chars,
// laid out in the compact form.
void append_float_by_to_chars(std::string& out, float value);

}  // namespace quorvel::json
