#include "quorvel/json/json_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>

#include "json_cursor.h"
#include "json_messages.h"
#include "utf8.h"

namespace quorvel {
namespace {

namespace msg = json::messages;

// Integers up to 2^53 and powers of ten up to 10^22 are exact doubles.
constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 53;
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// When the eight bytes at `p` are all decimal digits, stores their value in
// `value` and returns true. The digits are checked and combined as one
// 64-bit word (byte i is the i-th digit on a little-endian machine).
constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The value of eight digit bytes (as loaded: the first digit in the lowest
// byte), each already less '0': pairs, then quadruples, then the whole.
[[gnu::always_inline]] inline std::uint64_t value_of_eight_digits(std::uint64_t word) {
  word = word * 10 + (word >> 8);
  return (((word & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
          (((word >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
         32;
}

[[gnu::always_inline]] inline bool read_eight_digits(const char* p, std::uint64_t& value) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  // Every byte is 0x30..0x39: its high half is 3, and adding 6 keeps it 3.
  if ((((word & 0xF0F0F0F0F0F0F0F0) | (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4))) !=
      0x3333333333333333) {
    return false;
  }
  value = value_of_eight_digits(word - 0x3030303030303030);
  return true;
}

// Adds the digits from `p` on to `mantissa` (mantissa * 10 + digit, digit by
// digit; wrapping beyond 19 digits, which callers treat apart) and returns
// the first byte that is not a digit.
[[gnu::always_inline]] inline const char* accumulate_digits(const char* p, const char* end, std::uint64_t& mantissa) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t eight;
    while (end - p >= 8 && read_eight_digits(p, eight)) {
      mantissa = mantissa * 100'000'000 + eight;
      p += 8;
    }
    if (end - p >= 8) {
      // Fewer than eight digits follow: count them without a branch per
      // digit. A digit byte has the high half 3, and adding 6 keeps it so;
      // the lowest byte that fails either test ends the digits (a carry out
      // of a failing byte can only disturb the bytes after it).
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      const std::uint64_t not_digits = ((word & 0xF0F0F0F0F0F0F0F0) ^ 0x3030303030303030) |
                                       (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) ^ 0x3030303030303030);
      const int digits = std::countr_zero(not_digits) / 8;
      if (digits > 0) {
        // The digits moved to the top bytes, so that the bytes below them
        // read as leading zeros.
        mantissa = mantissa * kPowersOfTen[digits] +
                   value_of_eight_digits((word - 0x3030303030303030) << (8 * (8 - digits)));
      }
      return p + digits;
    }
  }
  for (; p != end && is_digit(static_cast<unsigned char>(*p)); ++p) {
    mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
  }
  return p;
}


int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The decimal exponent of the first significant digit of a float token
// (digits, optional fraction, optional exponent; no sign), used only to tell
// overflow from underflow when the conversion reports a range error.
// The exponent saturates at 10^17: beyond the range of a double, and beyond
// any count of leading or integer digits that a text in memory can hold, so
// the sum below always has the sign of the true magnitude.
long long decimal_magnitude(std::string_view token) {
  constexpr long long kExponentCap = 100'000'000'000'000'000LL;
  long long exponent = 0;
  const std::size_t e_pos = token.find_first_of("eE");
  if (e_pos != std::string_view::npos) {
    std::string_view exp = token.substr(e_pos + 1);
    const bool negative = !exp.empty() && exp.front() == '-';
    if (!exp.empty() && (exp.front() == '-' || exp.front() == '+')) exp.remove_prefix(1);
    for (char c : exp) {
      exponent = std::min<long long>(exponent * 10 + (c - '0'), kExponentCap);
    }
    if (negative) exponent = -exponent;
    token = token.substr(0, e_pos);
  }
  const std::size_t point = std::min(token.find('.'), token.size());
  const std::size_t first = token.find_first_not_of("0.");
  if (first == std::string_view::npos) return std::numeric_limits<long long>::min();  // zero
  // Position of the first significant digit relative to the point.
  const long long place = first < point ? static_cast<long long>(point - first) - 1
                                        : -static_cast<long long>(first - point);
  return place + exponent;
}

}  // namespace

std::string JsonError::message() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

JsonError JsonCursor::error_at(std::size_t pos, std::string_view description) const {
  const std::size_t end = std::min(pos, text_.size());
  const std::string_view before = text_.substr(0, end);
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const std::size_t column = end - line_start + (pos < text_.size() ? 1 : 0);
  return JsonError{std::string(description), line, column};
}

int JsonCursor::skip_whitespace_and_peek() {
  while (pos_ < text_.size() && is_whitespace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
}

std::expected<void, JsonError> JsonCursor::enter_nesting() {
  if (--nesting_budget_ == 0) {
    ++nesting_budget_;
    return std::unexpected(error_here(msg::kRecursionLimit));
  }
  return {};
}

std::expected<void, JsonError> JsonCursor::finish() {
  if (peek_token() != -1) return std::unexpected(error_here(msg::kTrailingCharacters));
  return {};
}

std::expected<JsonValue, JsonError> JsonCursor::read_value() {
  switch (peek_token()) {
    case -1:
      return std::unexpected(error_here(msg::kEofValue));
    case '{':
      return read_object();
    case '[':
      return read_array();
    case '"': {
      auto text = read_string();
      if (!text) return std::unexpected(std::move(text.error()));
      return JsonValue(std::move(*text));
    }
    case 't':
      ++pos_;
      if (auto ok = read_word("rue"); !ok) return std::unexpected(std::move(ok.error()));
      return JsonValue(true);
    case 'f':
      ++pos_;
      if (auto ok = read_word("alse"); !ok) return std::unexpected(std::move(ok.error()));
      return JsonValue(false);
    case 'n':
      if (auto ok = read_null(); !ok) return std::unexpected(std::move(ok.error()));
      return JsonValue();
    default:
      break;
  }
  const unsigned char c = static_cast<unsigned char>(text_[pos_]);
  if (c != '-' && !is_digit(c)) return std::unexpected(error_here(msg::kExpectedValue));
  auto number = read_number();
  if (!number) return std::unexpected(std::move(number.error()));
  return std::visit([](auto n) { return JsonValue(n); }, *number);
}

std::expected<void, JsonError> JsonCursor::read_null() {
  ++pos_;
  return read_word("ull");
}

std::expected<void, JsonError> JsonCursor::read_word(std::string_view rest) {
  for (char expected : rest) {
    if (pos_ >= text_.size()) return std::unexpected(error_here(msg::kEofValue));
    if (text_[pos_] != expected) return std::unexpected(error_here(msg::kExpectedIdent));
    ++pos_;
  }
  return {};
}

// One pass with plain pointers: numbers are most of what a stored record
// holds, so this loop decides how fast a database opens. Kept inline so
// that the token's parts stay in registers.
[[gnu::always_inline]] inline JsonCursor::NumberToken JsonCursor::scan_number_token(const char* p,
                                                                                  const char* const text_end) {
  NumberToken number;
  auto refuse = [&](const char* at, NumberToken::Error error) {
    number.end = at;
    number.error = error;
    return number;
  };
  auto digit_at = [&](const char* at) { return at != text_end && is_digit(static_cast<unsigned char>(*at)); };

  number.negative = *p == '-';
  if (number.negative) ++p;
  number.digits_begin = p;
  if (p == text_end) return refuse(p, NumberToken::Error::kEnd);
  if (!is_digit(static_cast<unsigned char>(*p))) return refuse(p, NumberToken::Error::kInvalid);

  // Every digit goes into `mantissa`, which is exact while there are at most
  // 19 of them; `power` is the power of ten that scales it.
  if (*p == '0') {
    ++p;
    if (digit_at(p)) return refuse(p, NumberToken::Error::kInvalid);
  } else {
    const char* const first = p;
    p = accumulate_digits(p, text_end, number.mantissa);
    number.digit_count = static_cast<std::size_t>(p - first);
  }
  number.integer_end = p;
  if (p != text_end && *p == '.') {
    number.is_float = true;
    ++p;
    if (p == text_end) return refuse(p, NumberToken::Error::kEnd);
    if (!is_digit(static_cast<unsigned char>(*p))) return refuse(p, NumberToken::Error::kInvalid);
    const char* const first = p;
    p = accumulate_digits(p, text_end, number.mantissa);
    number.digit_count += static_cast<std::size_t>(p - first);
    number.power = -static_cast<long long>(p - first);
  }
  if (p != text_end && (*p == 'e' || *p == 'E')) {
    number.is_float = true;
    ++p;
    bool negative_exponent = false;
    if (p != text_end && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
    if (p == text_end) return refuse(p, NumberToken::Error::kEnd);
    if (!is_digit(static_cast<unsigned char>(*p))) return refuse(p, NumberToken::Error::kInvalid);
    long long exponent = 0;
    for (; digit_at(p); ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1'000'000LL);
    number.power += negative_exponent ? -exponent : exponent;
  }
  number.end = p;
  return number;
}

std::optional<JsonNumber> JsonCursor::exact_number(const NumberToken& number) {
  if (!number.is_float) {
    // Integers of up to 20 digits may fit in 64 bits; recount the longest
    // ones with an overflow check.
    std::uint64_t mantissa = number.mantissa;
    bool fits = number.digit_count <= 19;
    if (number.digit_count == 20) {
      mantissa = 0;
      fits = true;
      for (const char* d = number.digits_begin; d != number.integer_end; ++d) {
        const unsigned digit = static_cast<unsigned>(*d - '0');
        if (mantissa > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) fits = false;
        mantissa = mantissa * 10 + digit;
      }
    }
    if (fits && !number.negative) return JsonValue::Unsigned{mantissa};
    constexpr std::uint64_t kMinSignedMagnitude = std::uint64_t{1} << 63;
    if (fits && mantissa != 0 && mantissa <= kMinSignedMagnitude) {
      // Two's complement negation of the magnitude, without signed overflow.
      return static_cast<JsonValue::Signed>(~mantissa + 1);
    }
  } else if (number.digit_count <= 19 && number.mantissa <= kMaxExactMantissa && number.power >= -22 &&
             number.power <= 22) {
    // A mantissa of at most 53 bits and a power of ten of at most 22 are
    // both exact doubles, so one multiplication or division rounds
    // correctly: the same double as the general conversion.
    const double scaled = number.power < 0
                              ? static_cast<double>(number.mantissa) / kExactPowersOfTen[-number.power]
                              : static_cast<double>(number.mantissa) * kExactPowersOfTen[number.power];
    return number.negative ? -scaled : scaled;
  }
  return std::nullopt;
}

std::expected<double, JsonError> JsonCursor::general_double(const NumberToken& number) const {
  // Every number that exact_number() leaves is a correctly rounded double.
  const std::string_view unsigned_token(number.digits_begin,
                                        static_cast<std::size_t>(number.end - number.digits_begin));
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(unsigned_token.data(), unsigned_token.data() + unsigned_token.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (decimal_magnitude(unsigned_token) >= 0) {
      return std::unexpected(error_at(pos_ - 1, msg::kNumberOutOfRange));
    }
    value = 0.0;  // Too small for a double: underflows to zero.
  }
  return number.negative ? -value : value;
}

std::unexpected<JsonError> JsonCursor::number_error(const NumberToken& number) {
  pos_ = static_cast<std::size_t>(number.end - text_.data());
  return std::unexpected(error_here(number.error == NumberToken::Error::kEnd ? msg::kEofValue : msg::kInvalidNumber));
}

std::expected<JsonNumber, JsonError> JsonCursor::read_number() {
  const NumberToken number = scan_number_token(text_.data() + pos_, text_.data() + text_.size());
  if (number.error != NumberToken::Error::kNone) return number_error(number);
  pos_ = static_cast<std::size_t>(number.end - text_.data());
  if (auto exact = exact_number(number)) return *exact;
  auto value = general_double(number);
  if (!value) return std::unexpected(std::move(value.error()));
  return *value;
}

std::expected<float, JsonError> JsonCursor::read_number_as_float() {
  const NumberToken number = scan_number_token(text_.data() + pos_, text_.data() + text_.size());
  if (number.error != NumberToken::Error::kNone) [[unlikely]] return number_error(number);
  pos_ = static_cast<std::size_t>(number.end - text_.data());
  if (number.is_float && number.digit_count <= 19 && number.mantissa <= kMaxExactMantissa &&
      number.power >= -22 && number.power <= 22) [[likely]] {
    // The common case of a stored vector element, without the detour
    // through the number kinds.
    const double scaled = number.power < 0
                              ? static_cast<double>(number.mantissa) / kExactPowersOfTen[-number.power]
                              : static_cast<double>(number.mantissa) * kExactPowersOfTen[number.power];
    return static_cast<float>(number.negative ? -scaled : scaled);
  }
  if (auto exact = exact_number(number)) {
    return std::visit([](auto n) { return static_cast<float>(n); }, *exact);
  }
  auto value = general_double(number);
  if (!value) return std::unexpected(std::move(value.error()));
  return static_cast<float>(*value);
}

std::expected<unsigned, JsonError> JsonCursor::read_hex4() {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos_ >= text_.size()) return std::unexpected(error_here(msg::kEofString));
    const int digit = hex_value(static_cast<unsigned char>(text_[pos_]));
    if (digit < 0) return std::unexpected(error_here(msg::kInvalidEscape));
    value = value * 16 + static_cast<unsigned>(digit);
    ++pos_;
  }
  return value;
}

// Reads the escape after a backslash (the cursor is on the byte after it).
std::expected<void, JsonError> JsonCursor::read_escape(std::string& out) {
  if (pos_ >= text_.size()) return std::unexpected(error_here(msg::kEofString));
  const char kind = text_[pos_];
  switch (kind) {
    case '"': out += '"'; break;
    case '\\': out += '\\'; break;
    case '/': out += '/'; break;
    case 'b': out += '\b'; break;
    case 'f': out += '\f'; break;
    case 'n': out += '\n'; break;
    case 'r': out += '\r'; break;
    case 't': out += '\t'; break;
    case 'u': {
      ++pos_;
      auto unit = read_hex4();
      if (!unit) return std::unexpected(std::move(unit.error()));
      if (*unit >= 0xDC00 && *unit <= 0xDFFF) {
        return std::unexpected(error_at(pos_ - 1, msg::kLoneSurrogate));
      }
      if (*unit < 0xD800 || *unit > 0xDBFF) {
        append_utf8(out, *unit);
        return {};
      }
      // A leading surrogate must be followed at once by "\u" and a trailing one.
      if (pos_ >= text_.size()) return std::unexpected(error_here(msg::kEofString));
      if (text_[pos_] != '\\') return std::unexpected(error_here(msg::kUnexpectedEndOfHexEscape));
      ++pos_;
      if (pos_ >= text_.size()) return std::unexpected(error_here(msg::kEofString));
      if (text_[pos_] != 'u') return std::unexpected(error_here(msg::kUnexpectedEndOfHexEscape));
      ++pos_;
      auto trail = read_hex4();
      if (!trail) return std::unexpected(std::move(trail.error()));
      if (*trail < 0xDC00 || *trail > 0xDFFF) {
        return std::unexpected(error_at(pos_ - 1, msg::kLoneSurrogate));
      }
      append_utf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*trail - 0xDC00));
      return {};
    }
    default:
      return std::unexpected(error_here(msg::kInvalidEscape));
  }
  ++pos_;
  return {};
}

// Copies one multi-byte UTF-8 sequence starting at the cursor.
std::expected<void, JsonError> JsonCursor::read_utf8_sequence(std::string& out) {
  const std::size_t length = utf8::sequence_length(text_, pos_);
  if (length == 0) return std::unexpected(error_here(msg::kInvalidUtf8));
  out.append(text_.substr(pos_, length));
  pos_ += length;
  return {};
}

std::expected<std::string, JsonError> JsonCursor::read_string() {
  ++pos_;  // The opening quote.
  std::string out;
  while (true) {
    // Copy the longest run of plain ASCII bytes at once.
    const std::size_t run_start = pos_;
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++pos_;
    }
    out.append(text_.substr(run_start, pos_ - run_start));
    if (pos_ >= text_.size()) return std::unexpected(error_here(msg::kEofString));
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return out;
    }
    if (c == '\\') {
      ++pos_;
      if (auto ok = read_escape(out); !ok) return std::unexpected(std::move(ok.error()));
    } else if (c < 0x20) {
      return std::unexpected(error_here(msg::kControlCharacter));
    } else if (auto ok = read_utf8_sequence(out); !ok) {
      return std::unexpected(std::move(ok.error()));
    }
  }
}

std::expected<JsonValue, JsonError> JsonCursor::read_array() {
  if (auto ok = enter_nesting(); !ok) return std::unexpected(std::move(ok.error()));
  ++pos_;
  const std::size_t first = open_elements_.size();
  int next = peek_token();
  if (next == ']') {
    ++pos_;
    leave_nesting();
    return JsonValue(JsonValue::Array());
  }
  if (next == -1) return std::unexpected(error_here(msg::kEofList));
  while (true) {
    auto element = read_value();
    if (!element) return std::unexpected(std::move(element.error()));
    open_elements_.push_back(std::move(*element));
    next = peek_token();
    if (next == ']') break;
    if (next == -1) return std::unexpected(error_here(msg::kEofList));
    if (next != ',') return std::unexpected(error_here(msg::kExpectedCommaOrBracket));
    ++pos_;
    if (peek_token() == ']') return std::unexpected(error_here(msg::kTrailingComma));
  }
  ++pos_;
  leave_nesting();
  const auto begin = open_elements_.begin() + static_cast<std::ptrdiff_t>(first);
  JsonValue::Array elements(std::make_move_iterator(begin), std::make_move_iterator(open_elements_.end()));
  open_elements_.erase(begin, open_elements_.end());
  return JsonValue(std::move(elements));
}

std::expected<JsonValue, JsonError> JsonCursor::read_object() {
  if (auto ok = enter_nesting(); !ok) return std::unexpected(std::move(ok.error()));
  ++pos_;
  const std::size_t first = open_members_.size();
  int next = peek_token();
  if (next == '}') {
    ++pos_;
    leave_nesting();
    return JsonValue::make_object({});
  }
  while (true) {
    if (next == -1) return std::unexpected(error_here(msg::kEofObject));
    if (next != '"') return std::unexpected(error_here(msg::kKeyMustBeString));
    auto key = read_string();
    if (!key) return std::unexpected(std::move(key.error()));
    next = peek_token();
    if (next == -1) return std::unexpected(error_here(msg::kEofObject));
    if (next != ':') return std::unexpected(error_here(msg::kExpectedColon));
    ++pos_;
    auto value = read_value();
    if (!value) return std::unexpected(std::move(value.error()));
    open_members_.push_back({std::move(*key), std::move(*value)});
    next = peek_token();
    if (next == '}') break;
    if (next == -1) return std::unexpected(error_here(msg::kEofObject));
    if (next != ',') return std::unexpected(error_here(msg::kExpectedCommaOrBrace));
    ++pos_;
    next = peek_token();
    if (next == '}') return std::unexpected(error_here(msg::kTrailingComma));
    if (next == -1) return std::unexpected(error_here(msg::kEofValue));
  }
  ++pos_;
  leave_nesting();
  const auto begin = open_members_.begin() + static_cast<std::ptrdiff_t>(first);
  std::vector<JsonValue::Member> members(std::make_move_iterator(begin),
                                         std::make_move_iterator(open_members_.end()));
  open_members_.erase(begin, open_members_.end());
  return JsonValue::make_object(std::move(members));
}

std::expected<JsonValue, JsonError> read_json_document(std::string_view text, int nesting_budget) {
  JsonCursor reader(text, nesting_budget);
  auto value = reader.read_value();
  if (!value) return value;
  if (auto ok = reader.finish(); !ok) return std::unexpected(std::move(ok.error()));
  return value;
}

std::size_t json_nesting_depth(const JsonValue& value) {
  std::size_t deepest = 0;
  if (const auto* array = value.get_if<JsonValue::Array>()) {
    for (const auto& element : *array) deepest = std::max(deepest, json_nesting_depth(element));
    return deepest + 1;
  }
  if (const auto* object = value.get_if<JsonValue::Object>()) {
    for (const auto& member : *object) deepest = std::max(deepest, json_nesting_depth(member.value));
    return deepest + 1;
  }
  return 0;
}

}  // namespace quorvel
