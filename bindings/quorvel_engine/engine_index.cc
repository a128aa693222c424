#include "engine_methods.h"

#include <cstdint>
#include <optional>

#include "engine_object.h"
#include "exceptions.h"
#include "hnsw_config_type.h"
#include "messages.h"
#include "python_errors.h"
#include "values.h"

namespace quorvel::python {

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

}  // namespace quorvel::python
