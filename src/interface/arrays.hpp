// Float64 NumPy arrays in and out of the module.
#pragma once

#include <Python.h>

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

// An owned copy: one block copy that keeps the layout when the elements are
// gap-free in memory, else an element-by-element copy in row-major order.
StridedArray owned_copy(const ArrayView& view);

// Owned copies of a viewed array's elements as a vector (its first column)
// and as a row-major matrix.
Vector copy_vector(const ArrayView& view);
Matrix copy_matrix(const ArrayView& view);

// A new writeable float64 array that takes over the buffer without copying;
// a PySliceContainer set as its base owns the memory.
PyRef output_array(StridedArray&& array);

}  // namespace kestrum
