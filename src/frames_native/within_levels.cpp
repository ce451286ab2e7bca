#include "frames_native/within_levels.hpp"

#include "estimation/demeaning.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "numeric/strided_array.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace kestrum {

const char* const kDemeanLevelsDoc =
    "demean_levels(start, weights, scale, run_lengths, levels, tol, max_sweeps)\n--\n\n"
    "The residuals of the columns of start (n x p float64) from their weighted projection on the dummies of\n"
    "fixed effects, by sweeps of alternating projections until the largest change relative to scale (p) is\n"
    "below tol. run_lengths: the runs of rows of each level of the first fixed effect (the rows sorted by it);\n"
    "levels: per other fixed effect a pair (the level of each row as float64 whole numbers, the count of\n"
    "levels). Returns (residuals, sweeps, the last sweep's change).";

namespace {

std::vector<size_t> run_lengths_argument(PyObject* obj, size_t rows) {
  const MatrixView lengths = matrix_argument(obj, "run_lengths", 1);
  std::vector<size_t> out(lengths.rows);
  size_t total = 0;
  for (size_t r = 0; r < lengths.rows; ++r) {
    const double length = lengths(r, 0);
    if (!(length >= 1.0 && length <= static_cast<double>(rows) && length == std::floor(length))) {
      raise(PyExc_ValueError, "run_lengths[" + std::to_string(r) + "] is not a whole number of rows");
    }
    out[r] = static_cast<size_t>(length);
    total += out[r];
  }
  if (total != rows) raise(PyExc_ValueError, "run_lengths must add up to the rows of start");
  return out;
}

PyRef demean_levels_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"start", "weights", "scale", "run_lengths", "levels", "tol",
                                               "max_sweeps"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"demean_levels", parameters, 7}, args, nargs, kwnames, slots);
  const MatrixView start = matrix_argument(slots[0], "start", 2);
  const Vector weights = vector_argument(slots[1], "weights", start.rows);
  const Vector scale_values = vector_argument(slots[2], "scale", start.cols);
  std::vector<double> scale(scale_values.data(), scale_values.data() + start.cols);
  FixedEffectLevels levels;
  levels.run_lengths = run_lengths_argument(slots[3], start.rows);
  PyRef sequence = convert_argument("levels", [&] { return checked(PySequence_Fast(slots[4], "expected a sequence")); });
  for (Py_ssize_t f = 0; f < PySequence_Fast_GET_SIZE(sequence.get()); ++f) {
    PyObject* pair = PySequence_Fast_GET_ITEM(sequence.get(), f);
    const std::string name = "levels[" + std::to_string(f) + "]";
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, name + " must be a pair (codes, count)");
    const uint64_t count = convert_argument((name + "[1]").c_str(), [&] { return to_u64(PyTuple_GET_ITEM(pair, 1)); });
    levels.levels.push_back(
        cluster_numbers_argument(PyTuple_GET_ITEM(pair, 0), (name + "[0]").c_str(), start.rows, count));
    levels.level_counts.push_back(count);
  }
  const std::optional<double> tol = optional_double_argument(slots[5], "tol");
  if (!tol) raise(PyExc_TypeError, "tol is required");
  const uint64_t max_sweeps = convert_argument("max_sweeps", [&] { return to_u64(slots[6]); });
  Demeaned out = without_interpreter_lock(
      [&] { return demean_within_levels(start, weights.data(), scale, levels, *tol, max_sweeps); });
  PyRef residuals = output_array(StridedArray::from(std::move(out.residuals)));
  PyRef sweeps = checked(PyLong_FromSize_t(out.sweeps));
  PyRef change = checked(PyFloat_FromDouble(out.change));
  return checked(PyTuple_Pack(3, residuals.get(), sweeps.get(), change.get()));
}

}  // namespace

PyObject* demean_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return demean_levels_body(args, nargs, kwnames); });
}

}  // namespace kestrum
