#include "quorvel_type.h"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.h"
#include "borrow_flag.h"
#include "errors.h"
#include "messages.h"
#include "quorvel/core/engine.h"
#include "results.h"

namespace quorvel::python {
namespace {

// What an instance holds after the object header: the engine it owns and the
// borrow flag that guards it.
struct Instance {
  Engine engine;
  BorrowFlag borrow;
};

// The instance layout. The interpreter allocates and frees the memory; the
// Instance in it is constructed by the constructor and destroyed by dealloc.
struct QuorvelObject {
  PyObject_HEAD
  alignas(Instance) unsigned char storage[sizeof(Instance)];
};

// The instance is built from an engine that open() has already produced; a
// move that could throw would leave a half-built object behind.
static_assert(std::is_nothrow_move_constructible_v<Engine>);

Instance& instance(PyObject* self) {
  return *std::launder(reinterpret_cast<Instance*>(reinterpret_cast<QuorvelObject*>(self)->storage));
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

constexpr const char* kNewParameters[] = {"path"};
constexpr const char* kInsertParameters[] = {"id", "vector", "metadata"};
constexpr const char* kSearchParameters[] = {"query", "k"};
constexpr const char* kIdParameters[] = {"id"};

constexpr Signature kNewSignature{"Quorvel.__new__()", kNewParameters, 1};
constexpr Signature kInsertSignature{"Quorvel.insert()", kInsertParameters, 2};
constexpr Signature kSearchSignature{"Quorvel.search()", kSearchParameters, 2};
constexpr Signature kGetSignature{"Quorvel.get()", kIdParameters, 1};
constexpr Signature kDeleteSignature{"Quorvel.delete()", kIdParameters, 1};

// Quorvel(path): opens the database, then allocates the instance. When the
// allocation fails the engine is dropped on the way out, which releases the
// database file again. A path holding a NUL is refused, as the file system
// functions of Python refuse it: the file opened would be another one.
PyObject* quorvel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arguments[1];
    if (!bind_arguments(kNewSignature, args, kwargs, arguments)) return nullptr;
    Utf8Text path;
    if (!to_text(arguments[0], "path", path)) return nullptr;
    if (path.view.find('\0') != std::string_view::npos) {
      return raise_error(PyExc_ValueError, messages::kEmbeddedNul);
    }
    auto engine = Engine::open(std::string(path.view));
    if (!engine) return raise_engine_error(engine.error());

    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = allocate(type, 0);
    if (self == nullptr) return nullptr;
    ::new (reinterpret_cast<QuorvelObject*>(self)->storage) Instance{std::move(*engine), {}};
    return self;
  });
}

void quorvel_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  instance(self).~Instance();
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The arguments of one call after binding: one borrowed reference per
// parameter, nullptr for an omitted optional one.
using Arguments = std::array<PyObject*, 3>;

static_assert(kInsertSignature.names.size() <= std::tuple_size_v<Arguments> &&
              kSearchSignature.names.size() <= std::tuple_size_v<Arguments>);

enum class Access { kShared, kExclusive };

// The common call sequence of a method: bind the arguments, take the borrow
// that `access` names, then run `body(engine, arguments)`, which converts the
// arguments, calls the engine and converts its result. The borrow is given
// back on every way out, and no C++ exception leaves.
template <typename Body>
PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature,
                      Access access, Body&& body) {
  return guarded([&]() -> PyObject* {
    Arguments arguments{};
    if (!bind_arguments(signature, args, kwargs, std::span(arguments).first(signature.names.size()))) {
      return nullptr;
    }
    Instance& state = instance(self);
    Borrow borrow =
        access == Access::kShared ? Borrow::shared(state.borrow) : Borrow::exclusive(state.borrow);
    if (!borrow) return nullptr;
    return body(state.engine, arguments);
  });
}

PyObject* quorvel_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(self, args, kwargs, kInsertSignature, Access::kExclusive,
                     [](Engine& engine, const Arguments& arguments) -> PyObject* {
                       Utf8Text id;
                       std::vector<float> vector;
                       std::optional<JsonValue> metadata;
                       if (!to_text(arguments[0], "id", id) ||
                           !to_float_vector(arguments[1], "vector", vector) ||
                           !to_metadata(arguments[2], "metadata", metadata)) {
                         return nullptr;
                       }
                       auto inserted = engine.insert(id.view, std::move(vector), std::move(metadata));
                       if (!inserted) return raise_engine_error(inserted.error());
                       return none();
                     });
}

PyObject* quorvel_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(self, args, kwargs, kSearchSignature, Access::kShared,
                     [](Engine& engine, const Arguments& arguments) -> PyObject* {
                       std::vector<float> query;
                       std::uint64_t k = 0;
                       if (!to_float_vector(arguments[0], "query", query) ||
                           !to_count(arguments[1], "k", k)) {
                         return nullptr;
                       }
                       return search_result_list(engine.search(query, k));
                     });
}

PyObject* quorvel_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(self, args, kwargs, kGetSignature, Access::kShared,
                     [](Engine& engine, const Arguments& arguments) -> PyObject* {
                       Utf8Text id;
                       if (!to_text(arguments[0], "id", id)) return nullptr;
                       return get_result(engine.get(id.view));
                     });
}

PyObject* quorvel_get_all(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Instance& state = instance(self);
    Borrow borrow = Borrow::shared(state.borrow);
    if (!borrow) return nullptr;
    // The records are read in place; the borrow keeps writers out until the
    // list is built.
    return record_list(state.engine.get_all());
  });
}

PyObject* quorvel_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(self, args, kwargs, kDeleteSignature, Access::kExclusive,
                     [](Engine& engine, const Arguments& arguments) -> PyObject* {
                       Utf8Text id;
                       if (!to_text(arguments[0], "id", id)) return nullptr;
                       auto removed = engine.remove(id.view);
                       if (!removed) return raise_engine_error(removed.error());
                       return none();
                     });
}

// The method table stores every function as a PyCFunction; the flags tell
// the interpreter the real signature. The cast goes through a generic
// function pointer type, which is how the C API expects it to be done.
template <typename Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Each docstring is the text signature, a line "--" and an empty line: the
// interpreter reports the signature and no further documentation.
PyMethodDef kMethods[] = {
    {"insert", as_method(quorvel_insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, id, vector, metadata=None)\n--\n\n"},
    {"search", as_method(quorvel_search), METH_VARARGS | METH_KEYWORDS, "search($self, query, k)\n--\n\n"},
    {"get", as_method(quorvel_get), METH_VARARGS | METH_KEYWORDS, "get($self, id)\n--\n\n"},
    {"get_all", as_method(quorvel_get_all), METH_NOARGS, "get_all($self)\n--\n\n"},
    {"delete", as_method(quorvel_delete), METH_VARARGS | METH_KEYWORDS, "delete($self, id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Quorvel(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(quorvel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(quorvel_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// The name's module part sets Quorvel.__module__; the class's own name is
// "Quorvel". Without Py_TPFLAGS_BASETYPE the class cannot be subclassed, and
// without a dict or weak-reference slot its instances have neither.
PyType_Spec kSpec = {
    "quorvel.Quorvel",       // name
    sizeof(QuorvelObject),   // basicsize
    0,                       // itemsize
    Py_TPFLAGS_DEFAULT,      // flags
    kSlots,                  // slots
};

}  // namespace

PyObject* make_quorvel_type() { return PyType_FromSpec(&kSpec); }

}  // namespace quorvel::python
