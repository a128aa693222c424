#include "float_text.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorvel::json {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t kPowersOfTen[] = {1ULL,
                                          10ULL,
                                          100ULL,
                                          1000ULL,
                                          10000ULL,
                                          100000ULL,
                                          1000000ULL,
                                          10000000ULL,
                                          100000000ULL,
                                          1000000000ULL,
                                          10000000000ULL,
                                          100000000000ULL,
                                          1000000000000ULL,
                                          10000000000000ULL,
                                          100000000000000ULL,
                                          1000000000000000ULL,
                                          10000000000000000ULL,
                                          100000000000000000ULL,
                                          1000000000000000000ULL,
                                          10000000000000000000ULL};

// A value n * 2^binary divided by 10^decimal: its integer part, and whether
// nothing was cut off. REQUIRES: the integer part below 2^64, and n * 2^binary
// * 10^-decimal within the range the two cases below hold exactly.
struct Scaled {
  std::uint64_t whole;
  bool exact;
};

Scaled scale(std::uint64_t n, int binary, int decimal) {
  if (decimal <= 0) {
    u128 value = static_cast<u128>(n) * kPowersOfTen[-decimal];
    if (binary >= 0) return {static_cast<std::uint64_t>(value << binary), true};
    const int shift = -binary;
    const u128 cut = value & ((static_cast<u128>(1) << shift) - 1);
    return {static_cast<std::uint64_t>(value >> shift), cut == 0};
  }
  const std::uint64_t value = n << binary;  // binary >= 0 here, see write_plain_float
  return {value / kPowersOfTen[decimal], value % kPowersOfTen[decimal] == 0};
}

// The value middle * 2^-shift * 10^-decimal, for 0 < shift < 64 and
// decimal <= 0, with the interval's ends middle - below and middle + 2 (in
// the same units), all scaled to 10^decimal and, once more, to
// 10^(decimal - 1): one product, then shifts. The common case: every float
// below 2^25.
struct Bounds {
  Scaled low;
  Scaled high;
  Scaled fine;
};

Scaled shifted(u128 fixed, int shift) {
  const auto low = static_cast<std::uint64_t>(fixed);
  const auto high = static_cast<std::uint64_t>(fixed >> 64);
  return {(low >> shift) | (high << (64 - shift)), (low << (64 - shift)) == 0};
}

Bounds bounds_below_2_25(std::uint64_t middle, std::uint64_t below, int shift, int decimal) {
  const std::uint64_t power = kPowersOfTen[-decimal];
  const u128 at = static_cast<u128>(middle) * power;
  return {shifted(at - static_cast<u128>(below) * power, shift), shifted(at + 2 * static_cast<u128>(power), shift),
          shifted(at * 10, shift)};
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace

// The shortest decimal c * 10^q inside the interval of reals that read back
// as `value` (its bounds belong to it when the significand is even, as
// reading rounds ties to even), and of those the nearest to `value` (ties to
// an even c). Found in integers: the interval's ends and the value are scaled
// to units of 10^q0, where a candidate exists; then digits are dropped from
// the ends while a candidate still lies between them.
char* write_plain_float(char* out, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t biased = (bits >> 23) & 0xFF;
  const std::uint32_t fraction = bits & 0x7FFFFF;
  if (biased == 0 || biased == 0xFF) return nullptr;
  const int exponent2 = static_cast<int>(biased) - 150;  // value = significand * 2^exponent2
  // Within 2^-24 (about 6e-8) and 2^42 (about 4.4e12): beyond, the
  // exponent notation may be due, left to the general path.
  if (exponent2 < -47 || exponent2 > 19) return nullptr;
  const std::uint64_t significand = fraction | (1u << 23);
  const bool bounds_included = (significand & 1) == 0;
  // In quarters of the last place: the value, and the interval's ends
  // (the lower one nearer at a power of two, where the spacing halves).
  const std::uint64_t middle = significand * 4;
  const std::uint64_t lower = middle - (fraction == 0 && biased > 1 ? 1 : 2);
  const std::uint64_t upper = middle + 2;
  const int binary = exponent2 - 2;
  // floor(log10(value)) is this estimate or one more; in units of 10^q0 the
  // value has nine or ten digits, and the interval, over 4.5 units wide,
  // holds a candidate.
  const int estimate = ((exponent2 + 23) * 78913) >> 18;
  const int q0 = estimate - 8;

  Bounds bounds;
  if (binary < 0 && q0 <= 0) {
    bounds = bounds_below_2_25(middle, middle - lower, -binary, q0);
  } else {
    bounds = {scale(lower, binary, q0), scale(upper, binary, q0), scale(middle, binary, q0 - 1)};
  }
  const Scaled& low = bounds.low;
  const Scaled& high = bounds.high;
  const Scaled& fine = bounds.fine;
  std::uint64_t least = low.whole + (low.exact && bounds_included ? 0 : 1);
  std::uint64_t most = high.whole - (high.exact && !bounds_included ? 1 : 0);
  // The digits that can go while a candidate remains: up to four found at
  // once from independent quotients (a multiple of 10^d in the interval is a
  // multiple of every lower power too, so the tests hold up to some d and
  // fail beyond), more one at a time. Branches on these counts, which vary
  // from float to float, would mispredict.
  std::uint64_t value_at[5];
  value_at[0] = fine.whole;
  int dropped = 0;
  for (int d = 1; d <= 4; ++d) {
    // A multiple of 10^d lies in [least, most] when the greatest one up to
    // most is not below least.
    dropped += (most / kPowersOfTen[d]) * kPowersOfTen[d] >= least ? 1 : 0;
    value_at[d] = fine.whole / kPowersOfTen[d];
  }
  std::uint64_t unit = kPowersOfTen[dropped];
  // The value with one digit more (from fine), for its rounding, and
  // whether anything below that digit is cut off.
  std::uint64_t value_digits = value_at[dropped];
  bool below = !fine.exact || value_digits * unit != fine.whole;
  if (dropped == 4) {
    while ((most / (unit * 10)) * (unit * 10) >= least) {
      unit *= 10;
      below |= value_digits % 10 != 0;
      value_digits /= 10;
      ++dropped;
    }
  }
  const std::uint64_t rounding = value_digits % 10;
  std::uint64_t digits = value_digits / 10;
  digits += static_cast<std::uint64_t>((rounding > 5) | ((rounding == 5) & (below | ((digits & 1) != 0))));
  // Into the interval, in units of 10^dropped: the nearest lies at most one
  // unit outside.
  digits += digits * unit < least ? 1 : 0;
  digits -= digits * unit > most ? 1 : 0;

  // Nine or ten digits at q0, none of them a power of ten's carry: so
  // 9 - dropped or one more.
  int count = dropped < 8 ? 9 - dropped : 1;
  count += digits >= kPowersOfTen[count] ? 1 : 0;
  if (count > 10) return nullptr;  // never: at most ten digits at q0
  const int exponent10 = q0 + dropped + count - 1;
  if (exponent10 < -6 || exponent10 > 12) return nullptr;
  // The digits right-aligned after sixteen zeros, written as five pairs
  // from independent parts: a positional text with a fraction is a slice
  // of this field with a point put in, copied in fixed 16-byte moves.
  char field[48];
  std::memset(field, '0', sizeof field);
  const auto top = static_cast<std::uint32_t>(digits / 100000000);
  const auto rest8 = static_cast<std::uint32_t>(digits % 100000000);
  const std::uint32_t upper4 = rest8 / 10000;
  const std::uint32_t lower4 = rest8 % 10000;
  std::memcpy(field + 16, kDigitPairs + 2 * top, 2);
  std::memcpy(field + 18, kDigitPairs + 2 * (upper4 / 100), 2);
  std::memcpy(field + 20, kDigitPairs + 2 * (upper4 % 100), 2);
  std::memcpy(field + 22, kDigitPairs + 2 * (lower4 / 100), 2);
  std::memcpy(field + 24, kDigitPairs + 2 * (lower4 % 100), 2);
  const char* text = field + 26 - count;
  char* p = out;
  *p = '-';
  p += bits >> 31;
  if (count > exponent10 + 1) {
    // "0.000ddd" takes the zeros before the digits, "dd.ddd" none.
    const int zeros = exponent10 < 0 ? -exponent10 : 0;
    const char* from = text - zeros;
    const int point = exponent10 + 1 + zeros;
    std::memcpy(p, from, 16);
    p[point] = '.';
    std::memcpy(p + point + 1, from + point, 16);
    return p + count + zeros + 1;
  }
  // A whole number: its digits, the zeros up to the point, ".0".
  std::memcpy(p, text, static_cast<std::size_t>(count));
  p += count;
  for (int i = count; i < exponent10 + 1; ++i) *p++ = '0';
  *p++ = '.';
  *p++ = '0';
  return p;
}

}  // namespace quorvel::json
