#include "interface/arrays.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>

#include "interface/errors.hpp"
#include "interface/numpy_api.hpp"
#include "interface/slice_container.hpp"

// The value check runs on wider registers where the processor has AVX2
// (KESTRUM_PORTABLE_KERNELS, set by the sanitizer build, keeps to one version).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(KESTRUM_PORTABLE_KERNELS)
#define KESTRUM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KESTRUM_CLONES
#endif

namespace kestrum {

namespace {

constexpr ptrdiff_t kItemSize = sizeof(double);
constexpr const char* kMaskedArrayModule = "numpy.ma";

// The exponent field of a double, all ones for the infinities and NaN, and
// its lowest bit; the bits of 1.0.
constexpr uint64_t kExponentBits = uint64_t{0x7FF} << 52;
constexpr uint64_t kExponentStep = uint64_t{1} << 52;
constexpr uint64_t kOneBits = uint64_t{0x3FF} << 52;

// Values checked and then copied together: a chunk small enough to stay in
// the cache between the two, so that X is read from memory once.
constexpr size_t kCheckedChunk = size_t{1} << 17;

// Whether all n values from `bytes` on (any alignment) obey rule: the sign
// bit of `breach` is set by a value that breaks it. Integer arithmetic with
// no early exit and no branch, so that the loop vectorizes: the usual input
// has no breach and is read whole.
KESTRUM_CLONES bool all_obey(const char* bytes, size_t n, ValueRule rule) {
  uint64_t breach = 0;
  for (size_t i = 0; i < n; ++i) {
    uint64_t bits = 0;
    std::memcpy(&bits, bytes + i * kItemSize, sizeof bits);
    if (rule == ValueRule::finite) {
      // Adding one step to the exponent field carries into the sign bit
      // exactly when the field is all ones.
      breach |= (bits & kExponentBits) + kExponentStep;
    } else {
      // x | -x has its sign bit set exactly when x != 0: here when the value
      // is neither +-0 (bits << 1 == 0) nor 1.0.
      const uint64_t not_zero = bits << 1, not_one = bits ^ kOneBits;
      breach |= (not_zero | (0 - not_zero)) & (not_one | (0 - not_one));
    }
  }
  return (breach >> 63) == 0;
}

// Copies n values and tells whether all of them obey rule.
bool copy_checked(const char* from, double* to, size_t n, ValueRule rule) {
  bool valid = true;
  for (size_t start = 0; start < n; start += kCheckedChunk) {
    const size_t count = std::min(kCheckedChunk, n - start);
    valid = all_obey(from + start * kItemSize, count, rule) && valid;
    std::memcpy(to + start, from + start * kItemSize, count * kItemSize);
  }
  return valid;
}

std::string descr_text(PyObject* descr) {
  PyRef text = checked(PyObject_Str(descr));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) throw_python_error();
  return std::string(utf8, static_cast<size_t>(size));
}

}  // namespace

PyObject* extract_array_strict(PyObject* obj, int ndim) {
  if (!numpy::is_array(obj)) raise_downcast_error(obj, "PyArray<T, D>");
  const int actual = numpy::fields(obj)->nd;
  if (actual != ndim) {
    raise(PyExc_TypeError,
          "dimensionality mismatch:\n from=" + std::to_string(actual) + ", to=" + std::to_string(ndim));
  }
  if (!numpy::is_float64(obj)) {
    raise(PyExc_TypeError, "type mismatch:\n from=" + descr_text(numpy::fields(obj)->descr) +
                               ", to=" + descr_text(numpy::float64_descr()));
  }
  return obj;
}

PyObject* require_array(PyObject* obj, int ndim) {
  if (!numpy::is_array(obj) || numpy::fields(obj)->nd != ndim || !numpy::is_float64(obj)) {
    raise_downcast_error(obj, "PyArray<T, D>");
  }
  return obj;
}

ArrayView view_array(PyObject* array) {
  const numpy::ArrayFields* f = numpy::fields(array);
  KESTRUM_ASSERT(f->nd == 1 || f->nd == 2);
  ArrayView view;
  view.origin = f->data;
  view.ndim = f->nd;
  for (int axis = 0; axis < f->nd; ++axis) {
    view.extent[axis] = static_cast<size_t>(f->dimensions[axis]);
    view.byte_stride[axis] = f->strides[axis];
  }
  return view;
}

CheckedCopy owned_copy(const ArrayView& view, ValueRule rule) {
  const size_t rows = view.rows(), cols = view.cols();
  const size_t count = rows * cols;
  if (count == 0) return CheckedCopy{StridedArray::standard(Buffer(0), view.ndim, rows, cols), true};

  // Gap-free: ordered by increasing |stride|, every axis longer than 1 must
  // step exactly over the block of the axes before it.
  bool gap_free = true;
  ptrdiff_t element_stride[2] = {0, 0};
  int order[2] = {0, 1};
  for (int axis = 0; axis < view.ndim; ++axis) {
    if (view.extent[axis] > 1 && view.byte_stride[axis] % kItemSize != 0) gap_free = false;
    element_stride[axis] = view.byte_stride[axis] % kItemSize == 0 ? view.byte_stride[axis] / kItemSize : 0;
  }
  if (view.ndim == 2 && std::llabs(element_stride[1]) < std::llabs(element_stride[0])) std::swap(order[0], order[1]);
  size_t block = 1;
  for (int position = 0; gap_free && position < view.ndim; ++position) {
    const int axis = order[position];
    if (view.extent[axis] != 1 && static_cast<size_t>(std::llabs(element_stride[axis])) != block) gap_free = false;
    block *= view.extent[axis];
  }

  if (gap_free) {
    // The block starts at the lowest address; negative strides put the
    // element with all indices 0 further in.
    size_t origin = 0;
    for (int axis = 0; axis < view.ndim; ++axis) {
      if (element_stride[axis] < 0) origin += (view.extent[axis] - 1) * static_cast<size_t>(-element_stride[axis]);
    }
    StridedArray copy;
    copy.buffer = Buffer(count);
    const bool valid =
        copy_checked(view.origin - static_cast<ptrdiff_t>(origin) * kItemSize, copy.buffer.data(), count, rule);
    copy.ndim = view.ndim;
    copy.extent[0] = view.extent[0];
    copy.extent[1] = view.extent[1];
    copy.stride[0] = element_stride[0];
    copy.stride[1] = element_stride[1];
    copy.origin = origin;
    return CheckedCopy{std::move(copy), valid};
  }

  Buffer buffer(count);
  double* out = buffer.data();
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < cols; ++j) *out++ = view(i, j);
  }
  const bool valid = all_obey(reinterpret_cast<const char*>(buffer.data()), count, rule);
  return CheckedCopy{StridedArray::standard(std::move(buffer), view.ndim, rows, cols), valid};
}

bool obeys(ValueRule rule, double value) {
  return rule == ValueRule::finite ? std::isfinite(value) : (value == 0.0 || value == 1.0);
}

Position first_breach(const MatrixView& values, ValueRule rule) {
  for (size_t i = 0; i < values.rows; ++i) {
    for (size_t j = 0; j < values.cols; ++j) {
      if (!obeys(rule, values(i, j))) return Position{i, j};
    }
  }
  panic("first_breach: every value obeys the rule");
}

bool is_masked_array(PyObject* obj) {
  // A masked array exists only once numpy.ma has been imported.
  PyRef module = PyRef::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), kMaskedArrayModule));
  if (!module) return false;
  PyRef masked_type = PyRef::steal(PyObject_GetAttrString(module.get(), "MaskedArray"));
  if (!masked_type) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
  }
  const int masked = PyObject_IsInstance(obj, masked_type.get());
  check_status(masked);
  return masked == 1;
}

Vector copy_vector(const ArrayView& view) {
  Vector v(view.rows());
  for (size_t i = 0; i < view.rows(); ++i) v[i] = view(i, 0);
  return v;
}

Matrix copy_matrix(const ArrayView& view) {
  Matrix m(view.rows(), view.cols());
  for (size_t i = 0; i < view.rows(); ++i) {
    for (size_t j = 0; j < view.cols(); ++j) m(i, j) = view(i, j);
  }
  return m;
}

PyRef output_array(StridedArray&& array) {
  const int ndim = array.ndim;
  Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(array.extent[0]), static_cast<Py_ssize_t>(array.extent[1])};
  Py_ssize_t strides[2] = {array.stride[0] * kItemSize, array.stride[1] * kItemSize};
  double* data = array.buffer.data() + array.origin;
  PyObject* descr = numpy::float64_descr();
  PyRef container = make_slice_container(std::move(array.buffer));

  Py_INCREF(descr);  // taken over by the array, also on failure
  PyRef result = expect_object(numpy::new_from_descr(descr, ndim, dims, strides, data, numpy::kWriteableFlag));
  if (numpy::set_base_object(result.get(), container.release()) < 0) {
    throw_if_out_of_memory();
    PyErr_Print();
    panic("Python API call failed");
  }
  return result;
}

bool is_int64_vector(PyObject* obj) {
  return numpy::is_array(obj) && numpy::fields(obj)->nd == 1 && numpy::is_int64(obj);
}

Int64View int64_argument(PyObject* obj, const char* parameter) {
  if (!is_int64_vector(obj)) raise(PyExc_TypeError, std::string(parameter) + " must be a 1-D int64 array");
  const numpy::ArrayFields* f = numpy::fields(obj);
  return Int64View{f->data, static_cast<size_t>(f->dimensions[0]), f->strides[0]};
}

PyRef new_int64_array(size_t rows, int64_t*& data) {
  Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(rows)};
  PyObject* descr = numpy::int64_descr();
  Py_INCREF(descr);  // taken over by the array, also on failure
  PyRef result = expect_object(numpy::new_from_descr(descr, 1, dims, nullptr, nullptr, 0));
  data = reinterpret_cast<int64_t*>(numpy::fields(result.get())->data);
  return result;
}

}  // namespace kestrum
