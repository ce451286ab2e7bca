// A DataFrame keeps each column in its own array; the kernels read rows. The
// rows [start, stop) of k columns are copied into a row-major block a tile of
// kGatherRows rows at a time: each column is read in order and the tile
// being written stays in cache, so X is read once and written once, without
// the interpreter lock. The same pass notes whether any value is NaN.
#include "frames_native/gather.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

const char* const kGatherColumnsDoc =
    "gather_columns(columns, start, stop)\n--\n\n"
    "Rows [start, stop) of the columns (1-D float64 arrays, None for a column of ones) as a C-contiguous\n"
    "float64 block, and whether any of those values is NaN.";

namespace {

constexpr size_t kGatherRows = 256;

struct Gathered {
  Buffer block;
  bool has_nan = false;
};

// columns[j] is nullptr for a column of ones.
Gathered gather(const std::vector<const MatrixView*>& columns, size_t start, size_t stop) {
  const size_t k = columns.size(), rows = stop - start;
  Gathered out{Buffer(rows * k), false};
  double* block = out.block.data();
  bool nan_seen = false;
  for (size_t first = 0; first < rows; first += kGatherRows) {
    const size_t count = std::min(kGatherRows, rows - first);
    for (size_t j = 0; j < k; ++j) {
      double* target = block + first * k + j;
      if (columns[j] == nullptr) {
        for (size_t r = 0; r < count; ++r) target[r * k] = 1.0;
        continue;
      }
      const MatrixView& column = *columns[j];
      for (size_t r = 0; r < count; ++r) {
        const double value = column(start + first + r, 0);
        nan_seen |= value != value;
        target[r * k] = value;
      }
    }
  }
  out.has_nan = nan_seen;
  return out;
}

PyRef gather_columns_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"columns", "start", "stop"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"gather_columns", parameters, 3}, args, nargs, kwnames, slots);
  PyRef sequence =
      convert_argument("columns", [&] { return checked(PySequence_Fast(slots[0], "expected a sequence")); });
  const uint64_t start = convert_argument("start", [&] { return to_u64(slots[1]); });
  const uint64_t stop = convert_argument("stop", [&] { return to_u64(slots[2]); });
  if (stop < start) raise(PyExc_ValueError, "stop must not be below start");

  // The sequence holds the arrays for the whole call, the lock released included.
  const size_t k = static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
  std::vector<MatrixView> views(k);
  std::vector<const MatrixView*> columns(k, nullptr);
  for (size_t j = 0; j < k; ++j) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(j));
    if (item == Py_None) continue;
    const std::string name = "columns[" + std::to_string(j) + "]";
    views[j] = matrix_argument(item, name.c_str(), 1);
    if (views[j].rows < stop) require_extent(name.c_str(), "rows", views[j].rows, stop);
    columns[j] = &views[j];
  }
  Gathered gathered = without_interpreter_lock([&] { return gather(columns, start, stop); });
  PyRef block = output_array(StridedArray::standard(std::move(gathered.block), 2, stop - start, k));
  return checked(PyTuple_Pack(2, block.get(), gathered.has_nan ? Py_True : Py_False));
}

}  // namespace

PyObject* gather_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return gather_columns_body(args, nargs, kwnames); });
}

}  // namespace kestrum
