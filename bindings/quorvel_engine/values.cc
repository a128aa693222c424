#include "values.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "exceptions.h"
#include "messages.h"
#include "python_errors.h"
#include "quorvel/storage/record.h"

namespace quorvel::python {
namespace {

using Utf8Function = const char* (*)(PyObject*, Py_ssize_t*);

Utf8Function cached_utf8 = nullptr;  // PyUnicode_AsUTF8AndSize, where the stable ABI has it

bool utf8_copy(PyObject* text, std::string& out) {
  Utf8 utf8;
  if (!utf8_of(text, utf8)) return false;
  out.assign(utf8.view);
  return true;
}

bool int_value(PyObject* object, std::string_view what, JsonValue& out) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    out = JsonValue(static_cast<JsonValue::Signed>(value));  // non-negative ones are kept Unsigned
    return true;
  }
  if (overflow > 0) {
    const unsigned long long large = PyLong_AsUnsignedLongLong(object);
    if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = JsonValue(static_cast<JsonValue::Unsigned>(large));
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  PyRef shown(PyObject_Repr(object));
  raise_refused(format_message(messages::kMetadataInt, {what, shown ? display_text(shown.get()) : "?"}));
  return false;
}

bool convert(PyObject* object, std::string_view what, std::size_t depth, JsonValue& out);

bool array_value(PyObject* object, std::string_view what, std::size_t depth, JsonValue& out) {
  // A list may change while its items are converted (nothing here runs
  // Python code, but a str subclass could); a tuple cannot.
  PyRef items(PySequence_Tuple(object));
  if (!items) return false;
  const Py_ssize_t count = PyTuple_Size(items.get());
  JsonValue::Array array;
  array.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    JsonValue item;
    if (!convert(PyTuple_GetItem(items.get(), i), what, depth, item)) return false;
    array.push_back(std::move(item));
  }
  out = JsonValue(std::move(array));
  return true;
}

bool object_value(PyObject* object, std::string_view what, std::size_t depth, JsonValue& out) {
  PyRef members(PyDict_Items(object));
  if (!members) return false;
  const Py_ssize_t count = PyList_Size(members.get());
  std::vector<JsonValue::Member> converted;
  converted.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* member = PyList_GetItem(members.get(), i);
    PyObject* key = PyTuple_GetItem(member, 0);
    if (!PyUnicode_Check(key)) {
      raise_error(PyExc_TypeError, format_message(messages::kMetadataKey, {what, type_name(key)}));
      return false;
    }
    JsonValue::Member entry;
    if (!utf8_copy(key, entry.key) || !convert(PyTuple_GetItem(member, 1), what, depth, entry.value)) return false;
    converted.push_back(std::move(entry));
  }
  out = JsonValue::make_object(std::move(converted));
  return true;
}

// `depth` counts the arrays and objects around `object`.
bool convert(PyObject* object, std::string_view what, std::size_t depth, JsonValue& out) {
  if (object == Py_None) {
    out = JsonValue();
    return true;
  }
  if (PyBool_Check(object)) {
    out = JsonValue(object == Py_True);
    return true;
  }
  if (PyLong_Check(object)) return int_value(object, what, out);
  if (PyFloat_Check(object)) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(value)) {
      PyRef shown(PyObject_Repr(object));
      raise_refused(format_message(messages::kMetadataFloat, {what, shown ? display_text(shown.get()) : "?"}));
      return false;
    }
    out = JsonValue(value);
    return true;
  }
  if (PyUnicode_Check(object)) {
    std::string text;
    if (!utf8_copy(object, text)) return false;
    out = JsonValue(std::move(text));
    return true;
  }
  const bool is_array = PyList_Check(object) || PyTuple_Check(object);
  const bool is_object = !is_array && PyDict_Check(object);
  if (!is_array && !is_object) {
    raise_error(PyExc_TypeError, format_message(messages::kMetadataType, {what, type_name(object)}));
    return false;
  }
  if (depth + 1 > kMaxMetadataNesting) {
    raise_refused(format_message(messages::kMetadataNested, {what, std::to_string(kMaxMetadataNesting)}));
    return false;
  }
  return is_array ? array_value(object, what, depth + 1, out) : object_value(object, what, depth + 1, out);
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* new_str(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

}  // namespace

void find_utf8_function() {
  int major = 0;
  int minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 || major < 3 || (major == 3 && minor < 10)) return;
  cached_utf8 = reinterpret_cast<Utf8Function>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

bool utf8_of(PyObject* text, Utf8& out) {
  if (cached_utf8 != nullptr) {
    Py_ssize_t size = 0;
    const char* data = cached_utf8(text, &size);
    if (data == nullptr) return false;
    out.view = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  out.bytes = PyRef(PyUnicode_AsUTF8String(text));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!out.bytes || PyBytes_AsStringAndSize(out.bytes.get(), &data, &size) != 0) return false;
  out.view = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

std::string type_name(PyObject* object) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return display_text(name.get());
}

bool to_json_value(PyObject* object, std::string_view what, JsonValue& out) { return convert(object, what, 0, out); }

bool to_metadata(PyObject* object, std::optional<JsonValue>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  JsonValue value;
  if (!to_json_value(object, "metadata", value)) return false;
  out = std::move(value);
  return true;
}

PyObject* from_json_value(const JsonValue& value) {
  struct Convert {
    PyObject* operator()(JsonValue::Null) const { return none(); }
    PyObject* operator()(bool b) const { return PyBool_FromLong(b ? 1 : 0); }
    PyObject* operator()(JsonValue::Unsigned u) const { return PyLong_FromUnsignedLongLong(u); }
    PyObject* operator()(JsonValue::Signed s) const { return PyLong_FromLongLong(s); }
    PyObject* operator()(JsonValue::Float f) const { return PyFloat_FromDouble(f); }
    PyObject* operator()(const std::string& s) const { return new_str(s); }
    PyObject* operator()(const JsonValue::Array& array) const {
      PyRef list(PyList_New(static_cast<Py_ssize_t>(array.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < array.size(); ++i) {
        PyObject* item = from_json_value(array[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
      }
      return list.release();
    }
    PyObject* operator()(const JsonValue::Object& object) const {
      PyRef dict(PyDict_New());
      if (!dict) return nullptr;
      for (const JsonValue::Member& member : object) {
        PyRef key(new_str(member.key));
        PyRef item(key ? from_json_value(member.value) : nullptr);
        if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) != 0) return nullptr;
      }
      return dict.release();
    }
  };
  return std::visit(Convert{}, value.data());
}

PyObject* from_metadata(const std::optional<JsonValue>& metadata) {
  return metadata ? from_json_value(*metadata) : none();
}

bool to_uint64(PyObject* object, std::string_view name, std::string_view range_message, PyObject* range_type,
               std::uint64_t& out) {
  if (PyBool_Check(object) || !PyLong_Check(object)) {
    PyRef index = PyBool_Check(object) ? PyRef() : PyRef(PyNumber_Index(object));
    if (!index) {
      PyErr_Clear();
      raise_error(PyExc_TypeError, format_message(messages::kNotAnInt, {name, type_name(object)}));
      return false;
    }
    return to_uint64(index.get(), name, range_message, range_type, out);
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    PyRef shown(PyObject_Repr(object));
    raise_error(range_type, format_message(range_message, {shown ? display_text(shown.get()) : "?"}));
    return false;
  }
  out = value;
  return true;
}

bool to_optional_uint64(PyObject* object, std::string_view name, std::string_view range_message,
                        std::optional<std::uint64_t>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!to_uint64(object, name, range_message, exception_types().refused_value, value)) return false;
  out = value;
  return true;
}

}  // namespace quorvel::python
