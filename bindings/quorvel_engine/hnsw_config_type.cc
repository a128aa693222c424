#include "hnsw_config_type.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "exceptions.h"
#include "messages.h"
#include "python_errors.h"
#include "values.h"

namespace quorvel::python {
namespace {

PyTypeObject* config_type = nullptr;

struct HnswConfigObject {
  PyObject_HEAD
  HnswConfig config;
};

HnswConfig& config_of(PyObject* self) { return reinterpret_cast<HnswConfigObject*>(self)->config; }

bool count_argument(PyObject* object, const char* name, std::uint64_t& out) {
  if (object == nullptr) return true;
  return to_uint64(object, name, format_message(messages::kConfigRange, {name, "{}"}), exception_types().config,
                   out);
}

bool float_argument(PyObject* object, const char* name, float& out) {
  if (object == nullptr) return true;
  if (PyBool_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {name, "bool"}));
    return false;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {name, type_name(object)}));
    return false;
  }
  out = static_cast<float>(value);
  return true;
}

bool bool_argument(PyObject* object, const char* name, bool& out) {
  if (object == nullptr) return true;
  if (!PyBool_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotABool, {name, type_name(object)}));
    return false;
  }
  out = object == Py_True;
  return true;
}

bool selection_argument(PyObject* object, NeighborSelection& out) {
  if (object == nullptr) return true;
  if (!PyUnicode_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kSelectionNotText, {type_name(object)}));
    return false;
  }
  Utf8 name;
  if (!utf8_of(object, name)) return false;
  const auto selection = selection_named(name.view);
  if (!selection) {
    raise_config(format_message(messages::kUnknownSelection, {name.view}));
    return false;
  }
  out = *selection;
  return true;
}

bool seed_argument(PyObject* object, std::optional<std::uint32_t>& out) {
  if (object == nullptr) return true;
  std::uint64_t seed = 0;
  if (!to_uint64(object, "seed", messages::kSeedRange, exception_types().config, seed)) return false;
  if (seed > std::numeric_limits<std::uint32_t>::max()) {
    raise_config(format_message(messages::kSeedRange, {std::to_string(seed)}));
    return false;
  }
  out = static_cast<std::uint32_t>(seed);
  return true;
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"m",           "ef_construction", "ef_search", "m_max",         "m_max0",
                                     "ml",          "selection",       "keep_pruned", "seed",        "retire_deleted",
                                     "retired_share", "build_threads", nullptr};
    enum Given { kM, kEfConstruction, kEfSearch, kMMax, kMMax0, kMl, kSelection, kKeepPruned, kSeed, kRetireDeleted,
                 kRetiredShare, kBuildThreads, kCount };
    PyObject* given[kCount] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOO$OOOOOO:HnswConfig", const_cast<char**>(keywords),
                                     &given[0], &given[1], &given[2], &given[3], &given[4], &given[5], &given[6],
                                     &given[7], &given[8], &given[9], &given[10], &given[11])) {
      return nullptr;
    }
    for (PyObject*& argument : given) {
      if (argument == Py_None) argument = nullptr;  // None: the default
    }
    std::uint64_t m = 16;
    if (!count_argument(given[kM], "m", m)) return nullptr;
    HnswConfig config = default_hnsw_config(m);
    if (!count_argument(given[kEfConstruction], "ef_construction", config.ef_construction) ||
        !count_argument(given[kEfSearch], "ef_search", config.ef_search) ||
        !count_argument(given[kMMax], "m_max", config.m_max) ||
        !count_argument(given[kMMax0], "m_max0", config.m_max0) || !float_argument(given[kMl], "ml", config.ml) ||
        !selection_argument(given[kSelection], config.selection) ||
        !bool_argument(given[kKeepPruned], "keep_pruned", config.keep_pruned) ||
        !seed_argument(given[kSeed], config.seed) ||
        !bool_argument(given[kRetireDeleted], "retire_deleted", config.retire_deleted) ||
        !float_argument(given[kRetiredShare], "retired_share", config.retired_share) ||
        !count_argument(given[kBuildThreads], "build_threads", config.build_threads)) {
      return nullptr;
    }
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = allocate(type, 0);
    if (self != nullptr) config_of(self) = config;
    return self;
  });
}

void config_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The shortest text that reads back as the same 32-bit float.
std::string float_text(float value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

PyObject* config_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const HnswConfig& c = config_of(self);
    const auto flag = [](bool value) { return std::string(value ? "True" : "False"); };
    const std::string text =
        "HnswConfig(m=" + std::to_string(c.m) + ", ef_construction=" + std::to_string(c.ef_construction) +
        ", ef_search=" + std::to_string(c.ef_search) + ", m_max=" + std::to_string(c.m_max) +
        ", m_max0=" + std::to_string(c.m_max0) + ", ml=" + float_text(c.ml) + ", selection='" +
        std::string(selection_name(c.selection)) + "', keep_pruned=" + flag(c.keep_pruned) +
        ", seed=" + (c.seed ? std::to_string(*c.seed) : "None") + ", retire_deleted=" + flag(c.retire_deleted) +
        ", retired_share=" + float_text(c.retired_share) + ", build_threads=" + std::to_string(c.build_threads) +
        ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* config_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != config_type) {
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
  }
  const bool equal = config_of(self) == config_of(other);
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

template <std::uint64_t HnswConfig::*field>
PyObject* get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(config_of(self).*field);
}

template <float HnswConfig::*field>
PyObject* get_float(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(config_of(self).*field));
}

template <bool HnswConfig::*field>
PyObject* get_flag(PyObject* self, void*) {
  return PyBool_FromLong(config_of(self).*field ? 1 : 0);
}

PyObject* get_selection(PyObject* self, void*) {
  const std::string_view name = selection_name(config_of(self).selection);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_seed(PyObject* self, void*) {
  const std::optional<std::uint32_t> seed = config_of(self).seed;
  if (!seed) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*seed);
}

PyGetSetDef kGetters[] = {
    {"m", get_count<&HnswConfig::m>, nullptr, "neighbours a new node takes on each of its layers", nullptr},
    {"ef_construction", get_count<&HnswConfig::ef_construction>, nullptr,
     "the result list of each layer search while inserting", nullptr},
    {"ef_search", get_count<&HnswConfig::ef_search>, nullptr, "the result list of a query", nullptr},
    {"m_max", get_count<&HnswConfig::m_max>, nullptr, "the longest neighbour list on layers 1 and above", nullptr},
    {"m_max0", get_count<&HnswConfig::m_max0>, nullptr, "the longest neighbour list on layer 0", nullptr},
    {"ml", get_float<&HnswConfig::ml>, nullptr, "the level multiplier", nullptr},
    {"selection", get_selection, nullptr,
     "how a node's neighbours are chosen: 'closest' (the nearest) or 'diverse' (a candidate is kept only when "
     "it is closer to the node than to every neighbour kept before it)",
     nullptr},
    {"keep_pruned", get_flag<&HnswConfig::keep_pruned>, nullptr,
     "with diverse selection: fill a short list up from the candidates passed over, closest first", nullptr},
    {"seed", get_seed, nullptr,
     "None, or the seed of the index's own level draws (a build on one thread is then the same every time)",
     nullptr},
    {"retire_deleted", get_flag<&HnswConfig::retire_deleted>, nullptr,
     "whether a deleted or replaced record's node stays as a waypoint that no search returns, instead of the "
     "graph being built again",
     nullptr},
    {"retired_share", get_float<&HnswConfig::retired_share>, nullptr,
     "with retire_deleted: the share of retired nodes past which the graph is compacted", nullptr},
    {"build_threads", get_count<&HnswConfig::build_threads>, nullptr,
     "threads that build the graph over the stored records: 1 in order, 0 every worker, n at most n", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "HnswConfig(m=16, ef_construction=200, ef_search=64, m_max=None, m_max0=None, ml=None, *, "
                    "selection='closest', keep_pruned=False, seed=None, retire_deleted=False, retired_share=0.2, "
                    "build_threads=1)\n--\n\n"
                    "The configuration of an HNSW index. Omitted (or None) fields take the defaults that m\n"
                    "gives: m_max = m, m_max0 = 2 * m, ml = 1 / ln(m) (1 when m <= 1), and the rest the\n"
                    "written behaviour. selection='diverse' keeps a candidate only when it is closer to the\n"
                    "node than to every neighbour kept before it (keep_pruned fills short lists up from the\n"
                    "rest); seed makes the level draws, and so a one-thread build, reproducible;\n"
                    "retire_deleted keeps deleted and replaced records' nodes as waypoints instead of\n"
                    "rebuilding, compacting past retired_share of the nodes (or on Engine.compact_index());\n"
                    "build_threads=0 builds on every worker. Immutable.")},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(config_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(config_richcompare)},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quorvel_engine.HnswConfig",  // name
    sizeof(HnswConfigObject),     // basicsize
    0,                            // itemsize
    Py_TPFLAGS_DEFAULT,           // flags
    kSlots,                       // slots
};

}  // namespace

PyObject* make_hnsw_config_type() {
  PyObject* type = PyType_FromSpec(&kSpec);
  config_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

bool hnsw_config_of(PyObject* object, std::string_view message, HnswConfig& out) {
  if (Py_TYPE(object) != config_type) {
    raise_error(PyExc_TypeError, format_message(message, {type_name(object)}));
    return false;
  }
  out = config_of(object);
  return true;
}

PyObject* hnsw_config_object(const HnswConfig& config) {
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(config_type, Py_tp_alloc));
  PyObject* self = allocate(config_type, 0);
  if (self != nullptr) config_of(self) = config;
  return self;
}

}  // namespace quorvel::python
