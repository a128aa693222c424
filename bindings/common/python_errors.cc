#include "python_errors.h"

#include <exception>
#include <new>

#include "shared_messages.h"

namespace quorvel::python {
namespace {

// Name of the exception type of internal failures. It derives from
// BaseException so that an `except Exception` in the caller does not swallow
// a broken invariant, and it is deliberately not an attribute of the module.
constexpr const char* kInternalFailureName = "quorvel_runtime.InternalFailure";

// The internal-failure type, created on first use and kept for the life of
// the process. Returns nullptr with an exception set when it cannot be made.
PyObject* internal_failure_type() {
  // Guarded by the interpreter lock, like every call into this module.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewException(kInternalFailureName, PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

std::string format_message(std::string_view pattern, std::initializer_list<std::string_view> arguments) {
  std::string out;
  out.reserve(pattern.size() + 32);
  auto next = arguments.begin();
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    if (next != arguments.end() && pattern.compare(pos, 2, "{}") == 0) {
      out += *next++;
      pos += 2;
    } else {
      out += pattern[pos++];
    }
  }
  return out;
}

std::string display_text(PyObject* text) {
  PyRef str = PyUnicode_Check(text) ? PyRef::borrow(text) : PyRef(PyObject_Str(text));
  if (str) {
    PyRef bytes(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return std::string(shared_messages::kUnprintableException);
}

std::nullptr_t raise_error(PyObject* type, std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "surrogatepass"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

void raise_current_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    // Building the message may itself run out of memory; nothing may escape.
    try {
      if (PyObject* type = internal_failure_type()) raise_error(type, failure.what());
    } catch (...) {
      PyErr_NoMemory();
    }
  } catch (...) {
    if (PyObject* type = internal_failure_type()) raise_error(type, shared_messages::kUnknownFailure);
  }
}

}  // namespace quorvel::python
