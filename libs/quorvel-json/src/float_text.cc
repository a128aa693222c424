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

  const Scaled low = scale(lower, binary, q0);
  const Scaled high = scale(upper, binary, q0);
  std::uint64_t least = low.whole + (low.exact && bounds_included ? 0 : 1);
  std::uint64_t most = high.whole - (high.exact && !bounds_included ? 1 : 0);
  // The value with one digit more, for its rounding, and whether anything
  // below that digit is cut off.
  const Scaled fine = scale(middle, binary, q0 - 1);
  std::uint64_t value_digits = fine.whole;
  bool below = !fine.exact;

  int dropped = 0;
  while (most / 10 >= (least + 9) / 10) {
    most /= 10;
    least = (least + 9) / 10;
    below |= value_digits % 10 != 0;
    value_digits /= 10;
    ++dropped;
  }
  const auto rounding = static_cast<unsigned>(value_digits % 10);
  std::uint64_t digits = value_digits / 10;
  if (rounding > 5 || (rounding == 5 && (below || (digits & 1) != 0))) ++digits;
  if (digits < least) digits = least;
  if (digits > most) digits = most;

  int count = dropped < 8 ? 9 - dropped : 1;
  while (count < 19 && digits >= kPowersOfTen[count]) ++count;
  const int exponent10 = q0 + dropped + count - 1;
  if (exponent10 < -6 || exponent10 > 12) return nullptr;
  char text[20];
  for (int i = count; i > 1; i -= 2) {
    std::memcpy(text + i - 2, kDigitPairs + 2 * (digits % 100), 2);
    digits /= 100;
  }
  if ((count & 1) != 0) text[0] = static_cast<char>('0' + digits);
  char* p = out;
  if ((bits >> 31) != 0) *p++ = '-';
  if (exponent10 < 0) {
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -exponent10 - 1; ++i) *p++ = '0';
    std::memcpy(p, text, static_cast<std::size_t>(count));
    p += count;
  } else if (const int whole_digits = exponent10 + 1; count <= whole_digits) {
    std::memcpy(p, text, static_cast<std::size_t>(count));
    p += count;
    for (int i = count; i < whole_digits; ++i) *p++ = '0';
    *p++ = '.';
    *p++ = '0';
  } else {
    std::memcpy(p, text, static_cast<std::size_t>(whole_digits));
    p += whole_digits;
    *p++ = '.';
    std::memcpy(p, text + whole_digits, static_cast<std::size_t>(count - whole_digits));
    p += count - whole_digits;
  }
  return p;
}

}  // namespace quorvel::json
