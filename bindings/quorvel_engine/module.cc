// The module quorvel_engine: the classes Engine, HnswConfig, Hit and Record,
// the exception classes, and __version__.

#include <atomic>

#include "engine_type.h"
#include "exceptions.h"
#include "hnsw_config_type.h"
#include "messages.h"
#include "py_ref.h"
#include "python_errors.h"
#include "results.h"
#include "values.h"
#include "vectors.h"

namespace quorvel::python {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorvel_engine",  // m_name
    "The whole quorvel engine for Python: metrics, the HNSW index, filters, decay, timestamps,\n"
    "bulk inserts in one transaction and numpy arrays, over the same database files as the\n"
    "module quorvel.",  // m_doc
    -1,       // m_size: the module keeps its state in the process, and a re-import copies it
    nullptr,  // m_methods
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

bool add(PyObject* module, const char* name, PyObject* owned) {
  if (owned == nullptr) return false;
  if (PyModule_AddObject(module, name, owned) != 0) {
    Py_DECREF(owned);
    return false;
  }
  return true;
}

PyObject* make_module() {
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  find_buffer_protocol();
  find_utf8_function();
  if (!find_array_type() || !make_exceptions(module.get()) || !make_result_types(module.get()) ||
      !add(module.get(), "Engine", make_engine_type()) ||
      !add(module.get(), "HnswConfig", make_hnsw_config_type()) ||
      !add(module.get(), "__version__", PyUnicode_FromString(QUORVEL_VERSION))) {
    return nullptr;
  }
  PyRef all(Py_BuildValue("[ssssssssssss]", "Engine", "HnswConfig", "Hit", "Record", "Error", "StorageError",
                          "FileInUseError", "DamagedFileError", "ForkedChildError", "RefusedValueError",
                          "ConfigError", "EngineClosedError"));
  if (!all) return nullptr;
  return PyObject_SetAttrString(module.get(), "__all__", all.get()) == 0 ? module.release() : nullptr;
}

}  // namespace
}  // namespace quorvel::python

// The classes live for the life of the process: the module is made once,
// and not again for another interpreter.
PyMODINIT_FUNC PyInit_quorvel_engine() {
  using namespace quorvel::python;
  static std::atomic<bool> initialised{false};
  if (initialised.exchange(true)) return raise_error(PyExc_ImportError, messages::kInitialisedTwice);
  PyObject* module = guarded(make_module);
  if (module == nullptr) initialised.store(false);  // out of memory: may be tried again
  return module;
}
