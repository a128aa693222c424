#pragma once

#include <cstddef>
#include <string_view>

#include "py_ref.h"
#include "quorvel/core/engine.h"

namespace quorvel::python {

// The module's exception classes, made once by make_exceptions() and kept
// for the life of the process. Every one derives from Error.
struct ExceptionTypes {
  PyObject* error = nullptr;          // Error(Exception): the base of all
  PyObject* storage = nullptr;        // StorageError(Error): the file cannot be opened, read or changed
  PyObject* file_in_use = nullptr;    // FileInUseError(StorageError): another engine holds the file
  PyObject* damaged_file = nullptr;   // DamagedFileError(StorageError): the file does not read back
  PyObject* forked_child = nullptr;   // ForkedChildError(StorageError): a write in a forked child
  PyObject* refused_value = nullptr;  // RefusedValueError(Error, ValueError): a value the file cannot hold
  PyObject* config = nullptr;         // ConfigError(Error, ValueError): options that cannot work
  PyObject* closed = nullptr;         // EngineClosedError(Error): a call after close()
};

// The classes, once made.
const ExceptionTypes& exception_types();

// Makes the classes and adds each to `module` under its name. Returns false
// with an exception set when one cannot be made.
[[nodiscard]] bool make_exceptions(PyObject* module);

// Where an engine error arose: at open a vector length that differs is a
// matter of configuration (the dimension given, or the file), elsewhere a
// refused value; and the store names the file in the errors of an open
// only.
enum class During { kOpen, kCall };

// Raises the class that fits `error` with its display text; a failure of
// the file during a call names it too, `path`, as open errors do. Returns
// nullptr.
std::nullptr_t raise_engine_error(const EngineError& error, During during, std::string_view path);

// Raises RefusedValueError `message`. Returns nullptr.
std::nullptr_t raise_refused(std::string_view message);

// Raises ConfigError `message`. Returns nullptr.
std::nullptr_t raise_config(std::string_view message);

// Puts `prefix` before the message of the pending exception when it is a
// TypeError, ValueError, OverflowError or one of the module's classes,
// whose constructors take one message; it then gets the attribute `index`
// too. Other exceptions stay as they are. Keeps the original as the cause.
void prefix_pending_error(std::string_view prefix, std::size_t index);

}  // namespace quorvel::python
