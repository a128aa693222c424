#include "results.h"

#include <initializer_list>

#include "values.h"
#include "vectors.h"

namespace quorvel::python {
namespace {

PyTypeObject* hit_type = nullptr;
PyTypeObject* record_type = nullptr;

PyStructSequence_Field kHitFields[] = {
    {"id", "the record's id"},
    {"score", "the metric value of the query and the record's vector"},
    {"metadata", "the record's metadata as Python values, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kHitDescription = {
    "quorvel_engine.Hit",                                   // name
    "Hit(id, score, metadata): one result of a search.",    // doc
    kHitFields,                                             // fields
    3,                                                      // n_in_sequence
};

PyStructSequence_Field kRecordFields[] = {
    {"id", "the record's id"},
    {"vector", "a copy of the vector, an array.array('f') that numpy wraps without copying"},
    {"metadata", "the record's metadata as Python values, or None"},
    {"timestamp", "whole seconds, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kRecordDescription = {
    "quorvel_engine.Record",                                                  // name
    "Record(id, vector, metadata, timestamp): one stored record, a copy.",    // doc
    kRecordFields,                                                            // fields
    4,                                                                        // n_in_sequence
};

PyObject* new_str(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

// A named tuple of `type` from new references (each may be nullptr after a
// failed conversion: then every one is dropped and nullptr returned).
PyObject* named_tuple(PyTypeObject* type, std::initializer_list<PyObject*> items) {
  PyRef tuple(PyStructSequence_New(type));
  bool complete = static_cast<bool>(tuple);
  Py_ssize_t index = 0;
  for (PyObject* item : items) {
    if (item == nullptr) complete = false;
    if (complete) {
      PyStructSequence_SetItem(tuple.get(), index++, item);  // steals `item`
    } else {
      Py_XDECREF(item);
    }
  }
  return complete ? tuple.release() : nullptr;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  Py_INCREF(reinterpret_cast<PyObject*>(type));
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) != 0) {
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    return false;
  }
  return true;
}

}  // namespace

bool make_result_types(PyObject* module) {
  hit_type = PyStructSequence_NewType(&kHitDescription);
  if (hit_type == nullptr || !add_type(module, "Hit", hit_type)) return false;
  record_type = PyStructSequence_NewType(&kRecordDescription);
  return record_type != nullptr && add_type(module, "Record", record_type);
}

PyObject* hit_list(const std::vector<SearchResult>& results) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const SearchResult& result = results[i];
    PyObject* id = new_str(result.id);
    PyObject* score = id != nullptr ? PyFloat_FromDouble(static_cast<double>(result.score)) : nullptr;
    PyObject* metadata = score != nullptr ? from_metadata(result.metadata) : nullptr;
    PyObject* hit = named_tuple(hit_type, {id, score, metadata});
    if (hit == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), hit);  // steals `hit`
  }
  return list.release();
}

PyObject* record_object(PyObject* id, std::span<const float> floats, const std::optional<JsonValue>& metadata,
                        std::optional<std::uint64_t> timestamp) {
  Py_INCREF(id);
  PyObject* vector = float_array(floats);
  PyObject* metadata_object = vector != nullptr ? from_metadata(metadata) : nullptr;
  PyObject* timestamp_object = nullptr;
  if (metadata_object != nullptr) {
    timestamp_object = timestamp ? PyLong_FromUnsignedLongLong(*timestamp) : (Py_INCREF(Py_None), Py_None);
  }
  return named_tuple(record_type, {id, vector, metadata_object, timestamp_object});
}

}  // namespace quorvel::python
