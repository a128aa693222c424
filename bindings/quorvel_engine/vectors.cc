#include "vectors.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "exceptions.h"
#include "messages.h"
#include "python_errors.h"
#include "values.h"

namespace quorvel::python {
namespace {

// The interpreter's Py_buffer, whose layout is part of the stable ABI from
// CPython 3.11 on (the headers of the 3.8 limited API do not declare it).
struct BufferView {
  void* buf;
  PyObject* obj;
  Py_ssize_t len;
  Py_ssize_t itemsize;
  int readonly;
  int ndim;
  char* format;
  Py_ssize_t* shape;
  Py_ssize_t* strides;
  Py_ssize_t* suboffsets;
  void* internal;
};

using GetBufferFunction = int (*)(PyObject*, BufferView*, int);
using ReleaseBufferFunction = void (*)(BufferView*);

GetBufferFunction get_buffer = nullptr;
ReleaseBufferFunction release_buffer = nullptr;

// PyBUF_RECORDS_RO: shape, strides and format, read only.
constexpr int kRecordsReadOnly = 0x0010 | 0x0008 | 0x0004;

PyObject* array_type = nullptr;  // array.array
PyObject* float_code = nullptr;  // "f"
// An array('f') of zeros of the length last asked for: a new array is a
// copy of it (a C call, no argument parsing), filled through the buffer
// protocol.
PyObject* zero_array = nullptr;

// PyBUF_WRITABLE.
constexpr int kWritable = 0x0001;

enum class Element { kFloat32, kFloat64, kOther };

// The element type a struct format names, for formats of native or
// little-endian order (this module is built for little-endian machines).
Element element_of(std::string_view format) {
  if (!format.empty() && (format.front() == '@' || format.front() == '=' || format.front() == '<')) {
    format.remove_prefix(1);
  }
  if (format == "f") return Element::kFloat32;
  if (format == "d") return Element::kFloat64;
  return Element::kOther;
}

// The numbers of an object read in bulk, of one or two dimensions.
class NumberBlock {
 public:
  enum class Status { kOpened, kNotFloats, kFailed };

  NumberBlock() = default;
  NumberBlock(const NumberBlock&) = delete;
  NumberBlock& operator=(const NumberBlock&) = delete;
  ~NumberBlock() {
    if (held_) release_buffer(&view_);
  }

  // Opens the numbers of `object`. kNotFloats: it exports no buffer, or one
  // of other elements or layout, and is read otherwise; nothing is pending.
  Status open(PyObject* object) { return get_buffer != nullptr ? open_buffer(object) : open_copy(object); }

  std::size_t dimensions() const { return dimensions_; }
  std::size_t rows() const { return dimensions_ == 2 ? shape_[0] : 1; }
  std::size_t width() const { return dimensions_ == 2 ? shape_[1] : shape_[0]; }

  // Row `row` (of a two-dimensional block; 0 of a one-dimensional one) as
  // 32-bit floats.
  void copy_row(std::size_t row, std::vector<float>& out) const {
    const std::size_t count = width();
    out.resize(count);
    const char* start = data_ + (dimensions_ == 2 ? static_cast<Py_ssize_t>(row) * strides_[0] : 0);
    const Py_ssize_t step = strides_[dimensions_ - 1];
    if (element_ == Element::kFloat32 && step == sizeof(float)) {
      std::memcpy(out.data(), start, count * sizeof(float));
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const char* at = start + static_cast<Py_ssize_t>(i) * step;
      if (element_ == Element::kFloat32) {
        std::memcpy(&out[i], at, sizeof(float));
      } else {
        double value;
        std::memcpy(&value, at, sizeof(double));
        out[i] = static_cast<float>(value);
      }
    }
  }

 private:
  Status open_buffer(PyObject* object) {
    if (get_buffer(object, &view_, kRecordsReadOnly) != 0) {
      PyErr_Clear();  // no buffer, or not of this layout: read otherwise
      return Status::kNotFloats;
    }
    held_ = true;
    element_ = view_.format != nullptr ? element_of(view_.format) : Element::kOther;
    if (element_ == Element::kOther || view_.suboffsets != nullptr || view_.ndim < 1 || view_.ndim > 2) {
      return Status::kNotFloats;
    }
    dimensions_ = static_cast<std::size_t>(view_.ndim);
    for (std::size_t d = 0; d < dimensions_; ++d) {
      shape_[d] = static_cast<std::size_t>(view_.shape[d]);
      strides_[d] = view_.strides[d];
    }
    data_ = static_cast<const char*>(view_.buf);
    return Status::kOpened;
  }

  // Interpreters before 3.11: the memoryview's own description, and one
  // copy of its bytes in C order.
  Status open_copy(PyObject* object) {
    PyRef view(PyMemoryView_FromObject(object));
    if (!view) {
      PyErr_Clear();
      return Status::kNotFloats;
    }
    PyRef format(PyObject_GetAttrString(view.get(), "format"));
    PyRef shape(format ? PyObject_GetAttrString(view.get(), "shape") : nullptr);
    if (!shape) return Status::kFailed;
    element_ = element_of(display_text(format.get()));
    const Py_ssize_t dimensions = PyTuple_Size(shape.get());
    if (element_ == Element::kOther || dimensions < 1 || dimensions > 2) return Status::kNotFloats;
    dimensions_ = static_cast<std::size_t>(dimensions);
    for (std::size_t d = 0; d < dimensions_; ++d) {
      shape_[d] = PyLong_AsSize_t(PyTuple_GetItem(shape.get(), static_cast<Py_ssize_t>(d)));
      if (shape_[d] == static_cast<std::size_t>(-1) && PyErr_Occurred()) return Status::kFailed;
    }
    const Py_ssize_t item = element_ == Element::kFloat32 ? sizeof(float) : sizeof(double);
    strides_[dimensions_ - 1] = item;
    if (dimensions_ == 2) strides_[0] = item * static_cast<Py_ssize_t>(shape_[1]);
    copy_ = PyRef(PyObject_CallMethod(view.get(), "tobytes", nullptr));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!copy_ || PyBytes_AsStringAndSize(copy_.get(), &data, &size) != 0) return Status::kFailed;
    data_ = data;
    return Status::kOpened;
  }

  BufferView view_{};
  bool held_ = false;
  PyRef copy_;
  Element element_ = Element::kOther;
  std::size_t dimensions_ = 0;
  std::size_t shape_[2] = {0, 0};
  Py_ssize_t strides_[2] = {0, 0};
  const char* data_ = nullptr;
};

// Reads `object`, a sequence that is no float buffer, element by element.
bool read_sequence(PyObject* object, std::vector<float>& out) {
  if (!PySequence_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotAVector, {type_name(object)}));
    return false;
  }
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) PyErr_Clear();
  out.clear();
  // A length is only a hint (a __len__ may say anything).
  out.reserve(static_cast<std::size_t>(hint > 0 && hint < (Py_ssize_t{1} << 20) ? hint : 0));
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        raise_error(PyExc_TypeError, format_message(messages::kElementNotANumber,
                                                    {std::to_string(out.size()), type_name(item.get())}));
      }
      return false;
    }
    out.push_back(static_cast<float>(value));
  }
  return !PyErr_Occurred();
}

bool is_plain_sequence(PyObject* object) { return PyList_Check(object) || PyTuple_Check(object); }

}  // namespace

void find_buffer_protocol() {
  int major = 0;
  int minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 || major < 3 || (major == 3 && minor < 11)) return;
  // The interpreter's own symbols; an interpreter that does not show them
  // (loaded privately by an embedding program) gets the copying path.
  auto get = reinterpret_cast<GetBufferFunction>(dlsym(RTLD_DEFAULT, "PyObject_GetBuffer"));
  auto release = reinterpret_cast<ReleaseBufferFunction>(dlsym(RTLD_DEFAULT, "PyBuffer_Release"));
  if (get != nullptr && release != nullptr) {
    get_buffer = get;
    release_buffer = release;
  }
}

bool has_buffer_protocol() { return get_buffer != nullptr; }

bool read_vector(PyObject* object, std::vector<float>& out) {
  if (PyUnicode_Check(object)) {
    raise_error(PyExc_TypeError, messages::kStrNotVector);
    return false;
  }
  if (!is_plain_sequence(object)) {
    NumberBlock block;
    switch (block.open(object)) {
      case NumberBlock::Status::kFailed: return false;
      case NumberBlock::Status::kNotFloats: break;
      case NumberBlock::Status::kOpened:
        if (block.dimensions() != 1) {
          raise_refused(format_message(messages::kVectorDimensions, {std::to_string(block.dimensions())}));
          return false;
        }
        block.copy_row(0, out);
        return true;
    }
  }
  return read_sequence(object, out);
}

bool read_vectors(PyObject* object, const char* name, std::string_view item_prefix,
                  std::vector<std::vector<float>>& out) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    raise_error(PyExc_TypeError, format_message(messages::kNotASequence, {name, type_name(object)}));
    return false;
  }
  if (!is_plain_sequence(object)) {
    NumberBlock block;
    switch (block.open(object)) {
      case NumberBlock::Status::kFailed: return false;
      case NumberBlock::Status::kNotFloats: break;
      case NumberBlock::Status::kOpened:
        if (block.dimensions() != 2) {
          raise_refused(format_message(messages::kMatrixDimensions, {name, std::to_string(block.dimensions())}));
          return false;
        }
        out.resize(block.rows());
        for (std::size_t row = 0; row < out.size(); ++row) block.copy_row(row, out[row]);
        return true;
    }
  }
  PyRef items(PySequence_Tuple(object));
  if (!items) return false;
  const Py_ssize_t count = PyTuple_Size(items.get());
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!read_vector(PyTuple_GetItem(items.get(), i), out[static_cast<std::size_t>(i)])) {
      const std::size_t index = static_cast<std::size_t>(i);
      prefix_pending_error(format_message(item_prefix, {std::to_string(index)}), index);
      return false;
    }
  }
  return true;
}

bool find_array_type() {
  PyRef module(PyImport_ImportModule("array"));
  if (!module) return false;
  array_type = PyObject_GetAttrString(module.get(), "array");
  if (array_type == nullptr) return false;
  float_code = PyUnicode_FromString("f");
  return float_code != nullptr;
}

namespace {

PyObject* array_from_bytes(std::span<const float> floats) {
  PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(floats.data()),
                                        static_cast<Py_ssize_t>(floats.size_bytes())));
  if (!bytes) return nullptr;
  return PyObject_CallFunctionObjArgs(array_type, float_code, bytes.get(), nullptr);
}

}  // namespace

PyObject* float_array(std::span<const float> floats) {
  if (!has_buffer_protocol()) return array_from_bytes(floats);
  const auto length = static_cast<Py_ssize_t>(floats.size());
  if (zero_array == nullptr || PySequence_Size(zero_array) != length) {
    PyRef zeros(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(floats.size_bytes())));
    if (!zeros) return nullptr;
    std::memset(PyBytes_AsString(zeros.get()), 0, floats.size_bytes());
    PyObject* made = PyObject_CallFunctionObjArgs(array_type, float_code, zeros.get(), nullptr);
    if (made == nullptr) return nullptr;
    Py_XDECREF(zero_array);
    zero_array = made;
  }
  PyRef array(PySequence_Repeat(zero_array, 1));
  if (!array) return nullptr;
  BufferView view{};
  if (get_buffer(array.get(), &view, kWritable) != 0) return nullptr;
  std::memcpy(view.buf, floats.data(), floats.size_bytes());
  release_buffer(&view);
  return array.release();
}

}  // namespace quorvel::python
