#include "errors.h"

namespace quorvel::python {

std::nullptr_t raise_engine_error(const EngineError& error) {
  return raise_error(PyExc_RuntimeError, error.message());
}

}  // namespace quorvel::python
