#include "plain_floats.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "json_cursor.h"
#include "quorvel/json/json_reader.h"
#include "quorvel/json/json_writer.h"

namespace quorvel {
namespace {

// A random element: the shapes the store writes (shortest floats of every
// magnitude, integers), and shapes the fast path must leave to the reader,
// valid (exponents, long numbers) and not (leading zeros, a bare point,
// whitespace, two points).
std::string random_element(std::mt19937& rng) {
  std::uniform_int_distribution<int> shape(0, 15);
  std::uniform_int_distribution<int> digit(0, 9);
  const auto digits = [&](int count) {
    std::string text(1, static_cast<char>('1' + digit(rng) % 9));
    while (static_cast<int>(text.size()) < count) text += static_cast<char>('0' + digit(rng));
    return text;
  };
  // (Appended piece by piece: g++ 12 warns wrongly about "-" + text.)
  const auto join = [](std::initializer_list<std::string> parts) {
    std::string joined;
    for (const std::string& part : parts) joined.append(part);
    return joined;
  };
  std::string text;
  switch (shape(rng)) {
    case 0: case 1: case 2: case 3: case 4: {
      const float value = std::ldexp(std::uniform_real_distribution<float>(-1, 1)(rng),
                                     std::uniform_int_distribution<int>(-30, 40)(rng));
      append_json_float(text, value);
      return text;
    }
    case 5: return digits(1 + static_cast<int>(rng() % 20));                  // integers up to 20 digits
    case 6: return join({"-", digits(1 + static_cast<int>(rng() % 10))});
    case 7: return std::vector<std::string>{"0", "-0", "0.0", "-0.0", "0.5", "-0.000001"}[rng() % 6];
    case 8: return join({digits(1 + static_cast<int>(rng() % 9)), ".", digits(1 + static_cast<int>(rng() % 14))});
    case 9:
      return join({"-", digits(1 + static_cast<int>(rng() % 9)), ".", digits(1 + static_cast<int>(rng() % 14))});
    case 10: return join({digits(2), "e", std::to_string(static_cast<int>(rng() % 20) - 10)});
    case 11: return join({"0", digits(2)});                                   // a leading zero: invalid
    case 12: return std::vector<std::string>{"1.", ".5", "-", "1.2.3", "+1", "-.5", "1-2", "--1"}[rng() % 8];
    case 13: return join({" ", digits(3)});                                   // whitespace: the reader's
    case 14: return join({"0.00000", digits(8)});                             // 13 digits after the point
    default: return join({digits(8), ".", digits(6)});                        // 15 bytes
  }
}

// What the number reader makes of one element on its own, or nothing when
// it refuses it (or the element holds more than a number).
std::optional<float> slow_value(const std::string& element) {
  JsonCursor reader(element);
  const int first = reader.peek_token();
  if (first != '-' && (first < '0' || first > '9')) return std::nullopt;
  auto value = reader.read_number_as_float();
  if (!value || !reader.finish()) return std::nullopt;
  return *value;
}

TEST(PlainFloatsTest, AgreesBitForBitWithTheNumberReaderAndStopsAtAnElementStart) {
  std::mt19937 rng(2026);
  for (int array = 0; array < 20000; ++array) {
    std::vector<std::string> elements(1 + rng() % 40);
    for (std::string& element : elements) element = random_element(rng);
    std::string text;
    std::vector<std::size_t> starts;
    for (const std::string& element : elements) {
      text += text.empty() ? "" : ",";
      starts.push_back(text.size());
      text += element;
    }
    text += "],\"metadata\":null,\"timestamp\":null}";  // what follows a vector in a record
    FloatBlock out = {42.0f};  // a block already holding another record's element
    const PlainFloats plain = read_plain_floats(text.data(), text.data() + text.size(), out);
    const std::size_t read = out.size() - 1;
    ASSERT_LE(read, elements.size());
    for (std::size_t i = 0; i < read; ++i) {
      const auto expected = slow_value(elements[i]);
      ASSERT_TRUE(expected.has_value()) << "accepted an element the reader refuses: " << elements[i];
      ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i + 1]), std::bit_cast<std::uint32_t>(*expected)) << elements[i];
    }
    const auto stopped = static_cast<std::size_t>(plain.next - text.data());
    if (plain.closed) {
      ASSERT_EQ(read, elements.size());
      ASSERT_EQ(text[stopped - 1], ']');
    } else {
      ASSERT_LT(read, elements.size());
      ASSERT_EQ(stopped, starts[read]) << text;
    }
  }
}

TEST(PlainFloatsTest, LeavesTheLastBytesOfATextToTheReader) {
  // Too near the end to load 16 bytes and the digits: nothing is read.
  const std::string text = "1.5,2.5]";
  FloatBlock out;
  const PlainFloats plain = read_plain_floats(text.data(), text.data() + text.size(), out);
  EXPECT_FALSE(plain.closed);
  EXPECT_EQ(plain.next, text.data());
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace quorvel
