#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "py_ref.h"
#include "quorvel/json/json_value.h"

namespace quorvel::python {

// The parameters of one method: every one positional-or-keyword, the first
// `required` of them required, the rest defaulting to None.
struct Signature {
  std::string_view full_name;  // "Quorvel.insert()", used in every message
  std::span<const char* const> names;
  std::size_t required;
};

// Binds the positional tuple `args` and the keyword dict `kwargs` (or
// nullptr) to the parameters of `signature`, storing a borrowed reference
// (or nullptr for an omitted optional parameter) per parameter in `out`,
// which has one slot per parameter. Nothing is converted.
//
// Fails with TypeError, checking in this order: too many positional
// arguments; each keyword in dict order (unknown name, or a parameter already
// given); required parameters given neither way.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                  std::span<PyObject*> out);

// The UTF-8 bytes of a str argument. `bytes` owns them; `view` points into it
// and is valid as long as this object lives.
struct Utf8Text {
  PyRef bytes;
  std::string_view view;
};

// Each conversion below fills `out` and returns true, or returns false with
// an exception set; `parameter` names the argument in a re-raised TypeError:
// a conversion failure whose type is exactly TypeError is raised again as
// TypeError "argument '<parameter>': <message>", keeping the cause of the
// original; any other failure propagates unchanged.

// A str (or subclass) as strict UTF-8. Other objects: TypeError
// "'<type>' object cannot be converted to 'PyString'"; lone surrogates: the
// interpreter's UnicodeEncodeError.
[[nodiscard]] bool to_text(PyObject* object, const char* parameter, Utf8Text& out);

// A sequence of numbers, iterated and converted element by element with the
// interpreter's float conversion and rounded to 32-bit floats. A str is
// refused ("Can't extract `str` to `Vec`"), and so is any object that is not
// a sequence ("'<type>' object cannot be converted to 'Sequence'").
[[nodiscard]] bool to_float_vector(PyObject* object, const char* parameter, std::vector<float>& out);

// A non-negative integer up to 2^64 - 1: an int, or an object with
// __index__. Out of range: the interpreter's OverflowError.
[[nodiscard]] bool to_count(PyObject* object, const char* parameter, std::uint64_t& out);

// None or nullptr (omitted): no metadata. Otherwise a str holding one JSON
// value, read by the metadata text reader; text that is not JSON raises
// ValueError with the reader's message.
[[nodiscard]] bool to_metadata(PyObject* object, const char* parameter,
                               std::optional<JsonValue>& out);

}  // namespace quorvel::python
