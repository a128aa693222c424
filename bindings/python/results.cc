#include "results.h"

#include <initializer_list>
#include <string>

#include "quorvel/json/json_writer.h"

namespace quorvel::python {
namespace {

PyObject* new_str(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

// The compact JSON text of `metadata` as a str, or None. `buffer` is scratch
// space reused across calls so that a long list allocates it once.
PyObject* metadata_text(const std::optional<JsonValue>& metadata, std::string& buffer) {
  if (!metadata) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  buffer.clear();
  append_json(buffer, *metadata);
  return new_str(buffer);
}

// A tuple of the given new references (each may be nullptr after a failed
// conversion, in which case the tuple is not built and all are dropped).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  bool complete = static_cast<bool>(tuple);
  Py_ssize_t index = 0;
  for (PyObject* item : items) {
    if (item == nullptr) complete = false;
    if (complete) {
      PyTuple_SetItem(tuple.get(), index++, item);  // steals `item`
    } else {
      Py_XDECREF(item);
    }
  }
  return complete ? tuple.release() : nullptr;
}

// A list with one item per element of `elements`, made by `convert`, created
// at its final size and filled in place.
template <typename Element, typename Convert>
PyObject* list_of(const std::vector<Element>& elements, Convert convert) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(elements.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    PyObject* item = convert(elements[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

}  // namespace

PyObject* get_result(const std::optional<SearchResult>& result) {
  std::string buffer;
  if (!result) return metadata_text(std::nullopt, buffer);
  return metadata_text(result->metadata, buffer);
}

PyObject* record_list(const RecordList& records) {
  std::string buffer;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const RecordView& record : records) {  // the records, without free slots
    PyObject* id = new_str(record.id);
    PyObject* metadata = id != nullptr ? metadata_text(record.metadata, buffer) : nullptr;
    PyObject* item = tuple_of({id, metadata});
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, item);  // steals `item`
  }
  return list.release();
}

PyObject* search_result_list(const std::vector<SearchResult>& results) {
  std::string buffer;
  return list_of(results, [&buffer](const SearchResult& result) {
    PyObject* id = new_str(result.id);
    PyObject* score = id != nullptr ? PyFloat_FromDouble(static_cast<double>(result.score)) : nullptr;
    PyObject* metadata = score != nullptr ? metadata_text(result.metadata, buffer) : nullptr;
    return tuple_of({id, score, metadata});
  });
}

}  // namespace quorvel::python
