#pragma once

// The methods and properties of the class Engine, by what they touch; the
// type's tables in engine_type.cc list them. Each follows CPython's calling
// convention for its slot: a new reference, or nullptr (-1) with an
// exception set.

#include "py_ref.h"

namespace quorvel::python {

// Records: engine_records.cc.
PyObject* engine_insert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_insert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_get(PyObject* self, PyObject* id_object);
PyObject* engine_delete(PyObject* self, PyObject* id_object);
Py_ssize_t engine_length(PyObject* self);
int engine_contains(PyObject* self, PyObject* id_object);
PyObject* engine_iter(PyObject* self);

// Searches: engine_search.cc.
PyObject* engine_search(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_search_many(PyObject* self, PyObject* args, PyObject* kwargs);

// The index: engine_index.cc.
PyObject* engine_attach_index(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_detach_index(PyObject* self, PyObject* unused);
PyObject* engine_compact_index(PyObject* self, PyObject* unused);
PyObject* get_has_index(PyObject* self, void* closure);
PyObject* get_index(PyObject* self, void* closure);
PyObject* get_ef_search(PyObject* self, void* closure);
int set_ef_search(PyObject* self, PyObject* value, void* closure);

}  // namespace quorvel::python
