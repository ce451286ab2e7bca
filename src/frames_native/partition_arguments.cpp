#include "frames_native/partition_arguments.hpp"

#include <cmath>
#include <string>

#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/errors.hpp"
#include "interface/numpy_api.hpp"

namespace kestrum {

MatrixView matrix_argument(PyObject* obj, const char* parameter, int ndim) {
  convert_argument(parameter, [&] { return extract_array_strict(obj, ndim); });
  const ArrayView view = view_array(obj);
  if (!view.element_strided()) {
    raise(PyExc_ValueError, std::string(parameter) + " must hold aligned doubles at whole-element strides");
  }
  return view.matrix_view();
}

Vector vector_argument(PyObject* obj, const char* parameter, size_t length) {
  convert_argument(parameter, [&] { return extract_array_strict(obj, 1); });
  const ArrayView view = view_array(obj);
  require_extent(parameter, "elements", view.rows(), length);
  return copy_vector(view);
}

const double* column_argument(PyObject* obj, const char* parameter, size_t length, std::optional<Vector>& storage) {
  const MatrixView view = matrix_argument(obj, parameter, 1);
  require_extent(parameter, "elements", view.rows, length);
  if (view.row_stride == 1 || view.rows <= 1) return view.origin;
  storage.emplace(view.rows);
  for (size_t i = 0; i < view.rows; ++i) (*storage)[i] = view(i, 0);
  return storage->data();
}

double* output_column_argument(PyObject* obj, const char* parameter, size_t length,
                               std::initializer_list<const double*> inputs) {
  const MatrixView view = matrix_argument(obj, parameter, 1);
  require_extent(parameter, "elements", view.rows, length);
  if ((numpy::fields(obj)->flags & numpy::kWriteableFlag) == 0 || (view.row_stride != 1 && view.rows > 1)) {
    raise(PyExc_ValueError, std::string(parameter) + " must be a writeable contiguous array to write the results into");
  }
  const double* begin = view.origin;
  for (const double* input : inputs) {
    if (input != nullptr && begin < input + length && input < begin + length) {
      raise(PyExc_ValueError, std::string(parameter) + " overlaps an input array: give it a buffer of its own");
    }
  }
  return reinterpret_cast<double*>(numpy::fields(obj)->data);
}

std::vector<size_t> column_numbers_argument(PyObject* obj, const char* parameter, size_t k) {
  if (!PyList_Check(obj)) raise(PyExc_TypeError, std::string(parameter) + " must be a list of column numbers");
  std::vector<size_t> columns;
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(obj); ++j) {
    const uint64_t column = convert_argument(parameter, [&] { return to_u64(PyList_GET_ITEM(obj, j)); });
    if (column >= k) {
      raise(PyExc_ValueError, std::string(parameter) + " holds " + std::to_string(column) + ", beyond the k columns of X");
    }
    columns.push_back(static_cast<size_t>(column));
  }
  return columns;
}

void require_extent(const char* parameter, const char* what, size_t actual, size_t expected) {
  if (actual == expected) return;
  raise(PyExc_ValueError, std::string(parameter) + " has " + std::to_string(actual) + " " + what + ", expected " +
                              std::to_string(expected));
}

std::vector<uint32_t> cluster_numbers_argument(PyObject* obj, const char* parameter, size_t rows, size_t clusters) {
  if (is_int64_vector(obj)) {
    const Int64View numbers = int64_argument(obj, parameter);
    require_extent(parameter, "rows", numbers.rows, rows);
    std::vector<uint32_t> cluster_of(rows);
    for (size_t i = 0; i < rows; ++i) {
      const int64_t number = numbers[i];
      if (number < 0 || static_cast<uint64_t>(number) >= clusters) {
        raise(PyExc_ValueError, std::string(parameter) + "[" + std::to_string(i) + "] is " + std::to_string(number) +
                                    ", not a cluster number below " + std::to_string(clusters));
      }
      cluster_of[i] = static_cast<uint32_t>(number);
    }
    return cluster_of;
  }
  const MatrixView numbers = matrix_argument(obj, parameter, 1);
  require_extent(parameter, "rows", numbers.rows, rows);
  std::vector<uint32_t> cluster_of(rows);
  for (size_t i = 0; i < rows; ++i) {
    const double number = numbers(i, 0);
    // The negated test also refuses NaN.
    if (!(number >= 0.0 && number < static_cast<double>(clusters) && number == std::floor(number))) {
      raise(PyExc_ValueError, std::string(parameter) + "[" + std::to_string(i) + "] is " + std::to_string(number) +
                                  ", not a cluster number below " + std::to_string(clusters));
    }
    cluster_of[i] = static_cast<uint32_t>(number);
  }
  return cluster_of;
}

void groupings_argument(PyObject* obj, const char* parameter, size_t rows,
                        std::vector<std::vector<uint32_t>>& cluster_of, std::vector<size_t>& clusters) {
  PyRef list = convert_argument(parameter, [&] { return checked(PySequence_Fast(obj, "expected a sequence")); });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
  for (Py_ssize_t m = 0; m < count; ++m) {
    PyObject* grouping = PySequence_Fast_GET_ITEM(list.get(), m);
    const std::string name = std::string(parameter) + "[" + std::to_string(m) + "]";
    if (!PyTuple_Check(grouping) || PyTuple_GET_SIZE(grouping) != 2) {
      raise(PyExc_TypeError, name + " must be a pair (cluster_of, clusters)");
    }
    clusters.push_back(convert_argument((name + "[1]").c_str(), [&] { return to_u64(PyTuple_GET_ITEM(grouping, 1)); }));
    cluster_of.push_back(
        cluster_numbers_argument(PyTuple_GET_ITEM(grouping, 0), (name + "[0]").c_str(), rows, clusters.back()));
  }
}

void regressors_argument(PyObject* obj, TileSourceArgument& out) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    out.X = TileSource(matrix_argument(obj, "X", 2));
    return;
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(obj);
  for (Py_ssize_t j = 0; j < count; ++j) out.held.push_back(PyRef::borrow(PySequence_Fast_GET_ITEM(obj, j)));
  std::vector<const double*> columns;
  size_t rows = 0;
  bool sized = false;
  for (size_t j = 0; j < out.held.size(); ++j) {
    if (out.held[j].get() == Py_None) {
      columns.push_back(nullptr);
      continue;
    }
    const std::string name = "X[" + std::to_string(j) + "]";
    const MatrixView column = matrix_argument(out.held[j].get(), name.c_str(), 1);
    if (column.row_stride != 1 && column.rows > 1) raise(PyExc_ValueError, name + " must be contiguous");
    if (sized) require_extent(name.c_str(), "rows", column.rows, rows);
    rows = column.rows;
    sized = true;
    columns.push_back(column.origin);
  }
  if (!sized) raise(PyExc_ValueError, "X must have a column that is not None, to tell the rows");
  out.X = TileSource(std::move(columns), rows);
}

std::vector<bool> flags_argument(PyObject* obj, const char* parameter) {
  PyRef sequence = convert_argument(parameter, [&] { return checked(PySequence_Fast(obj, "expected a sequence")); });
  const Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<bool> flags(static_cast<size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const int truth = PyObject_IsTrue(PySequence_Fast_GET_ITEM(sequence.get(), i));
    check_status(truth);
    flags[static_cast<size_t>(i)] = truth == 1;
  }
  return flags;
}

}  // namespace kestrum
