#include "arguments.h"

#include <algorithm>
#include <string>

#include "errors.h"
#include "messages.h"
#include "metadata_text.h"

namespace quorvel::python {
namespace {

// A vector's reported length is only a hint (a __len__ may say anything), so
// memory is reserved for at most this many elements up front.
constexpr Py_ssize_t kMaxReservedElements = Py_ssize_t{1} << 20;

// Finishes a failed conversion of `parameter`: a pending exception whose type
// is exactly TypeError is replaced by a TypeError that names the parameter
// and carries the original's cause; any other exception stays as it is.
// Returns false, for `return fail_argument(...)`.
bool fail_argument(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type(type);
  PyRef original(value);
  PyRef original_traceback(traceback);
  if (!original) return false;

  std::string message = format_message(messages::kArgumentPrefix, {parameter});
  message += display_text(original.get());
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "surrogatepass"));
  if (!text) return false;
  PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return false;
  // GetCause returns a new reference (or nullptr) and SetCause takes it over.
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), nullptr);
  return false;
}

// Raises TypeError `pattern` with "{}" replaced by the __qualname__ of the
// type of `object`.
void raise_wrong_type(PyObject* object, std::string_view pattern) {
  PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!qualname) return;
  raise_error(PyExc_TypeError, format_message(pattern, {display_text(qualname.get())}));
}

std::string count_text(std::size_t count) { return std::to_string(count); }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool raise_too_many_positional(const Signature& signature, std::size_t given) {
  const std::string_view verb = given == 1 ? "was" : "were";
  const std::string total = count_text(signature.names.size());
  const std::string given_text = count_text(given);
  if (signature.required == signature.names.size()) {
    raise_error(PyExc_TypeError, format_message(messages::kTooManyPositional,
                                                {signature.full_name, total, given_text, verb}));
  } else {
    raise_error(PyExc_TypeError,
                format_message(messages::kTooManyPositionalRange,
                               {signature.full_name, count_text(signature.required), total, given_text, verb}));
  }
  return false;
}

// The position of the parameter named `key`, or names.size() when none is.
std::size_t parameter_index(const Signature& signature, PyObject* key) {
  if (PyUnicode_Check(key)) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) return i;
    }
  }
  return signature.names.size();
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);

  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > signature.names.size()) {
    return raise_too_many_positional(signature, static_cast<std::size_t>(given));
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const std::size_t index = parameter_index(signature, key);
      if (index == signature.names.size()) {
        raise_error(PyExc_TypeError,
                    format_message(messages::kUnexpectedKeyword, {signature.full_name, display_text(key)}));
        return false;
      }
      if (out[index] != nullptr) {
        raise_error(PyExc_TypeError,
                    format_message(messages::kMultipleValues, {signature.full_name, signature.names[index]}));
        return false;
      }
      out[index] = value;
    }
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (!missing.empty()) {
    raise_error(PyExc_TypeError,
                format_message(messages::kMissingArguments,
                               {signature.full_name, count_text(missing.size()),
                                missing.size() == 1 ? "argument" : "arguments", quoted_list(missing)}));
    return false;
  }
  return true;
}

bool to_text(PyObject* object, const char* parameter, Utf8Text& out) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_type(object, messages::kNotText);
    return fail_argument(parameter);
  }
  PyRef bytes(PyUnicode_AsUTF8String(object));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return fail_argument(parameter);
  out.view = std::string_view(data, static_cast<std::size_t>(size));
  out.bytes = std::move(bytes);
  return true;
}

bool to_float_vector(PyObject* object, const char* parameter, std::vector<float>& out) {
  if (PyUnicode_Check(object)) {
    raise_error(PyExc_TypeError, messages::kStrNotVector);
    return fail_argument(parameter);
  }
  if (!PySequence_Check(object)) {
    raise_wrong_type(object, messages::kNotSequence);
    return fail_argument(parameter);
  }
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedElements)));

  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return fail_argument(parameter);
  while (PyRef item{PyIter_Next(iterator.get())}) {
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) return fail_argument(parameter);
    // Round to nearest; magnitudes beyond the float range become infinities.
    out.push_back(static_cast<float>(value));
  }
  if (PyErr_Occurred()) return fail_argument(parameter);
  return true;
}

bool to_count(PyObject* object, const char* parameter, std::uint64_t& out) {
  PyRef integer = PyLong_Check(object) ? PyRef::borrow(object) : PyRef(PyNumber_Index(object));
  if (!integer) return fail_argument(parameter);
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_argument(parameter);
  out = value;
  return true;
}

bool to_metadata(PyObject* object, const char* parameter, std::optional<JsonValue>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  Utf8Text text;
  if (!to_text(object, parameter, text)) return false;
  auto value = read_metadata_text(text.view);
  if (!value) {
    raise_error(PyExc_ValueError, value.error().message());
    return false;
  }
  out = std::move(*value);
  return true;
}

}  // namespace quorvel::python
