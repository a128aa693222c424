#include "quorvel/json/json_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include <charconv>
#include <cstring>
#include <random>
#include <string>

#include "json_cursor.h"

namespace quorvel {
namespace {

std::string nested_arrays(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

// The record reader passes its own budget; a budget of N admits N - 1 levels.
TEST(JsonReaderTest, NestingBudgetAdmitsOneLevelFewer) {
  for (const int budget : {2, 3, 129}) {
    EXPECT_TRUE(read_json_document(nested_arrays(budget - 1), budget).has_value()) << budget;
    const auto refused = read_json_document(nested_arrays(budget), budget);
    ASSERT_FALSE(refused.has_value()) << budget;
    EXPECT_EQ(refused.error().message(), "recursion limit exceeded at line 1 column " + std::to_string(budget));
  }
  // Budget 1 admits no array at all, but any scalar.
  EXPECT_FALSE(read_json_document("[]", 1).has_value());
  EXPECT_TRUE(read_json_document("1", 1).has_value());
}

// Lines count line feeds before the byte; columns count bytes up to and
// including it; at or past the end, the bytes of the last line.
TEST(JsonReaderTest, ErrorPositionsCountBytes) {
  const JsonCursor reader("ab\nc\xC3\xA9\n");
  const struct {
    std::size_t pos;
    std::size_t line;
    std::size_t column;
  } cases[] = {
      {0, 1, 1}, {2, 1, 3}, {3, 2, 1}, {5, 2, 3}, {6, 2, 4}, {7, 3, 0}, {100, 3, 0},
  };
  for (const auto& c : cases) {
    const JsonError error = reader.error_at(c.pos, "x");
    EXPECT_EQ(error.line, c.line) << c.pos;
    EXPECT_EQ(error.column, c.column) << c.pos;
  }
}

// Short decimals take an exact shortcut; it must give the same double as the
// general correctly rounded conversion, on both sides of its limits (53-bit
// mantissas, powers of ten up to 22).
TEST(JsonReaderTest, FloatsReadAsTheCorrectlyRoundedDouble) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200'000; ++i) {
    std::string text;
    if (rng() % 2) text += '-';
    const int int_digits = 1 + static_cast<int>(rng() % 18);
    const int frac_digits = static_cast<int>(rng() % 12);
    text += static_cast<char>('1' + rng() % 9);
    for (int d = 1; d < int_digits; ++d) text += static_cast<char>('0' + rng() % 10);
    if (frac_digits > 0) {
      text += '.';
      for (int d = 0; d < frac_digits; ++d) text += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 2) {
      text += 'e';
      text.append(std::to_string(static_cast<int>(rng() % 61) - 30));
    } else if (frac_digits == 0) {
      text.append(".0");
    }

    const auto read = read_json_document(text);
    ASSERT_TRUE(read.has_value()) << text;
    const double* value = read->get_if<JsonValue::Float>();
    ASSERT_NE(value, nullptr) << text;
    double expected = 0.0;
    std::from_chars(text.data() + (text[0] == '-'), text.data() + text.size(), expected);
    if (text[0] == '-') expected = -expected;
    ASSERT_EQ(std::memcmp(value, &expected, sizeof expected), 0) << text;

    // A vector element: the nearest float to that double.
    JsonCursor element(text);
    ASSERT_EQ(element.peek_token(), text[0]);
    const auto as_float = element.read_number_as_float();
    ASSERT_TRUE(as_float.has_value()) << text;
    const float expected_float = static_cast<float>(expected);
    ASSERT_EQ(std::memcmp(&*as_float, &expected_float, sizeof expected_float), 0) << text;
  }
}

// Integers go to the nearest float directly, not through a double (which
// could round twice), as long as they fit 64 bits; longer ones and the
// other forms go through the double.
TEST(JsonReaderTest, NumbersReadAsFloats) {
  struct Case {
    const char* text;
    float expected;
  };
  const Case cases[] = {
      {"0", 0.0f},
      {"-0", -0.0f},
      {"16777217", 16777216.0f},  // a tie between floats, to even
      {"-16777217", -16777216.0f},
      {"18446744073709551615", 18446744073709551616.0f},
      {"-9223372036854775808", -9223372036854775808.0f},
      // 2^60 + 2^36 + 1: directly to float rounds up; through the double
      // (which drops the final 1) it would be a tie and round down to 2^60.
      {"1152921573326323713", 1152921573326323712.0f + 137438953472.0f},
      {"0.1", 0.1f},
      {"1e-7", 1e-7f},
      {"123456789012345678901234", 1.2345679e23f},
      {"1e39", std::numeric_limits<float>::infinity()},
      {"1e-50", 0.0f},
      {"12345678.123456789", 12345678.0f},
  };
  for (const Case& c : cases) {
    JsonCursor reader(c.text);
    reader.peek_token();
    const auto read = reader.read_number_as_float();
    ASSERT_TRUE(read.has_value()) << c.text;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(*read), std::bit_cast<std::uint32_t>(c.expected)) << c.text;
  }
}

}  // namespace
}  // namespace quorvel
