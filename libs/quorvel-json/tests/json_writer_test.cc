#include "quorvel/json/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quorvel {
namespace {

std::string f64(double value) {
  std::string out;
  append_json_double(out, value);
  return out;
}

std::string f32(float value) {
  std::string out;
  append_json_float(out, value);
  return out;
}

TEST(JsonWriterTest, DoublesUseShortestDigitsAndPositionalRangeMinus5To15) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {3.0, "3.0"},
      {0.1, "0.1"},
      {0.5, "0.5"},
      {-2.25, "-2.25"},
      {123.456, "123.456"},
      {1e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {1e-6, "1e-6"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-1e-7, "-1e-7"},
      {100.0, "100.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(f64(c.value), c.text) << c.text;
}

TEST(JsonWriterTest, FloatsUseShortestDigitsAndPositionalRangeMinus6To12) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.1f, "0.1"},
      {100.0f, "100.0"},
      {123456789.0f, "123456790.0"},
      {1e-6f, "0.000001"},
      {1e-7f, "1e-7"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {-0.0f, "-0.0"},
      {0.0f, "0.0"},
      {0.3f, "0.3"},
      {-2.25f, "-2.25"},
  };
  for (const auto& c : cases) EXPECT_EQ(f32(c.value), c.text) << c.text;
}

TEST(JsonWriterTest, AFloatListIsEachFloatAsWrittenAloneJoinedByCommas) {
  // Both ways of writing a float: plain ones, and those with an exponent,
  // zeros, the extremes and a NaN.
  const std::vector<float> values = {0.1f,  -1.0000001f, 123456789.0f, 1e-6f, -1.2345678e-6f, 1e-7f, 1e12f, 1e13f,
                                     -0.0f, 0.0f,        std::numeric_limits<float>::denorm_min(),
                                     -std::numeric_limits<float>::max(), std::numeric_limits<float>::quiet_NaN()};
  std::string expected = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) expected += ',';
    expected += f32(values[i]);
  }
  std::string out = "[";
  append_json_float_list(out, values);
  EXPECT_EQ(out, expected);
  append_json_float_list(out, {});
  EXPECT_EQ(out, expected);
}

TEST(JsonWriterTest, StringsEscapeOnlyQuoteBackslashAndControlCharacters) {
  const struct {
    std::string text;
    const char* json;
  } cases[] = {
      {"plain", R"("plain")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"/\x7f", "\"/\x7f\""},
      {"\xc3\xa9\xf0\x9f\x98\x80", "\"\xc3\xa9\xf0\x9f\x98\x80\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_string(out, c.text);
    EXPECT_EQ(out, c.json);
  }
}

TEST(JsonWriterTest, ValuesAreCompactWithObjectKeysInByteOrder) {
  using Member = JsonValue::Member;
  const JsonValue object = JsonValue::make_object({
      Member{"b", JsonValue(1)},
      Member{"a", JsonValue(JsonValue::Array{JsonValue(), true, false, -1, 0.5, "x"})},
      Member{"\xc3\xa9", JsonValue::make_object({})},
      Member{"B", JsonValue(JsonValue::Array{})},
      Member{"b", JsonValue(std::uint64_t{18446744073709551615u})},
  });
  EXPECT_EQ(to_json(object),
            R"({"B":[],"a":[null,true,false,-1,0.5,"x"],"b":18446744073709551615,)"
            "\"\xc3\xa9\":{}}");
  EXPECT_EQ(to_json(JsonValue(std::int64_t{-9223372036854775807 - 1})), "-9223372036854775808");
}

TEST(JsonWriterTest, NumbersWithoutAJsonFormAreWrittenAsNull) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  for (const double value : {std::nan(""), kInfinity, -kInfinity}) {
    EXPECT_EQ(f64(value), "null") << value;
    EXPECT_EQ(f32(static_cast<float>(value)), "null") << value;
  }
  EXPECT_EQ(to_json(JsonValue(JsonValue::Array{1.0, -kInfinity})), "[1.0,null]");
}

// nullptr is JSON null, not text read through a null pointer.
TEST(JsonValueTest, NullPointersAreNull) {
  const char* no_text = nullptr;
  for (const JsonValue& value : {JsonValue(nullptr), JsonValue(no_text)}) EXPECT_TRUE(value.is_null());
  EXPECT_EQ(to_json(JsonValue(JsonValue::Array{nullptr, "a"})), R"([null,"a"])");
}

}  // namespace
}  // namespace quorvel
