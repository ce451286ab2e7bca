// A DataFrame keeps each column in its own array; the kernels read rows. The
// rows [start, stop) of k columns are copied into a row-major block a tile of
// kGatherRows rows at a time: each column is read in order and the tile
// being written stays in cache, so X is read once and written once, without
// the interpreter lock. The same pass notes whether any value is not finite
// (NaN, or an infinity: x - x is NaN for both). Given the positions of the
// rows to take instead, the block's rows are those rows of the columns, in
// that order (a second copy of X by position would cost another pass).
#include "frames_native/gather.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "estimation/parallel_tasks.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

const char* const kGatherColumnsDoc =
    "gather_columns(columns, start, stop, rows=None, threads=1)\n--\n\n"
    "Rows [start, stop) of the columns (contiguous 1-D float64 arrays, None for a column of ones) as a\n"
    "C-contiguous float64 block, and whether any of those values is not finite (NaN or infinite).\n"
    "rows: int64 positions; the block's rows are then the rows at rows[start:stop], in that order.\n"
    "threads: copy on up to this many threads (default 1), the block the same.";

namespace {

constexpr size_t kGatherRows = 256;
// Blocks of tiles that the threads share, when there are several.
constexpr size_t kGatherBlocks = 8;

struct Gathered {
  Buffer block;
  bool has_nonfinite = false;
};

// Whether a is NaN or infinite: a - a is 0 for a finite a, NaN otherwise.
inline bool nonfinite(double a) { return (a - a) != (a - a); }
// Whether any of the four is: a sum of such differences is NaN when one is.
inline bool any_nonfinite(double a, double b, double c, double d) {
  return nonfinite((a - a) + (b - b) + (c - c) + (d - d));
}

// columns[j] points to a contiguous column, or is nullptr for a column of
// ones. Four columns are interleaved at a time: one pass writes whole
// 32-byte pieces of the rows, reading four streams in order. Row r of the
// block is row start + r of the columns, or row positions[start + r] when
// positions is given. Rows [first, last) of the block are filled; returns
// whether a value among them is not finite.
bool gather_rows(const std::vector<const double*>& columns, size_t start, const Int64View* positions, size_t first_row,
                 size_t last_row, double* block) {
  const size_t k = columns.size();
  static const std::vector<double> ones(kGatherRows, 1.0);
  std::vector<const double*> tile(k);
  bool nonfinite_seen = false;
  std::vector<double> picked(positions != nullptr ? kGatherRows * k : 0);
  for (size_t first = first_row; first < last_row; first += kGatherRows) {
    const size_t count = std::min(kGatherRows, last_row - first);
    for (size_t j = 0; j < k; ++j) {
      if (columns[j] == nullptr) {
        tile[j] = ones.data();
      } else if (positions == nullptr) {
        tile[j] = columns[j] + start + first;
      } else {  // the tile's rows of column j, picked by position, then written as the rows in order are
        double* into = picked.data() + j * kGatherRows;
        for (size_t r = 0; r < count; ++r) into[r] = columns[j][(*positions)[start + first + r]];
        tile[j] = into;
      }
    }
    double* tile_block = block + first * k;
    size_t j = 0;
    for (; j + 4 <= k; j += 4) {
      const double *a = tile[j], *b = tile[j + 1], *c = tile[j + 2], *d = tile[j + 3];
      for (size_t r = 0; r < count; ++r) {
        double* row = tile_block + r * k + j;
        nonfinite_seen |= any_nonfinite(a[r], b[r], c[r], d[r]);
        row[0] = a[r];
        row[1] = b[r];
        row[2] = c[r];
        row[3] = d[r];
      }
    }
    for (; j < k; ++j) {
      for (size_t r = 0; r < count; ++r) {
        nonfinite_seen |= nonfinite(tile[j][r]);
        tile_block[r * k + j] = tile[j][r];
      }
    }
  }
  return nonfinite_seen;
}

// The rows in blocks of whole tiles on up to `threads` threads (a large
// block's fresh pages are faulted in on both cores); the block is the same
// whatever their number.
Gathered gather(const std::vector<const double*>& columns, size_t start, size_t stop, const Int64View* positions,
                size_t threads) {
  const size_t rows = stop - start;
  Gathered out{Buffer(rows * columns.size()), false};
  const size_t tiles = (rows + kGatherRows - 1) / kGatherRows;
  const size_t blocks = std::max<size_t>(1, std::min(tiles, threads == 1 ? 1 : kGatherBlocks));
  std::vector<unsigned char> nonfinite_in(blocks, 0);
  run_tasks(blocks, threads, [&](size_t b) {
    const size_t first = std::min(rows, b * tiles / blocks * kGatherRows);
    const size_t last = std::min(rows, (b + 1) * tiles / blocks * kGatherRows);
    nonfinite_in[b] = gather_rows(columns, start, positions, first, last, out.block.data()) ? 1 : 0;
  });
  out.has_nonfinite = std::any_of(nonfinite_in.begin(), nonfinite_in.end(), [](unsigned char seen) { return seen != 0; });
  return out;
}

PyRef gather_columns_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"columns", "start", "stop", "rows", "threads"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"gather_columns", parameters, 3}, args, nargs, kwnames, slots);
  PyRef sequence =
      convert_argument("columns", [&] { return checked(PySequence_Fast(slots[0], "expected a sequence")); });
  const uint64_t start = convert_argument("start", [&] { return to_u64(slots[1]); });
  const uint64_t stop = convert_argument("stop", [&] { return to_u64(slots[2]); });
  if (stop < start) raise(PyExc_ValueError, "stop must not be below start");
  std::optional<Int64View> positions;
  size_t rows_needed = stop;  // by each column
  if (!is_omitted(slots[3]) && slots[3] != Py_None) {
    positions = int64_argument(slots[3], "rows");
    if (positions->rows < stop) raise(PyExc_ValueError, "rows must hold at least " + std::to_string(stop) + " positions");
    rows_needed = 0;
    for (size_t r = start; r < stop; ++r) {
      const int64_t position = (*positions)[r];
      if (position < 0) raise(PyExc_ValueError, "rows[" + std::to_string(r) + "] is negative");
      rows_needed = std::max(rows_needed, static_cast<size_t>(position) + 1);
    }
  }

  // The sequence holds the arrays for the whole call, the lock released included.
  const size_t k = static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
  std::vector<const double*> columns(k, nullptr);
  for (size_t j = 0; j < k; ++j) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(j));
    if (item == Py_None) continue;
    const std::string name = "columns[" + std::to_string(j) + "]";
    const MatrixView column = matrix_argument(item, name.c_str(), 1);
    if (column.row_stride != 1 && column.rows > 1) raise(PyExc_ValueError, name + " must be contiguous");
    if (column.rows < rows_needed) {
      raise(PyExc_ValueError, positions ? "rows holds position " + std::to_string(rows_needed - 1) + ", beyond the " +
                                              std::to_string(column.rows) + " rows of " + name
                                        : name + " must be contiguous with at least " + std::to_string(stop) + " rows");
    }
    columns[j] = column.origin;
  }
  const uint64_t threads =
      is_omitted(slots[4]) ? 1 : convert_argument("threads", [&] { return to_u64(slots[4]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  Gathered gathered = without_interpreter_lock(
      [&] { return gather(columns, start, stop, positions ? &*positions : nullptr, threads); });
  PyRef block = output_array(StridedArray::standard(std::move(gathered.block), 2, stop - start, k));
  return checked(PyTuple_Pack(2, block.get(), gathered.has_nonfinite ? Py_True : Py_False));
}

}  // namespace

const FastCallEntry gather_columns = guarded_fast_call<gather_columns_body>;

}  // namespace kestrum
