#include "engine_object.h"

#include "exceptions.h"
#include "messages.h"
#include "python_errors.h"

namespace quorvel::python {

std::nullptr_t raise_closed(const State& state) {
  return raise_error(exception_types().closed, format_message(messages::kClosed, {state.path}));
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

bool utf8_argument(PyObject* object, std::string_view wrong_type_message, Utf8& out) {
  if (!PyUnicode_Check(object)) {
    raise_error(PyExc_TypeError, format_message(wrong_type_message, {type_name(object)}));
    return false;
  }
  return utf8_of(object, out);
}

PyRef items_of(PyObject* object, const char* name) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotASequence, {name, type_name(object)}));
    return PyRef();
  }
  return PyRef(PySequence_Tuple(object));
}

}  // namespace quorvel::python
