#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "py_ref.h"

// What every module of this project does at the boundary between C++ and the
// interpreter: messages, raising, and keeping C++ exceptions inside.
namespace quorvel::python {

// Returns `pattern` with each "{}" replaced by the next of `arguments`, in
// order. Surplus "{}" stay as they are.
std::string format_message(std::string_view pattern, std::initializer_list<std::string_view> arguments);

// The UTF-8 bytes of the str `text`, lone surrogates included (as their
// three-byte forms), or of str(text) for any other object. Never fails: an
// object that cannot be shown gives a fixed placeholder and leaves no error.
std::string display_text(PyObject* text);

// Sets the exception `type` with `message`, UTF-8 that may hold the
// three-byte forms of lone surrogates. Always returns nullptr, for
// `return raise_error(...)`.
std::nullptr_t raise_error(PyObject* type, std::string_view message);

// Turns the C++ exception being handled into a Python exception: MemoryError
// for std::bad_alloc, otherwise the internal-failure exception with the
// exception's own text. Call only from inside a catch block.
void raise_current_cpp_exception() noexcept;

// Runs `body` (returning a new reference or nullptr with an exception set) so
// that no C++ exception leaves it: one that does is turned into a Python
// exception and nullptr is returned. Every entry point from the interpreter
// goes through here.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_cpp_exception();
    return nullptr;
  }
}

}  // namespace quorvel::python
