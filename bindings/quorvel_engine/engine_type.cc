#include "engine_type.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine_lock.h"
#include "engine_methods.h"
#include "engine_object.h"
#include "exceptions.h"
#include "gil.h"
#include "hnsw_config_type.h"
#include "messages.h"
#include "python_errors.h"
#include "quorvel/core/engine.h"
#include "values.h"

namespace quorvel::python {
namespace {

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
