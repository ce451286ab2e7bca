// Float64 NumPy arrays in and out of the module, and the int64 arrays of
// integer codes (cluster numbers).
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "interface/py_ref.hpp"
#include "numeric/array_view.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

// Strict extraction of an argument: not an array, wrong number of
// dimensions and wrong dtype each raise their own TypeError. Returns obj.
PyObject* extract_array_strict(PyObject* obj, int ndim);
// Combined check: any failure raises the one downcast TypeError. Returns obj.
PyObject* require_array(PyObject* obj, int ndim);

ArrayView view_array(PyObject* array);

// What every value of an input array must be.
enum class ValueRule { finite, zero_or_one };

// Whether value obeys rule (a NaN obeys neither).
bool obeys(ValueRule rule, double value);

struct CheckedCopy {
  StridedArray array;
  bool valid = true;  // whether every value obeys the rule
};

// An owned copy, its values checked against `rule` as they are copied: one
// block copy that keeps the layout when the elements are gap-free in memory,
// else an element-by-element copy in row-major order.
CheckedCopy owned_copy(const ArrayView& view, ValueRule rule);

struct Position {
  size_t row = 0;
  size_t col = 0;
};
// The first value, in row-major order, that breaks `rule`; there must be one.
Position first_breach(const MatrixView& values, ValueRule rule);

// True when obj is a NumPy masked array (numpy.ma.MaskedArray or a subclass).
bool is_masked_array(PyObject* obj);

// Owned copies of a viewed array's elements as a vector (its first column)
// and as a row-major matrix.
Vector copy_vector(const ArrayView& view);
Matrix copy_matrix(const ArrayView& view);

// A new writeable float64 array that takes over the buffer without copying;
// a PySliceContainer set as its base owns the memory.
PyRef output_array(StridedArray&& array);

// A 1-D int64 array read in place (any stride, any alignment).
struct Int64View {
  const char* origin = nullptr;
  size_t rows = 0;
  ptrdiff_t byte_stride = 0;

  int64_t operator[](size_t i) const noexcept {
    int64_t value;
    std::memcpy(&value, origin + static_cast<ptrdiff_t>(i) * byte_stride, sizeof value);
    return value;
  }
};

// True when obj is a 1-D int64 NumPy array.
bool is_int64_vector(PyObject* obj);
// obj as an Int64View; a TypeError naming `parameter` when it is not a 1-D int64 array.
Int64View int64_argument(PyObject* obj, const char* parameter);

// A new contiguous 1-D int64 array of `rows` elements, owned by NumPy; `data`
// receives its first element, to be written before the array is handed out.
PyRef new_int64_array(size_t rows, int64_t*& data);

}  // namespace kestrum
