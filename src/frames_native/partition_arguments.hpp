// The arrays of one partition as the native functions receive them: float64
// NumPy arrays read in place, checked for shape with errors that name the
// argument.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <optional>

#include <cstdint>
#include <vector>

#include "interface/py_ref.hpp"
#include "numeric/matrix.hpp"
#include "numeric/tile_source.hpp"

namespace kestrum {

// A float64 array of `ndim` dimensions whose elements are aligned doubles
// (any strides in whole elements); a 1-D array reads as one column.
MatrixView matrix_argument(PyObject* obj, const char* parameter, int ndim);

// An owned copy of a 1-D float64 array of `length` elements.
Vector vector_argument(PyObject* obj, const char* parameter, size_t length);

// The elements of a 1-D float64 array of `length` elements, contiguous: in
// place when they are (the array must outlive their use), else copied into storage.
const double* column_argument(PyObject* obj, const char* parameter, size_t length, std::optional<Vector>& storage);

// The elements of a 1-D float64 array of `length` elements to write the
// results into: writeable, contiguous, aligned (a ValueError naming the
// parameter otherwise), and not overlapping any of `inputs` (n doubles each).
double* output_column_argument(PyObject* obj, const char* parameter, size_t length,
                               std::initializer_list<const double*> inputs);

// A list of column numbers, each below k.
std::vector<size_t> column_numbers_argument(PyObject* obj, const char* parameter, size_t k);

// Raises ValueError "<parameter> has <actual> <what>, expected <expected>".
void require_extent(const char* parameter, const char* what, size_t actual, size_t expected);

// Cluster numbers of the rows: an int64 array (or a float64 array of whole
// numbers) of `rows` numbers in [0, clusters).
std::vector<uint32_t> cluster_numbers_argument(PyObject* obj, const char* parameter, size_t rows, size_t clusters);

// Groupings of `rows` rows: a list of pairs (the cluster of each row, int64
// or whole float64 numbers; the number of clusters), converted into
// cluster_of and counted into clusters, one entry per grouping.
void groupings_argument(PyObject* obj, const char* parameter, size_t rows,
                        std::vector<std::vector<uint32_t>>& cluster_of, std::vector<size_t>& clusters);

// X of one partition: a 2-D float64 array, or a list (or tuple) of its
// columns, contiguous 1-D float64 arrays of one length or None for a column
// of ones, read in place. The columns are held for the call, so that nothing
// another thread does to the list while the lock is released can free them.
struct TileSourceArgument {
  TileSource X;
  std::vector<PyRef> held;
};

void regressors_argument(PyObject* obj, TileSourceArgument& out);

// A sequence of bool, one per regressor.
std::vector<bool> flags_argument(PyObject* obj, const char* parameter);

}  // namespace kestrum
