#pragma once

// What every method of the class Engine shares: the object's state, and the
// one way a method reaches the C++ engine (under the engine lock, with the
// interpreter lock released for anything long).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine_lock.h"
#include "gil.h"
#include "py_ref.h"
#include "quorvel/core/engine.h"
#include "values.h"

namespace quorvel::python {


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

inline State& state_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->state; }

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

// Raises EngineClosedError naming the engine's file; returns nullptr.
std::nullptr_t raise_closed(const State& state);

// A new reference to None.
PyObject* none();

// The UTF-8 bytes of a str argument; TypeError `wrong_type_message` for
// any other object.
bool utf8_argument(PyObject* object, std::string_view wrong_type_message, Utf8& out);

// A sequence argument as a tuple of its items (a str is no sequence here).
PyRef items_of(PyObject* object, const char* name);

}  // namespace quorvel::python
