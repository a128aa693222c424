// The boundary between C++ and the interpreter: no C++ exception may leave a
// call into the module, and each one becomes the Python exception that says
// what happened. Runs an embedded interpreter.

#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "errors.h"
#include "shared_messages.h"

namespace quorvel::python {
namespace {

class ErrorsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Py_IsInitialized()) Py_InitializeEx(0);
  }

  // The pending exception's type and message; clears it.
  struct Raised {
    PyRef type;
    std::string message;
  };
  static Raised take_raised() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_value(value);
    PyRef owned_traceback(traceback);
    return {PyRef(type), value != nullptr ? display_text(value) : std::string()};
  }

  static std::string attribute(PyObject* object, const char* name) {
    PyRef value(PyObject_GetAttrString(object, name));
    return value ? display_text(value.get()) : std::string();
  }
};

TEST_F(ErrorsTest, BadAllocBecomesMemoryError) {
  PyObject* result = guarded([]() -> PyObject* { throw std::bad_alloc(); });
  EXPECT_EQ(result, nullptr);
  Raised raised = take_raised();
  EXPECT_EQ(raised.type.get(), PyExc_MemoryError);
}

TEST_F(ErrorsTest, OtherExceptionsBecomeTheInternalFailureType) {
  EXPECT_EQ(guarded([]() -> PyObject* { throw std::logic_error("broken invariant"); }), nullptr);
  Raised first = take_raised();
  ASSERT_TRUE(first.type);
  EXPECT_EQ(first.message, "broken invariant");
  // Derived from BaseException, so that `except Exception` does not hide it.
  EXPECT_EQ(PyObject_IsSubclass(first.type.get(), PyExc_BaseException), 1);
  EXPECT_EQ(PyObject_IsSubclass(first.type.get(), PyExc_Exception), 0);
  EXPECT_EQ(attribute(first.type.get(), "__name__"), "InternalFailure");
  EXPECT_EQ(attribute(first.type.get(), "__module__"), "quorvel_runtime");

  EXPECT_EQ(guarded([]() -> PyObject* { throw 42; }), nullptr);
  Raised second = take_raised();
  EXPECT_EQ(second.type.get(), first.type.get());  // made once, then reused
  EXPECT_EQ(second.message, shared_messages::kUnknownFailure);
}

TEST_F(ErrorsTest, GuardedPassesResultsAndPythonErrorsThrough) {
  PyObject* value = guarded([] { return PyLong_FromLong(7); });
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(PyLong_AsLong(value), 7);
  Py_DECREF(value);

  EXPECT_EQ(guarded([] { return raise_error(PyExc_ValueError, "plain"); }), nullptr);
  Raised raised = take_raised();
  EXPECT_EQ(raised.type.get(), PyExc_ValueError);
  EXPECT_EQ(raised.message, "plain");
}

TEST_F(ErrorsTest, MessagesKeepNonAsciiTextAndLoneSurrogates) {
  // "é" and the three-byte form of the lone surrogate U+D800.
  raise_error(PyExc_TypeError, "caf\xc3\xa9 \xed\xa0\x80");
  Raised raised = take_raised();
  EXPECT_EQ(raised.type.get(), PyExc_TypeError);
  EXPECT_EQ(raised.message, "caf\xc3\xa9 \xed\xa0\x80");
}

TEST(FormatMessageTest, FillsPlaceholdersInOrder) {
  EXPECT_EQ(format_message("{} takes {} but {}", {"f()", "1", "2"}), "f() takes 1 but 2");
  EXPECT_EQ(format_message("no placeholder", {"x"}), "no placeholder");
  EXPECT_EQ(format_message("{} and {}", {"only"}), "only and {}");
}

}  // namespace
}  // namespace quorvel::python
