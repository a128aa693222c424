#pragma once

#include <span>
#include <string>
#include <string_view>

#include "quorvel/json/json_value.h"

namespace quorvel {

// The compact JSON form: every JSON text the system writes is produced by
// these functions. No whitespace; control characters escaped (\b \t \n \f \r,
// others as \u00xx), '"' and '\' escaped, every other byte written as is;
// object members in key byte order; integers in decimal; floats as the
// shortest digits that read back to the same value, and a NaN or infinite
// float, which JSON has no form for, as null.
//
// None of these functions can fail. (A writer that must keep every value,
// such as the record store's, refuses non-finite floats before writing.)

// Appends `value` in compact form.
void append_json(std::string& out, const JsonValue& value);

// Returns `value` in compact form.
std::string to_json(const JsonValue& value);

// Appends `text` as a JSON string, quotes included. `text` is written byte for
// byte apart from the escapes; it is not checked for valid UTF-8.
void append_json_string(std::string& out, std::string_view text);

// Appends a 64-bit float: positional for decimal exponents -5..15, exponent
// notation (1e-6, 1.5e+16) otherwise; null when it is NaN or infinite.
void append_json_double(std::string& out, double value);

// Appends a 32-bit float: positional for decimal exponents -6..12, exponent
// notation (1e-7, 1e+13) otherwise; null when it is NaN or infinite.
void append_json_float(std::string& out, float value);

// Appends the elements of `values`, each as append_json_float() writes it,
// separated by commas.
void append_json_float_list(std::string& out, std::span<const float> values);

}  // namespace quorvel
