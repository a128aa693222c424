#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "quorvel/json/json_value.h"

namespace quorvel {

// Where and why a JSON text was refused. `line` is 1 plus the line feeds
// before the offending byte; `column` counts bytes from the start of that
// line up to and including it, or, at the end of the text, the bytes of the
// last line.
struct JsonError {
  std::string description;
  std::size_t line = 1;
  std::size_t column = 0;

  // "<description> at line <line> column <column>".
  std::string message() const;
  friend bool operator==(const JsonError&, const JsonError&) = default;
};

// The nesting budget of metadata text: each '[' or '{' takes one unit and a
// bracket that would take the last unit is refused, so 127 levels.
inline constexpr int kDefaultJsonNestingBudget = 128;

// Reads `text` (RFC 8259) as exactly one JSON value, with only whitespace
// (space, tab, line feed, carriage return) around it. Strings must be valid
// UTF-8. Integers without sign become Unsigned up to 2^64 - 1, negative ones
// Signed down to -2^63; every other number (including -0) is a correctly
// rounded double; a magnitude too large for a double is refused, one too
// small becomes zero. Arrays and objects share `nesting_budget` as above, so
// a budget of N admits N - 1 levels. Fails with the first fault found, and
// where it is. The value owns copies of its strings.
// REQUIRES: nesting_budget >= 1.
[[nodiscard]] std::expected<JsonValue, JsonError> read_json_document(
    std::string_view text, int nesting_budget = kDefaultJsonNestingBudget);

// The deepest nesting of arrays and objects in `value`: 0 for a scalar, 1 for
// an array or object of scalars.
std::size_t json_nesting_depth(const JsonValue& value);

}  // namespace quorvel
