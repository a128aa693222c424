#include "shortest_float.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace quorvel {
namespace {

// "digits e exponent", from the function under test and from std::to_chars.
std::string ours(float value) {
  char digits[9];
  int exponent = 0;
  const int count = shortest_float_digits(value, digits, exponent);
  return std::string(digits, static_cast<std::size_t>(count)) + "e" + std::to_string(exponent);
}

std::string reference(float value) {
  char text[32];
  const char* const end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  std::string digits;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  return digits + "e" + std::to_string(exponent);
}

TEST(ShortestFloatTest, GivesTheDigitsOfToCharsAtTheEdges) {
  const float edges[] = {
      std::numeric_limits<float>::min(),      // the smallest normal float
      std::numeric_limits<float>::max(),
      1.0f, 2.0f, 0.5f, 0.1f, 0.3f, 1e-6f, 1e-7f, 1e12f, 1e13f,
      16777215.0f, 16777216.0f, 16777218.0f,  // the last integers held exactly, and the first beyond
      8388607.5f, 8388608.0f, 123456789.0f,
      std::bit_cast<float>(0x00800001u),     // just above the smallest normal
      std::bit_cast<float>(0x7F7FFFFEu),
  };
  for (float value : edges) EXPECT_EQ(ours(value), reference(value)) << reference(value);
}

TEST(ShortestFloatTest, GivesTheDigitsOfToCharsAcrossEveryExponent) {
  // Every power of two (whose rounding interval is lopsided) with its
  // neighbours, and an odd stride through all positive normal floats: about
  // two million values, every exponent and a spread of significands.
  int mismatches = 0;
  const auto check = [&](std::uint32_t bits) {
    const float value = std::bit_cast<float>(bits);
    if (ours(value) != reference(value) && ++mismatches <= 5) {
      ADD_FAILURE() << "bits " << bits << ": " << ours(value) << " against " << reference(value);
    }
  };
  for (std::uint32_t exponent = 1; exponent < 255; ++exponent) {
    const std::uint32_t power = exponent << 23;
    check(power);
    check(power + 1);
    if (exponent > 1) check(power - 1);
  }
  for (std::uint32_t bits = 0x00800000u; bits < 0x7F800000u; bits += 1021) check(bits);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace quorvel
