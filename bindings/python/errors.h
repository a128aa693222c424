#pragma once

#include <cstddef>

#include "python_errors.h"
#include "quorvel/core/engine.h"

namespace quorvel::python {

// Raises RuntimeError with the engine error's display text.
std::nullptr_t raise_engine_error(const EngineError& error);

}  // namespace quorvel::python
