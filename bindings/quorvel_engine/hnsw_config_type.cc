#include "hnsw_config_type.h"

#include <charconv>
#include <string>

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

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"m", "ef_construction", "ef_search", "m_max", "m_max0", "ml", nullptr};
    PyObject* given[6] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOO:HnswConfig", const_cast<char**>(keywords), &given[0],
                                     &given[1], &given[2], &given[3], &given[4], &given[5])) {
      return nullptr;
    }
    for (PyObject*& argument : given) {
      if (argument == Py_None) argument = nullptr;  // None: the default
    }
    std::uint64_t m = 16;
    if (!count_argument(given[0], "m", m)) return nullptr;
    HnswConfig config = default_hnsw_config(m);
    if (!count_argument(given[1], "ef_construction", config.ef_construction) ||
        !count_argument(given[2], "ef_search", config.ef_search) ||
        !count_argument(given[3], "m_max", config.m_max) || !count_argument(given[4], "m_max0", config.m_max0)) {
      return nullptr;
    }
    if (given[5] != nullptr) {
      if (PyBool_Check(given[5])) {
        return raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {"ml", "bool"}));
      }
      const double ml = PyFloat_AsDouble(given[5]);
      if (ml == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        return raise_error(PyExc_TypeError, format_message(messages::kNotANumber, {"ml", type_name(given[5])}));
      }
      config.ml = static_cast<float>(ml);
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
    const std::string text = "HnswConfig(m=" + std::to_string(c.m) +
                             ", ef_construction=" + std::to_string(c.ef_construction) +
                             ", ef_search=" + std::to_string(c.ef_search) + ", m_max=" + std::to_string(c.m_max) +
                             ", m_max0=" + std::to_string(c.m_max0) + ", ml=" + float_text(c.ml) + ")";
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

PyObject* get_ml(PyObject* self, void*) { return PyFloat_FromDouble(static_cast<double>(config_of(self).ml)); }

PyGetSetDef kGetters[] = {
    {"m", get_count<&HnswConfig::m>, nullptr, "neighbours a new node takes on each of its layers", nullptr},
    {"ef_construction", get_count<&HnswConfig::ef_construction>, nullptr,
     "the result list of each layer search while inserting", nullptr},
    {"ef_search", get_count<&HnswConfig::ef_search>, nullptr, "the result list of a query", nullptr},
    {"m_max", get_count<&HnswConfig::m_max>, nullptr, "the longest neighbour list on layers 1 and above", nullptr},
    {"m_max0", get_count<&HnswConfig::m_max0>, nullptr, "the longest neighbour list on layer 0", nullptr},
    {"ml", get_ml, nullptr, "the level multiplier", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "HnswConfig(m=16, ef_construction=200, ef_search=64, m_max=None, m_max0=None, ml=None)\n--\n\n"
                    "The configuration of an HNSW index. Omitted (or None) fields take the defaults that m\n"
                    "gives: m_max = m, m_max0 = 2 * m, ml = 1 / ln(m) (1 when m <= 1). Immutable.")},
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
