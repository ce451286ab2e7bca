// Float64 NumPy arrays in and out of the module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "interface/py_ref.hpp"
#include "numeric/matrix.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

// An accepted array read in place. Strides are kept in bytes: a float64 field
// of a packed structured array has strides that are not multiples of 8 and
// elements that are not 8-byte aligned, and is read by exact byte offsets.
struct ArrayView {
  const char* origin = nullptr;  // element with all indices 0
  int ndim = 1;
  size_t extent[2] = {0, 1};
  ptrdiff_t byte_stride[2] = {0, 0};

  size_t rows() const noexcept { return extent[0]; }
  size_t cols() const noexcept { return ndim == 2 ? extent[1] : 1; }
  double operator()(size_t i, size_t j) const noexcept {
    double value;
    std::memcpy(&value,
                origin + static_cast<ptrdiff_t>(i) * byte_stride[0] + static_cast<ptrdiff_t>(j) * byte_stride[1],
                sizeof value);
    return value;
  }
  // True when every element is an aligned double reachable by element strides.
  bool element_strided() const noexcept;
  // The same elements through element strides; requires element_strided().
  MatrixView matrix_view() const noexcept;
};

// Strict extraction of an argument: not an array, wrong number of
// dimensions and wrong dtype each raise their own TypeError. Returns obj.
PyObject* extract_array_strict(PyObject* obj, int ndim);
// Combined check: any failure raises the one downcast TypeError. Returns obj.
PyObject* require_array(PyObject* obj, int ndim);

ArrayView view_array(PyObject* array);

// An owned copy: one block copy that keeps the layout when the elements are
// gap-free in memory, else an element-by-element copy in row-major order.
StridedArray owned_copy(const ArrayView& view);

// A new writeable float64 array that takes over the buffer without copying;
// a PySliceContainer set as its base owns the memory.
PyRef output_array(StridedArray&& array);

}  // namespace kestrum
