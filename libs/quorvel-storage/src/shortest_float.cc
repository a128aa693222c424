#include "shortest_float.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

// Schubfach (R. Giulietti, "The Schubfach way to render doubles", 2020) for
// floats: the float's rounding interval is scaled by a power of ten chosen
// so that at most one decimal of each of two adjacent lengths can lie in
// it, and the candidates are compared in fixed point with 64-bit products.
// Checked against std::to_chars on every positive normal float.

namespace quorvel {
namespace {

constexpr int kMinExponent = -149;           // of the significand's last bit
constexpr std::uint32_t kMinSignificand = 1u << 23;

// For e = -31..45: the top 63 bits of floor(10^e 2^-r) + 1, where r makes
// the value lie in [2^125, 2^126).
constexpr std::uint64_t kPowersOfTen[] = {
    0x40E7599625A1FE7A,  // 1e-31
    0x51212FFBAF0A7E18,  // 1e-30
    0x65697BFA9ACD1D9F,  // 1e-29
    0x7EC3DAF941806506,  // 1e-28
    0x4F3A68DBC8F03F24,  // 1e-27
    0x63090312BB2C4EED,  // 1e-26
    0x7BCB43D769F762A8,  // 1e-25
    0x4D5F0A66A23A9DA9,  // 1e-24
    0x60B6CD004AC94513,  // 1e-23
    0x78E480405D7B9658,  // 1e-22
    0x4B8ED0283A6D3DF7,  // 1e-21
    0x5E72843249088D75,  // 1e-20
    0x760F253EDB4AB0D2,  // 1e-19
    0x49C97747490EAE83,  // 1e-18
    0x5C3BD5191B525A24,  // 1e-17
    0x734ACA5F6226F0AD,  // 1e-16
    0x480EBE7B9D58566C,  // 1e-15
    0x5A126E1A84AE6C07,  // 1e-14
    0x709709A125DA0709,  // 1e-13
    0x465E6604B7A84465,  // 1e-12
    0x57F5FF85E592557F,  // 1e-11
    0x6DF37F675EF6EADF,  // 1e-10
    0x44B82FA09B5A52CB,  // 1e-9
    0x55E63B88C230E77E,  // 1e-8
    0x6B5FCA6AF2BD215E,  // 1e-7
    0x431BDE82D7B634DA,  // 1e-6
    0x53E2D6238DA3C211,  // 1e-5
    0x68DB8BAC710CB295,  // 1e-4
    0x4189374BC6A7EF9D,  // 1e-3
    0x51EB851EB851EB85,  // 1e-2
    0x6666666666666666,  // 1e-1
    0x4000000000000000,  // 1e0
    0x5000000000000000,  // 1e1
    0x6400000000000000,  // 1e2
    0x7D00000000000000,  // 1e3
    0x4E20000000000000,  // 1e4
    0x61A8000000000000,  // 1e5
    0x7A12000000000000,  // 1e6
    0x4C4B400000000000,  // 1e7
    0x5F5E100000000000,  // 1e8
    0x7735940000000000,  // 1e9
    0x4A817C8000000000,  // 1e10
    0x5D21DBA000000000,  // 1e11
    0x746A528800000000,  // 1e12
    0x48C2739500000000,  // 1e13
    0x5AF3107A40000000,  // 1e14
    0x71AFD498D0000000,  // 1e15
    0x470DE4DF82000000,  // 1e16
    0x58D15E1762800000,  // 1e17
    0x6F05B59D3B200000,  // 1e18
    0x4563918244F40000,  // 1e19
    0x56BC75E2D6310000,  // 1e20
    0x6C6B935B8BBD4000,  // 1e21
    0x43C33C1937564800,  // 1e22
    0x54B40B1F852BDA00,  // 1e23
    0x69E10DE76676D080,  // 1e24
    0x422CA8B0A00A4250,  // 1e25
    0x52B7D2DCC80CD2E4,  // 1e26
    0x6765C793FA10079D,  // 1e27
    0x409F9CBC7C4A04C2,  // 1e28
    0x50C783EB9B5C85F2,  // 1e29
    0x64F964E68233A76F,  // 1e30
    0x7E37BE2022C0914B,  // 1e31
    0x4EE2D6D415B85ACE,  // 1e32
    0x629B8C891B267182,  // 1e33
    0x7B426FAB61F00DE3,  // 1e34
    0x4D0985CB1D3608AE,  // 1e35
    0x604BE73DE4838AD9,  // 1e36
    0x785EE10D5DA46D90,  // 1e37
    0x4B3B4CA85A86C47A,  // 1e38
    0x5E0A1FD271287598,  // 1e39
    0x758CA7C70D7292FE,  // 1e40
    0x4977E8DC68679BDF,  // 1e41
    0x5BD5E313828182D6,  // 1e42
    0x72CB5BD86321E38C,  // 1e43
    0x47BF19673DF52E37,  // 1e44
    0x59AEDFC10D7279C5,  // 1e45
};

constexpr int kFirstPower = -31;

__extension__ using Unsigned128 = unsigned __int128;  // g++ and clang on 64-bit targets

// floor(q log10 2), floor(log10(3/4 2^q)) and floor(e log2 10), exact for
// the exponents of floats.
int floor_log10_pow2(int q) { return static_cast<int>((static_cast<std::int64_t>(q) * 661971961083LL) >> 41); }
int floor_log10_three_quarters_pow2(int q) {
  return static_cast<int>((static_cast<std::int64_t>(q) * 661971961083LL - 274743187321LL) >> 41);
}
int floor_log2_pow10(int e) { return static_cast<int>((static_cast<std::int64_t>(e) * 913124641741LL) >> 38); }

// The product's high 64 bits, shifted to fixed point with two fraction bits
// and a sticky bit for whatever was cut off.
std::uint32_t round_to_odd(std::uint64_t g, std::uint64_t cp) {
  const auto high = static_cast<std::uint64_t>((static_cast<Unsigned128>(g) * cp) >> 64);
  return static_cast<std::uint32_t>((high >> 31) | (((high & 0xFFFFFFFFu) + 0xFFFFFFFFu) >> 32));
}

// c 2^q, c a normal float's significand, as f 10^e.
void to_decimal(int q, std::uint32_t c, std::uint32_t& f, int& e) {
  const std::uint32_t odd = c & 1;  // an odd significand's interval is open
  const std::uint64_t cb = static_cast<std::uint64_t>(c) << 2;
  const std::uint64_t cb_right = cb + 2;
  std::uint64_t cb_left;
  int k;
  if (c != kMinSignificand || q == kMinExponent) {
    cb_left = cb - 2;
    k = floor_log10_pow2(q);
  } else {  // the interval of a power of two is narrower below it
    cb_left = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  const int h = q + floor_log2_pow10(-k) + 33;
  const std::uint64_t g = kPowersOfTen[-k - kFirstPower] + 1;
  const std::uint32_t v = round_to_odd(g, cb << h);
  const std::uint32_t v_left = round_to_odd(g, cb_left << h);
  const std::uint32_t v_right = round_to_odd(g, cb_right << h);

  e = k;
  const std::uint32_t s = v >> 2;
  if (s >= 100) {  // one digit fewer, if exactly one such decimal is inside
    const std::uint32_t s10 = 10 * static_cast<std::uint32_t>((s * 1717986919ULL) >> 34);
    const std::uint32_t t10 = s10 + 10;
    const bool s10_in = v_left + odd <= s10 << 2;
    const bool t10_in = (t10 << 2) + odd <= v_right;
    if (s10_in != t10_in) {
      f = s10_in ? s10 : t10;
      return;
    }
  }
  const std::uint32_t t = s + 1;
  const bool s_in = v_left + odd <= s << 2;
  const bool t_in = (t << 2) + odd <= v_right;
  if (s_in != t_in) {
    f = s_in ? s : t;
    return;
  }
  // Both inside: the closer, a tie to the even.
  const std::int64_t against_mid = static_cast<std::int64_t>(v) - 2 * (static_cast<std::int64_t>(s) + t);
  f = against_mid < 0 || (against_mid == 0 && (s & 1) == 0) ? s : t;
}

}  // namespace

int shortest_float_digits(float value, char* digits, int& exponent) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const int biased = static_cast<int>(bits >> 23);
  const std::uint32_t c = kMinSignificand | (bits & 0x7FFFFF);
  const int shift = -kMinExponent + 1 - biased;  // minus the exponent of c's last bit
  std::uint32_t f;
  int e = 0;
  if (0 < shift && shift < 24 && ((c >> shift) << shift) == c) {
    f = c >> shift;  // an integer below 2^24 is its own shortest form
  } else {
    to_decimal(-shift, c, f, e);
  }
  char text[10];
  const int length = static_cast<int>(std::to_chars(text, text + sizeof text, f).ptr - text);
  int count = length;
  while (count > 1 && text[count - 1] == '0') --count;
  std::memcpy(digits, text, static_cast<std::size_t>(count));
  exponent = e + length - 1;
  return count;
}

}  // namespace quorvel
