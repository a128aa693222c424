#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "py_ref.h"
#include "quorvel/json/json_value.h"

namespace quorvel::python {

// Conversions between Python values and JSON values, direct (no text in
// between). Each converter returns true, or false with an exception set.

// The UTF-8 bytes of a str. `view` stays valid while the str and this
// object live: it points into the str's own UTF-8 form where the
// interpreter keeps one (3.10 and later), else into `bytes`.
struct Utf8 {
  PyRef bytes;
  std::string_view view;
};

// Fills `out` with the UTF-8 of the str `text`, strictly: a lone surrogate
// raises UnicodeEncodeError. REQUIRES: text is a str.
[[nodiscard]] bool utf8_of(PyObject* text, Utf8& out);

// Looks up the interpreter's cached UTF-8 form where its stable ABI has it
// (3.10 and later). Call once, at module initialisation.
void find_utf8_function();

// A Python value as a JSON value: None, bool, int, float, str, list or
// tuple (an array), dict with str keys (an object, its members in key byte
// order). bool is taken before int (True is the JSON true, never 1); an int
// is kept as an integer, a float as a float, so that filters tell 1 from
// 1.0. Refused with RefusedValueError: an int outside -2**63 to 2**64 - 1, a
// NaN or infinite float, nesting of arrays and objects deeper than stored
// metadata may have (which also ends a list that holds itself). Refused
// with TypeError: any other type, a dict key that is not a str. `what`
// ("metadata", "where") begins each message.
[[nodiscard]] bool to_json_value(PyObject* object, std::string_view what, JsonValue& out);

// None (or an omitted argument, nullptr) as no metadata, anything else as
// to_json_value gives it.
[[nodiscard]] bool to_metadata(PyObject* object, std::optional<JsonValue>& out);

// A JSON value as a new Python value: the inverse of to_json_value (arrays
// become lists, objects dicts in key order). Returns nullptr with an
// exception set when memory runs out.
PyObject* from_json_value(const JsonValue& value);

// None for no metadata, else from_json_value.
PyObject* from_metadata(const std::optional<JsonValue>& metadata);

// An int from 0 to 2**64 - 1 (bool refused with TypeError, as an object
// without __index__ is); `name` begins the TypeError's message; out of
// range: `range_type` with `range_message` (the value in its "{}").
[[nodiscard]] bool to_uint64(PyObject* object, std::string_view name, std::string_view range_message,
                             PyObject* range_type, std::uint64_t& out);

// None or nullptr as nothing, else to_uint64 with RefusedValueError.
[[nodiscard]] bool to_optional_uint64(PyObject* object, std::string_view name, std::string_view range_message,
                                      std::optional<std::uint64_t>& out);

// The __qualname__ of the type of `object`, for messages.
std::string type_name(PyObject* object);

}  // namespace quorvel::python
