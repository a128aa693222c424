#include "exceptions.h"

#include <string>

#include "messages.h"
#include "python_errors.h"

namespace quorvel::python {
namespace {

ExceptionTypes types;

// Makes the class `name` (qualified with the module) with `bases` (a new
// tuple, or one class) and adds it to `module`.
PyObject* make_class(PyObject* module, const char* name, const char* doc, PyObject* bases) {
  const std::string qualified = std::string("quorvel_engine.") + name;
  PyRef made(PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr));
  if (!made) return nullptr;
  // PyModule_AddObject takes the reference over on success only.
  Py_INCREF(made.get());
  if (PyModule_AddObject(module, name, made.get()) != 0) {
    Py_DECREF(made.get());
    return nullptr;
  }
  return made.release();
}

PyObject* pair(PyObject* first, PyObject* second) { return PyTuple_Pack(2, first, second); }

}  // namespace

const ExceptionTypes& exception_types() { return types; }

bool make_exceptions(PyObject* module) {
  ExceptionTypes made;
  made.error = make_class(module, "Error", "The base class of every error that quorvel_engine raises.", PyExc_Exception);
  if (made.error == nullptr) return false;
  made.storage = make_class(module, "StorageError",
                            "The database file cannot be opened, read or changed; the message names the file "
                            "and the cause.",
                            made.error);
  if (made.storage == nullptr) return false;
  made.file_in_use = make_class(module, "FileInUseError",
                                "Another engine, in this process or another, holds the database file.",
                                made.storage);
  made.damaged_file = made.file_in_use == nullptr
                          ? nullptr
                          : make_class(module, "DamagedFileError",
                                       "The database file, or a record in it, does not read back.", made.storage);
  made.forked_child = made.damaged_file == nullptr
                          ? nullptr
                          : make_class(module, "ForkedChildError",
                                       "A change asked of an engine in a process forked from the one that opened "
                                       "it: a child reads, only the parent writes.",
                                       made.storage);
  if (made.forked_child == nullptr) return false;
  PyRef refused_bases(pair(made.error, PyExc_ValueError));
  if (!refused_bases) return false;
  made.refused_value = make_class(module, "RefusedValueError",
                                  "A value the database cannot hold: a vector of another length than the "
                                  "database's, a NaN or infinite number, metadata it cannot store.",
                                  refused_bases.get());
  if (made.refused_value == nullptr) return false;
  PyRef config_bases(pair(made.error, PyExc_ValueError));
  if (!config_bases) return false;
  made.config = make_class(module, "ConfigError",
                           "Options that cannot work: an unknown metric, an index configuration, a dimension "
                           "the file's records do not have.",
                           config_bases.get());
  if (made.config == nullptr) return false;
  made.closed = make_class(module, "EngineClosedError", "A call on an engine after its close().", made.error);
  if (made.closed == nullptr) return false;
  types = made;
  return true;
}

std::nullptr_t raise_engine_error(const EngineError& error, During during, std::string_view path) {
  using Cause = StorageError::Cause;
  PyObject* type = types.storage;
  switch (error.kind) {
    case EngineError::Kind::IndexConfig: type = types.config; break;
    case EngineError::Kind::Dimension: type = during == During::kOpen ? types.config : types.refused_value; break;
    case EngineError::Kind::Storage:
      switch (error.storage.cause) {
        case Cause::Locked: type = types.file_in_use; break;
        case Cause::Damaged: type = types.damaged_file; break;
        case Cause::ForkedChild: type = types.forked_child; break;
        case Cause::Other:
          // Serialization on a write: a record without a JSON form.
          if (error.storage.kind == StorageError::Kind::Serialization) type = types.refused_value;
          break;
      }
      break;
  }
  std::string message = error.message();
  const bool about_the_file = error.kind == EngineError::Kind::Storage && type != types.refused_value;
  if (about_the_file && during == During::kCall) message += format_message(messages::kOfFile, {path});
  return raise_error(type, message);
}

std::nullptr_t raise_refused(std::string_view message) { return raise_error(types.refused_value, message); }

std::nullptr_t raise_config(std::string_view message) { return raise_error(types.config, message); }

void prefix_pending_error(std::string_view prefix, std::size_t index) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  const bool known = type == PyExc_TypeError || type == PyExc_ValueError || type == PyExc_OverflowError ||
                     (type != nullptr && types.error != nullptr && PyObject_IsSubclass(type, types.error) == 1);
  if (!known) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type(type);
  PyRef original(value);
  PyRef original_traceback(traceback);
  if (!original) return;
  std::string message(prefix);
  message += display_text(original.get());
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
  if (!text) return;
  PyRef replacement(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!replacement) return;
  PyRef position(PyLong_FromSize_t(index));
  if (!position || PyObject_SetAttrString(replacement.get(), "index", position.get()) != 0) return;
  // SetCause takes the reference it is given.
  PyException_SetCause(replacement.get(), original.release());
  Py_INCREF(type);
  PyErr_Restore(type, replacement.release(), nullptr);
}

}  // namespace quorvel::python
