#include "engine_methods.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine_object.h"
#include "exceptions.h"
#include "messages.h"
#include "python_errors.h"
#include "results.h"
#include "values.h"
#include "vectors.h"

namespace quorvel::python {
namespace {

// The records of insert_many's arguments, each as insert() would take it.
bool records_of(PyObject* ids_argument, PyObject* vectors_argument, PyObject* metadatas_argument,
                PyObject* timestamps_argument, std::vector<Record>& out) {
  PyRef ids = items_of(ids_argument, "ids");
  if (!ids) return false;
  const std::size_t count = static_cast<std::size_t>(PyTuple_Size(ids.get()));
  std::vector<std::vector<float>> vectors;
  if (!read_vectors(vectors_argument, "vectors", messages::kRecordPrefix, vectors)) return false;
  PyRef metadatas;
  PyRef timestamps;
  const std::pair<PyObject*, PyRef*> optional_columns[] = {{metadatas_argument, &metadatas},
                                                          {timestamps_argument, &timestamps}};
  const char* names[] = {"metadatas", "timestamps"};
  for (std::size_t c = 0; c < 2; ++c) {
    auto [argument, column] = optional_columns[c];
    if (argument == nullptr || argument == Py_None) continue;
    *column = items_of(argument, names[c]);
    if (!*column) return false;
  }
  const std::pair<const char*, std::size_t> counts[] = {
      {"vectors", vectors.size()},
      {"metadatas", metadatas ? static_cast<std::size_t>(PyTuple_Size(metadatas.get())) : count},
      {"timestamps", timestamps ? static_cast<std::size_t>(PyTuple_Size(timestamps.get())) : count}};
  for (const auto& [name, given] : counts) {
    if (given != count) {
      raise_refused(format_message(messages::kCountsDiffer, {name, std::to_string(given), std::to_string(count)}));
      return false;
    }
  }

  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    Record& record = out[i];
    const auto at = static_cast<Py_ssize_t>(i);
    Utf8 id;
    if (!utf8_argument(PyTuple_GetItem(ids.get(), at), messages::kIdNotText, id) ||
        (metadatas && !to_metadata(PyTuple_GetItem(metadatas.get(), at), record.metadata)) ||
        (timestamps && !to_optional_uint64(PyTuple_GetItem(timestamps.get(), at), "timestamp",
                                           messages::kTimestampRange, record.timestamp))) {
      prefix_pending_error(format_message(messages::kRecordPrefix, {std::to_string(i)}), i);
      return false;
    }
    record.id = std::string(id.view);
    record.vector = std::move(vectors[i]);
  }
  return true;
}

}  // namespace

PyObject* engine_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"id", "vector", "metadata", "timestamp", nullptr};
    PyObject* id_object = nullptr;
    PyObject* vector_argument = nullptr;
    PyObject* metadata_argument = nullptr;
    PyObject* timestamp_argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$O:insert", const_cast<char**>(keywords), &id_object,
                                     &vector_argument, &metadata_argument, &timestamp_argument)) {
      return nullptr;
    }
    Utf8 id;
    std::vector<float> vector;
    std::optional<JsonValue> metadata;
    std::optional<std::uint64_t> timestamp;
    if (!utf8_argument(id_object, messages::kIdNotText, id) || !read_vector(vector_argument, vector) ||
        !to_metadata(metadata_argument, metadata) ||
        !to_optional_uint64(timestamp_argument, "timestamp", messages::kTimestampRange, timestamp)) {
      return nullptr;
    }
    std::optional<EngineError> failure;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kExclusive, Span::kLong, [&](Engine& engine) {
      auto inserted = engine.insert(id.view, std::move(vector), std::move(metadata), timestamp);
      if (!inserted) failure = std::move(inserted.error());
    });
    if (!open) return raise_closed(state);
    if (failure) return raise_engine_error(*failure, During::kCall, state.path);
    return none();
  });
}

PyObject* engine_insert_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"ids", "vectors", "metadatas", "timestamps", nullptr};
    PyObject* ids = nullptr;
    PyObject* vectors = nullptr;
    PyObject* metadatas = nullptr;
    PyObject* timestamps = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$O:insert_many", const_cast<char**>(keywords), &ids,
                                     &vectors, &metadatas, &timestamps)) {
      return nullptr;
    }
    std::vector<Record> records;
    if (!records_of(ids, vectors, metadatas, timestamps, records)) return nullptr;
    const std::size_t count = records.size();
    std::size_t refused = count;
    std::optional<EngineError> failure;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kExclusive, Span::kLong, [&](Engine& engine) {
      auto stored = engine.insert_all(std::move(records), &refused);
      if (!stored) failure = std::move(stored.error());
    });
    if (!open) return raise_closed(state);
    if (failure) {
      raise_engine_error(*failure, During::kCall, state.path);
      if (refused < count) prefix_pending_error(format_message(messages::kRecordPrefix, {std::to_string(refused)}), refused);
      return nullptr;
    }
    return none();
  });
}

PyObject* engine_get(PyObject* self, PyObject* id_object) {
  return guarded([&]() -> PyObject* {
    Utf8 id;
    if (!utf8_argument(id_object, messages::kIdNotText, id)) return nullptr;
    // The id is the caller's; the rest is copied while the lock holds (first
    // tried without releasing the interpreter lock), the floats onto the
    // stack when they fit: the Python objects are made after the lock is
    // let go, since making them may run the garbage collector.
    std::array<float, 512> inline_floats;
    std::vector<float> larger;
    std::span<const float> vector;
    bool found = false;
    std::optional<JsonValue> metadata;
    std::optional<std::uint64_t> timestamp;
    const auto copy_out = [&](Engine& engine) {
      const RecordList& records = engine.get_all();
      const auto position = records.find(id.view);
      if (!position) return;
      const RecordView record = records[*position];
      found = true;
      if (record.vector.size() <= inline_floats.size()) {
        std::copy(record.vector.begin(), record.vector.end(), inline_floats.begin());
        vector = std::span<const float>(inline_floats.data(), record.vector.size());
      } else {
        larger.assign(record.vector.begin(), record.vector.end());
        vector = larger;
      }
      metadata = record.metadata;
      timestamp = record.timestamp;
    };
    State& state = state_of(self);
    Attempt attempt = at_once(state, copy_out);
    if (attempt == Attempt::kBusy) {
      attempt = with_engine(state, Access::kShared, Span::kLong, copy_out) ? Attempt::kRan : Attempt::kClosed;
    }
    if (attempt == Attempt::kClosed) return raise_closed(state);
    if (!found) return none();
    // A str subclass gets a plain str back.
    PyRef plain_id = PyUnicode_CheckExact(id_object)
                         ? PyRef::borrow(id_object)
                         : PyRef(PyUnicode_FromStringAndSize(id.view.data(), static_cast<Py_ssize_t>(id.view.size())));
    if (!plain_id) return nullptr;
    return record_object(plain_id.get(), vector, metadata, timestamp);
  });
}

PyObject* engine_delete(PyObject* self, PyObject* id_object) {
  return guarded([&]() -> PyObject* {
    Utf8 id;
    if (!utf8_argument(id_object, messages::kIdNotText, id)) return nullptr;
    bool removed = false;
    std::optional<EngineError> failure;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kExclusive, Span::kLong, [&](Engine& engine) {
      auto result = engine.remove(id.view);
      if (result) {
        removed = *result;
      } else {
        failure = std::move(result.error());
      }
    });
    if (!open) return raise_closed(state);
    if (failure) return raise_engine_error(*failure, During::kCall, state.path);
    return PyBool_FromLong(removed ? 1 : 0);
  });
}

Py_ssize_t engine_length(PyObject* self) {
  Py_ssize_t length = -1;
  PyObject* ok = guarded([&]() -> PyObject* {
    std::size_t size = 0;
    if (!with_engine(state_of(self), Access::kShared, Span::kBrief,
                     [&](Engine& engine) { size = engine.get_all().size(); })) {
      return raise_closed(state_of(self));
    }
    length = static_cast<Py_ssize_t>(size);
    return none();
  });
  Py_XDECREF(ok);
  return ok == nullptr ? -1 : length;
}

int engine_contains(PyObject* self, PyObject* id_object) {
  if (!PyUnicode_Check(id_object)) return 0;
  int answer = -1;
  PyObject* ok = guarded([&]() -> PyObject* {
    Utf8 id;
    if (!utf8_argument(id_object, messages::kIdNotText, id)) return nullptr;
    bool found = false;
    if (!with_engine(state_of(self), Access::kShared, Span::kBrief,
                     [&](Engine& engine) { found = engine.get_all().find(id.view).has_value(); })) {
      return raise_closed(state_of(self));
    }
    answer = found ? 1 : 0;
    return none();
  });
  Py_XDECREF(ok);
  return ok == nullptr ? -1 : answer;
}

PyObject* engine_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    // The ids as they stand now: changes made while iterating do not show.
    std::vector<std::string> ids;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kShared, Span::kBrief, [&](Engine& engine) {
      const RecordList& records = engine.get_all();
      ids.reserve(records.size());
      for (const RecordView record : records) ids.emplace_back(record.id);
    });
    if (!open) return raise_closed(state);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      PyObject* id = PyUnicode_DecodeUTF8(ids[i].data(), static_cast<Py_ssize_t>(ids[i].size()), "strict");
      if (id == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id);  // steals `id`
    }
    return PyObject_GetIter(list.get());
  });
}

}  // namespace quorvel::python
