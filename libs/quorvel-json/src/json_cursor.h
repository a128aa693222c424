#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quorvel/json/json_reader.h"
#include "quorvel/json/json_value.h"

namespace quorvel {

// A number as read from JSON text, in the kind JsonValue keeps it.
using JsonNumber = std::variant<JsonValue::Unsigned, JsonValue::Signed, JsonValue::Float>;

// A single forward pass over JSON text, with one byte of look-ahead and no
// backtracking, by the rules and with the nesting budget that
// read_json_document() describes.
//
// read_json_document() reads one free-form value with it; readers of fixed
// shapes (such as a stored record) drive the cursor operations directly.
// Not thread-safe; cheap to construct.
class JsonCursor {
 public:
  // A reader at the start of `text`, which it refers to and does not copy:
  // `text` must outlive the reader. REQUIRES: nesting_budget >= 1 (a budget
  // of 0 or less is never used up, so it would admit any depth).
  explicit JsonCursor(std::string_view text, int nesting_budget = kDefaultJsonNestingBudget)
      : text_(text), nesting_budget_(nesting_budget) {}

  // Skips whitespace and returns the next byte without consuming it, or -1 at
  // the end of the text. (The common case, no whitespace, is inline: it runs
  // between every two values.)
  int peek_token() {
    if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) > ' ') {
      return static_cast<unsigned char>(text_[pos_]);
    }
    return skip_whitespace_and_peek();
  }
  // Consumes the byte that peek_token() returned. REQUIRES: not at the end.
  void advance() { ++pos_; }

  // Reads one value of any kind starting at the next token.
  [[nodiscard]] std::expected<JsonValue, JsonError> read_value();
  // Reads a string. REQUIRES: peek_token() returned '"'.
  [[nodiscard]] std::expected<std::string, JsonError> read_string();
  // Reads a number. REQUIRES: peek_token() returned '-' or a digit.
  [[nodiscard]] std::expected<JsonNumber, JsonError> read_number();
  // Reads a number as a 32-bit float: an integer of the Unsigned or Signed
  // range directly to the nearest float, any other number first to the
  // nearest double (as read_number() reads it), that to the nearest float.
  // REQUIRES: peek_token() returned '-' or a digit.
  [[nodiscard]] std::expected<float, JsonError> read_number_as_float();
  // Reads the word null. REQUIRES: peek_token() returned 'n'.
  [[nodiscard]] std::expected<void, JsonError> read_null();

  // Takes one unit of the nesting budget for the bracket at the cursor.
  // REQUIRES: peek_token() returned '[' or '{'; the bracket is not consumed.
  [[nodiscard]] std::expected<void, JsonError> enter_nesting();
  // Gives back the unit taken by enter_nesting().
  void leave_nesting() { ++nesting_budget_; }

  // Succeeds when only whitespace remains; otherwise "trailing characters".
  [[nodiscard]] std::expected<void, JsonError> finish();

  // An error pointing at the byte at the cursor (after whitespace was
  // skipped by peek_token()), or at the end of the text.
  JsonError error_here(std::string_view description) const { return error_at(pos_, description); }
  // An error pointing at the byte at `pos`, or the end when pos >= size.
  JsonError error_at(std::size_t pos, std::string_view description) const;

  // Byte offset of the cursor.
  std::size_t position() const { return pos_; }
  // The text being read.
  std::string_view text() const { return text_; }
  // Moves the cursor forward to `position`, past bytes the caller has read
  // itself (complete values and separators). REQUIRES: position() <=
  // position <= text().size().
  void skip_to(std::size_t position) { pos_ = position; }

 private:
  int skip_whitespace_and_peek();

  // The parts of a number token, checked against the grammar.
  struct NumberToken {
    enum class Error { kNone, kEnd, kInvalid };
    bool negative = false;
    bool is_float = false;               // has a fraction or an exponent
    std::uint64_t mantissa = 0;          // every digit, exact while digit_count <= 19
    std::size_t digit_count = 0;         // of the integer part (but a lone 0) and the fraction
    long long power = 0;                 // the power of ten that scales the mantissa
    const char* digits_begin = nullptr;  // after the sign
    const char* integer_end = nullptr;
    const char* end = nullptr;           // after the token, or the refused byte
    Error error = Error::kNone;
  };
  // Reads the number token at `p` against the grammar; on a refusal, `error`
  // says why and `end` points at the offending byte.
  static NumberToken scan_number_token(const char* p, const char* text_end);
  // The number when it converts without the general routine: an integer
  // that fits its kind, or a decimal that one exact multiplication or
  // division gives.
  static std::optional<JsonNumber> exact_number(const NumberToken& number);
  // The correctly rounded double of a number that has no exact shortcut.
  [[nodiscard]] std::expected<double, JsonError> general_double(const NumberToken& number) const;
  // The error of a refused number token, with the cursor on the refused byte.
  std::unexpected<JsonError> number_error(const NumberToken& number);

  [[nodiscard]] std::expected<JsonValue, JsonError> read_array();
  [[nodiscard]] std::expected<JsonValue, JsonError> read_object();
  [[nodiscard]] std::expected<void, JsonError> read_word(std::string_view rest);
  [[nodiscard]] std::expected<unsigned, JsonError> read_hex4();
  [[nodiscard]] std::expected<void, JsonError> read_escape(std::string& out);
  [[nodiscard]] std::expected<void, JsonError> read_utf8_sequence(std::string& out);

  std::string_view text_;
  std::size_t pos_ = 0;
  int nesting_budget_;
  // Elements and members of the arrays and objects still open, innermost
  // last: each container is built once at its closing bracket, at its final
  // size, instead of growing its own vector.
  std::vector<JsonValue> open_elements_;
  std::vector<JsonValue::Member> open_members_;
};

}  // namespace quorvel
