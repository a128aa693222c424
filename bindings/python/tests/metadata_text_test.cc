#include "metadata_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "quorvel/json/json_writer.h"

namespace quorvel {
namespace {

using namespace std::string_view_literals;

struct Case {
  std::string_view text;
  std::string_view expected;  // compact form, or the whole error message
};

// "[[[...]]]" with `levels` levels.
std::string nested_arrays(std::size_t levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

// Arrays and objects in turn, `levels` deep: [{"k":[{"k":...}]}].
std::string nested_mixed(std::size_t levels) {
  std::string text;
  for (std::size_t i = 0; i < levels; ++i) text += i % 2 == 0 ? "[" : "{\"k\":";
  text += '0';
  for (std::size_t i = levels; i-- > 0;) text += i % 2 == 0 ? ']' : '}';
  return text;
}

// Returns the compact form of what `text` reads as, or the error message.
std::string outcome(std::string_view text) {
  const auto value = read_metadata_text(text);
  if (value) return to_json(*value);
  std::string error = "error: ";
  error += value.error().message();
  return error;
}

TEST(MetadataTextTest, AcceptedTextsComeBackInCompactForm) {
  const Case cases[] = {
      // Any kind of value at the top; whitespace is dropped.
      {"5", "5"},
      {"[1,2]", "[1,2]"},
      {"true", "true"},
      {"false", "false"},
      {"null", "null"},
      {"\"abc\"", "\"abc\""},
      {" \t\r\n[ 1 , { } , [ ] ] \n\r\t ", "[1,{},[]]"},
      {"{}", "{}"},
      {"[]", "[]"},
      // Keys in byte order; a repeated key, however it is spelt, keeps the later value.
      {"{ \"b\" : 1 , \"a\" : 2 , \"b\" : 3 }", "{\"a\":2,\"b\":3}"},
      {"{\"a\":1,\"\\u0061\":2}", "{\"a\":2}"},
      {"{\"b\":1,\"a\":2,\"B\":3,\"\xC3\xA9\":4,\"aa\":5}",
       "{\"B\":3,\"a\":2,\"aa\":5,\"b\":1,\"\xC3\xA9\":4}"},
      {"{\"o\":{\"z\":[1,{\"y\":0,\"x\":0}],\"a\":null}}",
       "{\"o\":{\"a\":null,\"z\":[1,{\"x\":0,\"y\":0}]}}"},
      // Integers: unsigned up to 2^64 - 1, negative down to -2^63, else float.
      {"0", "0"},
      {"1", "1"},
      {"-1", "-1"},
      {"7", "7"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"123456789012345678901234567890", "1.2345678901234568e+29"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0.0", "0.0"},
      // Floats, correctly rounded.
      {"1.0", "1.0"},
      {"1E2", "100.0"},
      {"1e+2", "100.0"},
      {"1E-2", "0.01"},
      {"0.50", "0.5"},
      {"-2.25", "-2.25"},
      {"0.1000000000000000055511151231257827021181583404541015625", "0.1"},
      {"9007199254740993.0", "9007199254740992.0"},
      {"9007199254740995.0", "9007199254740996.0"},
      {"1.00000000000000011102230246251565404236316680908203125", "1.0"},
      {"1.00000000000000011102230246251565404236316680908203126", "1.0000000000000002"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"1.7976931348623158e308", "1.7976931348623157e+308"},
      {"2.2250738585072011e-308", "2.225073858507201e-308"},
      // Subnormals read as the nearest double; below half the smallest one, zero.
      {"5e-324", "5e-324"},
      {"3e-324", "5e-324"},
      {"2.4703282292062328e-324", "5e-324"},
      {"2.4703282292062327e-324", "0.0"},
      {"2e-324", "0.0"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"0e999999999999", "0.0"},
      {"0.000000000000000000001e-400", "0.0"},
      // Every escape; \u escapes become UTF-8 and are written back as the writer escapes.
      {"\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t\"", "\"\\\" \\\\ / \\b \\f \\n \\r \\t\""},
      {"\"\\u0000\\u001F\\u0041\\u007f\"", "\"\\u0000\\u001fA\x7F\""},
      {"\"\\u00e9\\ud83d\\ude00\"", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
      {"\"\\u00E9\\uD83D\\uDE00\"", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
      {"\"\\uFFFF\\uDBFF\\uDFFF\\uD800\\uDC00\"", "\"\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xF0\x90\x80\x80\""},
      // Raw characters beyond ASCII and DEL stand for themselves.
      {"\"\x7F\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\"", "\"\x7F\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << c.text;
}

TEST(MetadataTextTest, NumbersKeepTheirKind) {
  const auto unsigned_max = read_metadata_text("18446744073709551615");
  ASSERT_TRUE(unsigned_max.has_value());
  EXPECT_EQ(*unsigned_max, JsonValue(std::numeric_limits<JsonValue::Unsigned>::max()));

  const auto signed_min = read_metadata_text("-9223372036854775808");
  ASSERT_TRUE(signed_min.has_value());
  EXPECT_EQ(*signed_min, JsonValue(std::numeric_limits<JsonValue::Signed>::min()));

  const auto minus_zero = read_metadata_text("-0");
  ASSERT_TRUE(minus_zero.has_value());
  ASSERT_TRUE(minus_zero->holds<JsonValue::Float>());
  EXPECT_TRUE(std::signbit(minus_zero->as<JsonValue::Float>()));

  const auto subnormal = read_metadata_text("3e-324");
  ASSERT_TRUE(subnormal.has_value());
  EXPECT_EQ(*subnormal, JsonValue(std::numeric_limits<double>::denorm_min()));
}

TEST(MetadataTextTest, NestingUpTo127LevelsIsAccepted) {
  for (const std::size_t levels : {1, 126, 127}) {
    EXPECT_EQ(outcome(nested_arrays(levels)), nested_arrays(levels)) << levels;
    EXPECT_EQ(outcome(nested_mixed(levels)), nested_mixed(levels)) << levels;
  }
  // The budget is given back at each closing bracket.
  std::string siblings = "[";
  siblings += nested_arrays(126);
  siblings += ',';
  siblings += nested_arrays(126);
  siblings += ']';
  EXPECT_EQ(outcome(siblings), siblings);
}

TEST(MetadataTextTest, RefusedTextsGiveExactMessage) {
  const std::string deep_arrays = nested_arrays(128);
  const std::string deep_objects = nested_mixed(128);
  std::string deep_lines;
  for (int i = 0; i < 128; ++i) deep_lines += "[\n";
  std::string huge_integer(401, '0');
  huge_integer.front() = '1';

  const Case cases[] = {
      // The end of the text where a value must begin; columns count the last line's bytes.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\n\n", "EOF while parsing a value at line 3 column 0"},
      {"  \n \t", "EOF while parsing a value at line 2 column 2"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\":1, ", "EOF while parsing a value at line 1 column 8"},
      // The end of the text inside an array, an object or a string.
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"[\n", "EOF while parsing a list at line 2 column 0"},
      {"[1 ", "EOF while parsing a list at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\xC3\xA9", "EOF while parsing a string at line 1 column 3"},
      {"{\"a", "EOF while parsing a string at line 1 column 3"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\uD83D", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD83D\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\uD83D\\u", "EOF while parsing a string at line 1 column 9"},
      {"\"\\uD83D\\uDE0", "EOF while parsing a string at line 1 column 12"},
      // A byte that cannot begin a value: no '+', no leading point, no BOM,
      // no comments, no NaN or infinities; only four bytes are whitespace.
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"]", "expected value at line 1 column 1"},
      {"[,1]", "expected value at line 1 column 2"},
      {"[1,,2]", "expected value at line 1 column 4"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"\xEF\xBB\xBF" "1", "expected value at line 1 column 1"},
      {"/*c*/1", "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"Infinity", "expected value at line 1 column 1"},
      {"True", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"\f1", "expected value at line 1 column 1"},
      {"\v1", "expected value at line 1 column 1"},
      // Misspelt words.
      {"trux", "expected ident at line 1 column 4"},
      {"nulL", "expected ident at line 1 column 4"},
      {"[fals]", "expected ident at line 1 column 6"},
      // Punctuation in arrays and objects.
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\"}", "expected `:` at line 1 column 5"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"[1,\n2 x]", "expected `,` or `]` at line 2 column 3"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"{bad", "key must be a string at line 1 column 2"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1, \n]", "trailing comma at line 2 column 1"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      // Only whitespace after the value; columns count bytes, not characters.
      {"1 x", "trailing characters at line 1 column 3"},
      {"[] []", "trailing characters at line 1 column 4"},
      {"1,", "trailing characters at line 1 column 2"},
      {"truex", "trailing characters at line 1 column 5"},
      {"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},
      {"0x10", "trailing characters at line 1 column 2"},
      {"1.5.3", "trailing characters at line 1 column 4"},
      // Malformed numbers.
      {"01", "invalid number at line 1 column 2"},
      {"00", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-a", "invalid number at line 1 column 2"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"-.5", "invalid number at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1ex", "invalid number at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e-]", "invalid number at line 1 column 4"},
      // Too large for a double, at the number's last byte.
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"[1.7976931348623159e308]", "number out of range at line 1 column 23"},
      {huge_integer, "number out of range at line 1 column 401"},
      {"0.0000000001e319", "number out of range at line 1 column 16"},
      // Strings.
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\'\"", "invalid escape at line 1 column 3"},
      {"\"\\U0041\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\uD800\\u12x4\"", "invalid escape at line 1 column 12"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"\0\""sv, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"{\"k\x01\":1}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uDFFF\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud83d\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      // Bytes that are not UTF-8 inside a string: stray continuation, cut-off
      // sequence, overlong form, encoded surrogate, beyond U+10FFFF, never valid.
      {"\"\x80\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xC3\"", "invalid unicode code point at line 1 column 2"},
      {"\"a\xC3", "invalid unicode code point at line 1 column 3"},
      {"\"\xC0\xAF\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xE0\x80\xAF\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xF4\x90\x80\x80\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xFF\"", "invalid unicode code point at line 1 column 2"},
      // The 128th bracket would take the last unit of the budget.
      {deep_arrays, "recursion limit exceeded at line 1 column 128"},
      {deep_objects, "recursion limit exceeded at line 1 column 380"},
      {deep_lines, "recursion limit exceeded at line 128 column 1"},
  };
  for (const auto& c : cases) {
    std::string expected = "error: ";
    expected += c.expected;
    EXPECT_EQ(outcome(c.text), expected) << c.text;
  }
}

}  // namespace
}  // namespace quorvel
