#include "borrow_flag.h"

#include "errors.h"
#include "messages.h"

namespace quorvel::python {

Borrow Borrow::shared(BorrowFlag& flag) {
  if (flag.try_share()) return Borrow(&flag, false);
  raise_error(PyExc_RuntimeError, messages::kAlreadyMutablyBorrowed);
  return Borrow(nullptr, false);
}

Borrow Borrow::exclusive(BorrowFlag& flag) {
  if (flag.try_exclude()) return Borrow(&flag, true);
  raise_error(PyExc_RuntimeError, messages::kAlreadyBorrowed);
  return Borrow(nullptr, true);
}

Borrow::~Borrow() {
  if (flag_ == nullptr) return;
  if (exclusive_) {
    flag_->release_exclusive();
  } else {
    flag_->release_shared();
  }
}

}  // namespace quorvel::python
