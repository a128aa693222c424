#pragma once

namespace quorvel {

// The shortest decimal that reads back as `value`, the closest to it of all
// such decimals, a tie going to the even one: the digits std::to_chars
// gives. Writes them to `digits` (at most 9, no trailing zeros), sets
// `exponent` to the decimal exponent of the first digit and returns how many
// digits were written. REQUIRES: `value` positive, finite and normal.
int shortest_float_digits(float value, char* digits, int& exponent);

}  // namespace quorvel
