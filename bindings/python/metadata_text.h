#pragma once

#include <expected>
#include <string_view>

#include "quorvel/json/json_reader.h"
#include "quorvel/json/json_value.h"
#include "quorvel/storage/record.h"

namespace quorvel {

// Nesting budget of metadata text: each '[' or '{' takes one unit and the
// bracket that would take the last one is refused, so metadata may be nested
// 127 levels deep, which is exactly what a stored record can hold.
inline constexpr int kMetadataNestingBudget = kDefaultJsonNestingBudget;
static_assert(kMetadataNestingBudget - 1 == static_cast<int>(kMaxMetadataNesting),
              "every value that metadata text can express must fit in a stored record");

// Reads the metadata text of one record, UTF-8, as exactly one JSON value
// with only whitespace (space, tab, line feed, carriage return) around it.
// Any kind of value is accepted at the top. Integers without sign become
// Unsigned up to 2^64 - 1, negative ones Signed down to -2^63; every other
// number (-0 included) is the correctly rounded double, and one too small for
// a double becomes zero. Object keys end up in byte order, a repeated key
// keeping its later value.
//
// Fails with the first fault found: its description (json_messages.h of the
// JSON library) and its position, so that error.message() is the text
// "<description> at line L column C" that reaches the Python caller.
// Columns count bytes; at the end of the text the column is the length of
// the last line. Also fails on bytes that are not UTF-8 inside a string.
//
// The result owns its strings; nothing refers into `text`. Keeps no state
// between calls, so it may be called from any number of threads at once.
[[nodiscard]] std::expected<JsonValue, JsonError> read_metadata_text(std::string_view text);

}  // namespace quorvel
