#include "plain_floats.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel {
namespace {

constexpr std::uint64_t kPowersOfTen[] = {1,          10,          100,          1000,          10000,
                                           100000,     1000000,     10000000,     100000000,     1000000000,
                                           10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000};
constexpr double kDoublePowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14};
constexpr std::uint64_t kZeros = 0x3030303030303030;

// The value of the first `count` (1 to 8) digit bytes at `p`: they are
// moved to the top of the word, so that the bytes below read as leading
// zeros, and combined in pairs, quadruples, then whole. REQUIRES: 8 bytes
// readable at `p`; a little-endian machine.
std::uint64_t digits_value(const char* p, int count) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  word = (word - kZeros) << (8 * (8 - count));
  word = word * 10 + (word >> 8);
  return (((word & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
          (((word >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
         32;
}

}  // namespace

PlainFloats read_plain_floats(const char* p, const char* end, FloatBlock& out) {
#if defined(__SSE2__)
  if constexpr (std::endian::native == std::endian::little) {
    // 32 readable bytes: the 16-byte load, and the 8-byte loads of the
    // digits, the last of which starts at most 18 bytes in.
    while (end - p >= 32) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
          _mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)))));
      const unsigned points = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
      const unsigned separators =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(',')),
                                                               _mm_cmpeq_epi8(bytes, _mm_set1_epi8(']')))));
      if (separators == 0) break;  // longer than 15 bytes
      const int length = std::countr_zero(separators);
      const unsigned token = (1u << length) - 1;
      const unsigned negative = p[0] == '-';
      const unsigned point = points & token;
      // Only a sign, digits and at most one point, in that order below.
      if (((digits | point | negative) & token) != token || (point & (point - 1)) != 0) break;
      const int first = static_cast<int>(negative);
      const int point_at = point != 0 ? std::countr_zero(point) : length;
      const int whole_digits = point_at - first;
      const int fraction_digits = point != 0 ? length - point_at - 1 : 0;
      if (whole_digits < 1 || whole_digits > 8 || (point != 0 && fraction_digits < 1) ||
          (p[first] == '0' && whole_digits > 1)) {
        break;
      }
      const std::uint64_t whole = digits_value(p + first, whole_digits);
      float value;
      if (point == 0) {
        // An integer goes to the nearest float directly ("-0" is a float,
        // negative zero).
        value = negative != 0 ? (whole == 0 ? -0.0f : static_cast<float>(-static_cast<std::int64_t>(whole)))
                              : static_cast<float>(whole);
      } else {
        // At most 14 digits in all: the mantissa is below 2^53 and exact.
        const char* fraction = p + point_at + 1;
        const int head = fraction_digits < 8 ? fraction_digits : 8;
        std::uint64_t fraction_value = digits_value(fraction, head);
        if (fraction_digits > 8) {
          fraction_value = fraction_value * kPowersOfTen[fraction_digits - 8] +
                           digits_value(fraction + 8, fraction_digits - 8);
        }
        const std::uint64_t mantissa = whole * kPowersOfTen[fraction_digits] + fraction_value;
        const double scaled = static_cast<double>(mantissa) / kDoublePowersOfTen[fraction_digits];
        value = static_cast<float>(negative != 0 ? -scaled : scaled);
      }
      out.push_back(value);
      const bool closed = p[length] == ']';
      p += length + 1;
      if (closed) return {p, true};
    }
  }
#endif
  return {p, false};
}

}  // namespace quorvel
