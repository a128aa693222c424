#include "engine_type.h"

#include <ctime>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine_lock.h"
#include "exceptions.h"
#include "gil.h"
#include "hnsw_config_type.h"
#include "messages.h"
#include "python_errors.h"
#include "quorvel/core/engine.h"
#include "results.h"
#include "values.h"
#include "vectors.h"

namespace quorvel::python {
namespace {

// What an Engine object holds. Every member but the lock is fixed at open;
// `engine` is guarded by the lock and empty once closed.
struct State {
  EngineLock lock;
  std::optional<Engine> engine;
  std::string path;
};

// The instance layout; the State is made by the constructor and deleted by
// dealloc.
struct EngineObject {
  PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->state; }

using Access = EngineLockHold::Access;

// How long a call holds the engine: briefly (a look-up, answered while the
// interpreter lock is kept when the engine lock is free at once), or long
// (a commit, a search, a build: the interpreter lock is released).
enum class Span { kBrief, kLong };

enum class Attempt { kRan, kClosed, kBusy };

// Runs work(engine) holding the engine lock shared, and the interpreter
// lock as the caller does, if the engine lock can be had at once (kBusy,
// running nothing, if not). `work` may make objects that run no Python code
// and start no collection (bytes), but no others: a finaliser run by a
// collection could call back into this engine and wait for its lock.
template <typename Work>
Attempt at_once(State& state, Work&& work) {
  if (!state.lock.try_lock_shared()) return Attempt::kBusy;
  EngineLockHold hold(state.lock, EngineLockHold::Adopt{});
  if (!state.engine) return Attempt::kClosed;
  work(*state.engine);
  return Attempt::kRan;
}

// Runs work(engine), which must not touch a Python object, holding the
// engine lock with `access`. The interpreter lock is released while the
// engine lock is waited for, and during long work. Returns false, running
// nothing, when the engine is closed.
template <typename Work>
bool with_engine(State& state, Access access, Span span, Work&& work) {
  if (access == Access::kShared && span == Span::kBrief) {
    const Attempt attempt = at_once(state, work);
    if (attempt != Attempt::kBusy) return attempt == Attempt::kRan;
  }
  WithoutGil released;
  EngineLockHold hold(state.lock, access);
  if (!state.engine) return false;
  work(*state.engine);
  return true;
}

std::nullptr_t raise_closed(const State& state) {
  return raise_error(exception_types().closed, format_message(messages::kClosed, {state.path}));
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// The UTF-8 bytes of a str argument; TypeError `wrong_type_message` for
// any other object.
bool utf8_argument(PyObject* object, std::string_view wrong_type_message, Utf8& out) {
  if (!PyUnicode_Check(object)) {
    raise_error(PyExc_TypeError, format_message(wrong_type_message, {type_name(object)}));
    return false;
  }
  return utf8_of(object, out);
}

// A sequence argument as a tuple of its items (a str is no sequence here).
PyRef items_of(PyObject* object, const char* name) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotASequence, {name, type_name(object)}));
    return PyRef();
  }
  return PyRef(PySequence_Tuple(object));
}

// --- opening and closing -------------------------------------------------

bool metric_argument(PyObject* object, Metric& out) {
  if (object == nullptr) return true;
  Utf8 name;
  if (!utf8_argument(object, messages::kMetricNotText, name)) return false;
  const auto metric = metric_named(name.view);
  if (!metric) {
    raise_config(format_message(messages::kUnknownMetric, {name.view}));
    return false;
  }
  out = *metric;
  return true;
}

// A count argument that must lie in [low, high]; ConfigError `range` else.
bool bounded_count(PyObject* object, const char* name, std::string_view range, std::uint64_t low,
                   std::uint64_t high, std::optional<std::size_t>& out) {
  if (object == nullptr || object == Py_None) return true;
  std::uint64_t value = 0;
  if (!to_uint64(object, name, range, exception_types().config, value)) return false;
  if (value < low || value > high) {
    raise_config(format_message(range, {std::to_string(value)}));
    return false;
  }
  out = static_cast<std::size_t>(value);
  return true;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", "metric", "dimension", "index", "workers", nullptr};
    PyObject* path_argument = nullptr;
    PyObject* metric = nullptr;
    PyObject* dimension = nullptr;
    PyObject* index = nullptr;
    PyObject* workers = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:Engine", const_cast<char**>(keywords), &path_argument,
                                     &metric, &dimension, &index, &workers)) {
      return nullptr;
    }
    PyRef path_object(PyOS_FSPath(path_argument));
    if (!path_object) return nullptr;
    Utf8 path;
    if (!utf8_argument(path_object.get(), messages::kPathNotText, path)) return nullptr;
    // The bytes after a NUL would be cut off, and another file opened.
    if (path.view.find('\0') != std::string_view::npos) return raise_error(PyExc_ValueError, messages::kEmbeddedNul);

    EngineOptions options;
    std::optional<std::size_t> length;
    std::optional<std::size_t> threads;
    if (!metric_argument(metric, options.metric) ||
        !bounded_count(dimension, "dimension", messages::kDimensionRange, 1, UINT64_MAX, length) ||
        !bounded_count(workers, "workers", messages::kWorkersRange, 1, 1024, threads)) {
      return nullptr;
    }
    options.fixed_dimension = FixedDimension{length};
    options.worker_threads = threads;
    if (index != nullptr && index != Py_None) {
      HnswConfig config;
      if (!hnsw_config_of(index, messages::kIndexNotConfig, config)) return nullptr;
      options.index = config;
    }

    auto state = std::make_unique<State>();
    state->path = std::string(path.view);
    std::optional<EngineError> failure;
    {
      WithoutGil released;
      auto opened = Engine::open(state->path, options);
      if (opened) {
        state->engine.emplace(std::move(*opened));
      } else {
        failure = std::move(opened.error());
      }
    }
    if (failure) return raise_engine_error(*failure, During::kOpen, state->path);
    EngineLock::install_fork_handlers();

    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = allocate(type, 0);
    if (self == nullptr) return nullptr;  // the state goes, and the file with it
    reinterpret_cast<EngineObject*>(self)->state = state.release();
    return self;
  });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // No other thread can be inside a method: each holds a reference.
  delete reinterpret_cast<EngineObject*>(self)->state;
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* engine_close(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    State& state = state_of(self);
    {
      WithoutGil released;
      EngineLockHold hold(state.lock, Access::kExclusive);
      state.engine.reset();  // releases the file
    }
    return none();
  });
}

PyObject* engine_enter(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    if (!with_engine(state_of(self), Access::kShared, Span::kBrief, [](Engine&) {})) {
      return raise_closed(state_of(self));
    }
    Py_INCREF(self);
    return self;
  });
}

PyObject* engine_exit(PyObject* self, PyObject* /*arguments*/) {
  PyRef closed(engine_close(self, nullptr));
  if (!closed) return nullptr;
  Py_INCREF(Py_False);
  return Py_False;  // exceptions go on
}

// --- records ---------------------------------------------------------------

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
    // The id is the caller's; the rest is copied while the lock holds: the
    // floats straight into a bytes object when the lock is had at once,
    // else into a vector while the interpreter lock is released.
    bool found = false;
    PyRef floats;
    std::vector<float> vector;
    std::optional<JsonValue> metadata;
    std::optional<std::uint64_t> timestamp;
    const auto look_up = [&](Engine& engine) -> std::optional<RecordView> {
      const RecordList& records = engine.get_all();
      const auto position = records.find(id.view);
      if (!position) return std::nullopt;
      const RecordView record = records[*position];
      found = true;
      metadata = record.metadata;
      timestamp = record.timestamp;
      return record;
    };
    State& state = state_of(self);
    Attempt attempt = at_once(state, [&](Engine& engine) {
      if (const auto record = look_up(engine)) floats = PyRef(float_bytes(record->vector));
    });
    if (attempt == Attempt::kBusy) {
      const bool open = with_engine(state, Access::kShared, Span::kLong, [&](Engine& engine) {
        if (const auto record = look_up(engine)) vector.assign(record->vector.begin(), record->vector.end());
      });
      attempt = open ? Attempt::kRan : Attempt::kClosed;
      if (found) floats = PyRef(float_bytes(vector));
    }
    if (attempt == Attempt::kClosed) return raise_closed(state);
    if (!found) return none();
    if (!floats) return nullptr;
    // A str subclass gets a plain str back.
    PyRef plain_id = PyUnicode_CheckExact(id_object)
                         ? PyRef::borrow(id_object)
                         : PyRef(PyUnicode_FromStringAndSize(id.view.data(), static_cast<Py_ssize_t>(id.view.size())));
    if (!plain_id) return nullptr;
    return record_object(plain_id.get(), floats.get(), metadata, timestamp);
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

// --- searching -------------------------------------------------------------

// The options of search and search_many, shared by every query.
struct SearchOptions {
  std::uint64_t k = 10;
  std::vector<MetadataFilter> filters;
  std::optional<float> decay;
  std::optional<std::uint64_t> now;
  bool filter_through_index = false;
};

bool where_argument(PyObject* object, std::vector<MetadataFilter>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyDict_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kWhereNotDict, {type_name(object)}));
    return false;
  }
  // One pair per key; a dict of one key is the filter of one equality.
  JsonValue conditions;
  if (!to_json_value(object, "where", conditions)) return false;
  for (const JsonValue::Member& member : conditions.as<JsonValue::Object>()) {
    out.push_back({member.key, member.value});
  }
  return true;
}

bool decay_argument(PyObject* object, std::optional<float>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {"decay", "bool"}));
    return false;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {"decay", type_name(object)}));
    return false;
  }
  // As the program does: a factor above 1 would move older records forward,
  // and one of 0 leaves nothing to divide a distance by.
  const float factor = static_cast<float>(value);
  if (!(factor > 0.0f && factor <= 1.0f)) {
    PyRef shown(PyObject_Repr(object));
    raise_refused(format_message(messages::kDecayRange, {shown ? display_text(shown.get()) : "?"}));
    return false;
  }
  out = factor;
  return true;
}

bool search_options(PyObject* k, PyObject* where, PyObject* decay, PyObject* now, PyObject* through_index,
                    SearchOptions& out) {
  if (through_index != nullptr) {
    if (!PyBool_Check(through_index)) {
      raise_error(PyExc_TypeError,
                  format_message(messages::kNotABool, {"filter_through_index", type_name(through_index)}));
      return false;
    }
    out.filter_through_index = through_index == Py_True;
  }
  if (k != nullptr && !to_uint64(k, "k", messages::kKRange, exception_types().refused_value, out.k)) {
    return false;
  }
  if (!where_argument(where, out.filters) || !decay_argument(decay, out.decay) ||
      !to_optional_uint64(now, "now", messages::kNowRange, out.now)) {
    return false;
  }
  // Ages are measured from now: the current time unless the caller names one.
  if (out.decay && !out.now) out.now = static_cast<std::uint64_t>(std::time(nullptr));
  return true;
}

SearchRequest request_of(std::vector<float> query, const SearchOptions& options) {
  SearchRequest request{std::move(query), options.k, options.filters, options.decay, options.now};
  request.filter_through_index = options.filter_through_index;
  return request;
}

PyObject* engine_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"query", "k", "where", "decay", "now", "filter_through_index", nullptr};
    PyObject* query_argument = nullptr;
    PyObject* k = nullptr;
    PyObject* where = nullptr;
    PyObject* decay = nullptr;
    PyObject* now = nullptr;
    PyObject* through_index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOO:search", const_cast<char**>(keywords), &query_argument,
                                     &k, &where, &decay, &now, &through_index)) {
      return nullptr;
    }
    std::vector<float> query;
    SearchOptions options;
    if (!read_vector(query_argument, query) || !search_options(k, where, decay, now, through_index, options)) {
      return nullptr;
    }
    const SearchRequest request = request_of(std::move(query), options);
    std::vector<SearchResult> results;
    std::optional<EngineError> failure;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kShared, Span::kLong, [&](Engine& engine) {
      if (auto fits = engine.check_dimension(request.query.size()); !fits) {
        failure = std::move(fits.error());
        return;
      }
      results = engine.search(request);
    });
    if (!open) return raise_closed(state);
    if (failure) return raise_engine_error(*failure, During::kCall, state.path);
    return hit_list(results);
  });
}

PyObject* engine_search_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"queries", "k", "where", "decay", "now", "filter_through_index", nullptr};
    PyObject* queries_argument = nullptr;
    PyObject* k = nullptr;
    PyObject* where = nullptr;
    PyObject* decay = nullptr;
    PyObject* now = nullptr;
    PyObject* through_index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOO:search_many", const_cast<char**>(keywords),
                                     &queries_argument, &k, &where, &decay, &now, &through_index)) {
      return nullptr;
    }
    std::vector<std::vector<float>> queries;
    SearchOptions options;
    if (!read_vectors(queries_argument, "queries", messages::kQueryPrefix, queries) ||
        !search_options(k, where, decay, now, through_index, options)) {
      return nullptr;
    }
    std::vector<SearchRequest> requests;
    requests.reserve(queries.size());
    for (std::vector<float>& query : queries) requests.push_back(request_of(std::move(query), options));
    std::vector<std::vector<SearchResult>> answers;
    std::optional<EngineError> failure;
    std::size_t refused = 0;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kShared, Span::kLong, [&](Engine& engine) {
      for (std::size_t i = 0; i < requests.size(); ++i) {
        if (auto fits = engine.check_dimension(requests[i].query.size()); !fits) {
          failure = std::move(fits.error());
          refused = i;
          return;
        }
      }
      answers = engine.search_many(requests);
    });
    if (!open) return raise_closed(state);
    if (failure) {
      raise_engine_error(*failure, During::kCall, state.path);
      prefix_pending_error(format_message(messages::kQueryPrefix, {std::to_string(refused)}), refused);
      return nullptr;
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(answers.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < answers.size(); ++i) {
      PyObject* hits = hit_list(answers[i]);
      if (hits == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), hits);  // steals `hits`
    }
    return list.release();
  });
}

// --- the index -------------------------------------------------------------

PyObject* engine_attach_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"config", nullptr};
    PyObject* config_argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:attach_index", const_cast<char**>(keywords),
                                     &config_argument)) {
      return nullptr;
    }
    HnswConfig config;
    if (!hnsw_config_of(config_argument, messages::kIndexNotConfig, config)) return nullptr;
    std::optional<EngineError> failure;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kExclusive, Span::kLong, [&](Engine& engine) {
      if (auto attached = engine.attach_index(config); !attached) failure = std::move(attached.error());
    });
    if (!open) return raise_closed(state);
    if (failure) return raise_engine_error(*failure, During::kCall, state.path);
    return none();
  });
}

PyObject* engine_detach_index(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    State& state = state_of(self);
    if (!with_engine(state, Access::kExclusive, Span::kLong, [](Engine& engine) { engine.detach_index(); })) {
      return raise_closed(state);
    }
    return none();
  });
}

PyObject* engine_compact_index(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    State& state = state_of(self);
    if (!with_engine(state, Access::kExclusive, Span::kLong, [](Engine& engine) { engine.compact_index(); })) {
      return raise_closed(state);
    }
    return none();
  });
}

PyObject* get_has_index(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    bool has = false;
    State& state = state_of(self);
    if (!with_engine(state, Access::kShared, Span::kBrief, [&](Engine& engine) { has = engine.has_index(); })) {
      return raise_closed(state);
    }
    return PyBool_FromLong(has ? 1 : 0);
  });
}

PyObject* get_index(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<HnswConfig> config;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kShared, Span::kBrief, [&](Engine& engine) {
      if (const HnswIndex* index = engine.index()) {
        config = index->config();
        config->ef_search = *engine.index_ef_search();
      }
    });
    if (!open) return raise_closed(state);
    return config ? hnsw_config_object(*config) : none();
  });
}

PyObject* get_ef_search(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<std::uint64_t> ef;
    State& state = state_of(self);
    if (!with_engine(state, Access::kShared, Span::kBrief, [&](Engine& engine) { ef = engine.index_ef_search(); })) {
      return raise_closed(state);
    }
    return ef ? PyLong_FromUnsignedLongLong(*ef) : none();
  });
}

int set_ef_search(PyObject* self, PyObject* value, void*) {
  PyObject* ok = guarded([&]() -> PyObject* {
    if (value == nullptr) return raise_error(PyExc_AttributeError, messages::kEfSearchDeleted);
    std::uint64_t ef = 0;
    if (!to_uint64(value, "ef_search", format_message(messages::kConfigRange, {"ef_search", "{}"}),
                   exception_types().config, ef)) {
      return nullptr;
    }
    bool attached = false;
    State& state = state_of(self);
    const bool open = with_engine(state, Access::kExclusive, Span::kLong, [&](Engine& engine) {
      attached = engine.has_index();
      engine.set_index_ef_search(ef);
    });
    if (!open) return raise_closed(state);
    if (!attached) return raise_config(messages::kNoIndex);
    return none();
  });
  Py_XDECREF(ok);
  return ok == nullptr ? -1 : 0;
}

// --- what the engine was opened with -----------------------------------------

PyObject* get_metric(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::string_view name;
    State& state = state_of(self);
    if (!with_engine(state, Access::kShared, Span::kBrief,
                     [&](Engine& engine) { name = metric_name(engine.metric()); })) {
      return raise_closed(state);
    }
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

PyObject* get_dimension(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<std::size_t> dimension;
    State& state = state_of(self);
    if (!with_engine(state, Access::kShared, Span::kBrief, [&](Engine& engine) { dimension = engine.dimension(); })) {
      return raise_closed(state);
    }
    return dimension ? PyLong_FromSize_t(*dimension) : none();
  });
}

PyObject* get_path(PyObject* self, void*) {
  const std::string& path = state_of(self).path;
  return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "surrogatepass");
}

PyObject* get_closed(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const bool open = with_engine(state_of(self), Access::kShared, Span::kBrief, [](Engine&) {});
    return PyBool_FromLong(open ? 0 : 1);
  });
}

// --- the type --------------------------------------------------------------

template <typename Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Each docstring begins with the text signature and a line "--", which
// help() and inspect.signature read.
PyMethodDef kMethods[] = {
    {"insert", as_method(engine_insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, id, vector, metadata=None, *, timestamp=None)\n--\n\n"
     "Stores a record, replacing the one stored under `id`, and commits it to the file.\n"
     "`vector`: a 1-D numpy array or any sequence of numbers, of the database's dimension.\n"
     "`metadata`: None or Python values (dict, list, tuple, str, int, float, bool, None).\n"
     "`timestamp`: None or whole seconds, for decay.\n"
     "RefusedValueError for a vector of another length, a NaN or infinite number, metadata the\n"
     "file cannot hold; StorageError when the file cannot be changed."},
    {"insert_many", as_method(engine_insert_many), METH_VARARGS | METH_KEYWORDS,
     "insert_many($self, ids, vectors, metadatas=None, *, timestamps=None)\n--\n\n"
     "Stores many records in one transaction: all of them, or none. `vectors`: a 2-D numpy\n"
     "array (a row a record) or a sequence of vectors; `metadatas` and `timestamps`: None or\n"
     "one entry per id. The error of a refused record names it (\"record 5: ...\") and carries\n"
     "its position as the attribute `index`."},
    {"get", as_method(engine_get), METH_O,
     "get($self, id, /)\n--\n\n"
     "The record stored under `id` as a Record(id, vector, metadata, timestamp), a copy, or\n"
     "None. The vector is an array.array('f'): numpy.asarray wraps it without copying."},
    {"delete", as_method(engine_delete), METH_O,
     "delete($self, id, /)\n--\n\n"
     "Removes the record stored under `id`; returns whether there was one."},
    {"search", as_method(engine_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, k=10, *, where=None, decay=None, now=None, filter_through_index=False)\n--\n\n"
     "The `k` records closest to `query` under the engine's metric, best first, as\n"
     "Hit(id, score, metadata). `where`: a dict of top-level metadata keys and the values they\n"
     "must equal (1 and 1.0 and True differ). `decay` (in (0, 1]): demotes the score of a record\n"
     "with a timestamp before `now` by the factor decay ** (age in days), multiplying a similarity\n"
     "of at least 0 and dividing a distance or a negative similarity; `now` defaults to the\n"
     "current time.\n"
     "Through the index when one is attached and neither where nor decay is given; with where,\n"
     "filter_through_index=True and no decay, the index's graph is searched for records that pass\n"
     "(unless few records pass, when those are scored exhaustively, the faster way then)."},
    {"search_many", as_method(engine_search_many), METH_VARARGS | METH_KEYWORDS,
     "search_many($self, queries, k=10, *, where=None, decay=None, now=None, filter_through_index=False)\n"
     "--\n\n"
     "search() of every query (a 2-D numpy array, a row a query, or a sequence of vectors),\n"
     "the queries spread over the engine's workers: a list of lists of Hits."},
    {"attach_index", as_method(engine_attach_index), METH_VARARGS | METH_KEYWORDS,
     "attach_index($self, config)\n--\n\n"
     "Builds an HNSW index with `config` (an HnswConfig) over every record and attaches it in\n"
     "place of any other. ConfigError for a configuration that cannot work."},
    {"compact_index", as_method(engine_compact_index), METH_NOARGS,
     "compact_index($self, /)\n--\n\n"
     "With an index that retires deleted records' nodes (HnswConfig(retire_deleted=True)): drops\n"
     "the retired nodes from the graph now, instead of when they pass retired_share of the nodes.\n"
     "Does nothing otherwise."},
    {"detach_index", as_method(engine_detach_index), METH_NOARGS,
     "detach_index($self, /)\n--\n\nDrops the attached index; searches then score every record."},
    {"close", as_method(engine_close), METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Releases the file at once. Every later call but close() raises EngineClosedError."},
    {"__enter__", as_method(engine_enter), METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", as_method(engine_exit), METH_VARARGS, "__exit__($self, *exception)\n--\n\nCloses the engine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"has_index", get_has_index, nullptr, "Whether an index is attached.", nullptr},
    {"index", get_index, nullptr, "The attached index's HnswConfig (ef_search as searches use it), or None.",
     nullptr},
    {"ef_search", get_ef_search, set_ef_search,
     "The ef of the attached index's searches (None without an index); settable.", nullptr},
    {"metric", get_metric, nullptr, "The metric's name: cosine, dot, euclidean or manhattan.", nullptr},
    {"dimension", get_dimension, nullptr,
     "The length every vector must have, or None until the first record fixes it.", nullptr},
    {"path", get_path, nullptr, "The path the engine was opened with.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Engine(path, *, metric='cosine', dimension=None, index=None, workers=None)\n--\n\n"
                    "One open database file, the whole C++ engine. Opens or creates the file and loads every\n"
                    "record; holds the file locked until close() (or the end of a with block).\n"
                    "`metric`: cosine, dot, euclidean or manhattan. `dimension`: the length every vector must\n"
                    "have (None: the stored records', or the first insert's). `index`: an HnswConfig to build\n"
                    "an index with. `workers`: threads for loading and exhaustive searches (None: all cores).\n"
                    "Safe to share between threads: searches run side by side, writes wait for each other.")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_iter, reinterpret_cast<void*>(engine_iter)},
    {Py_sq_length, reinterpret_cast<void*>(engine_length)},
    {Py_sq_contains, reinterpret_cast<void*>(engine_contains)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quorvel_engine.Engine",  // name
    sizeof(EngineObject),     // basicsize
    0,                        // itemsize
    Py_TPFLAGS_DEFAULT,       // flags
    kSlots,                   // slots
};

}  // namespace

PyObject* make_engine_type() { return PyType_FromSpec(&kSpec); }

}  // namespace quorvel::python
