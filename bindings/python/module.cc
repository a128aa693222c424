// The module quorvel: its one class, Quorvel, and the list __all__.

#include <atomic>

#include "errors.h"
#include "messages.h"
#include "py_ref.h"
#include "quorvel_type.h"

namespace quorvel::python {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorvel",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state, and the interpreter calls the
                // initialiser again on a re-import instead of copying the module
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

PyObject* make_module() {
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyRef type(make_quorvel_type());
  if (!type) return nullptr;
  PyRef all(Py_BuildValue("[s]", "Quorvel"));
  if (!all) return nullptr;
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;
  if (PyObject_SetAttrString(module.get(), "Quorvel", type.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace quorvel::python

// The module is initialised once per process: the class and everything the
// binding keeps on the side (such as the internal-failure type) live for the
// life of the process, and are not made again for a second interpreter or a
// re-import.
PyMODINIT_FUNC PyInit_quorvel() {
  using namespace quorvel::python;
  static std::atomic<bool> initialised{false};
  if (initialised.exchange(true)) return raise_error(PyExc_ImportError, messages::kInitialisedTwice);
  PyObject* module = guarded(make_module);
  // A failed initialisation (out of memory) may be tried again.
  if (module == nullptr) initialised.store(false);
  return module;
}
