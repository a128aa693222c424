#pragma once

// Metadata in the companion file: a compact binary form of JSON values
// that reads back without parsing text.

#include <optional>
#include <string>
#include <string_view>

#include "quorvel/json/json_value.h"

namespace quorvel {

// Appends the binary form of `value` to `out`.
void append_binary_value(std::string& out, const JsonValue& value);

// Reads a value that append_binary_value wrote, which must fill `bytes`
// exactly. Nothing when the bytes are not such a value: cut short, with
// bytes left over, nested deeper than `nesting` levels of arrays and
// objects, with text that is not UTF-8 or object keys out of order. Never
// reads outside `bytes`.
std::optional<JsonValue> read_binary_value(std::string_view bytes, std::size_t nesting);

}  // namespace quorvel
