#include "frames_native/within_levels.hpp"

#include "estimation/demeaning.hpp"
#include "estimation/newton_trial.hpp"
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
    "demean_levels(leading, values, weights, run_lengths, levels, coefficients, tol, max_sweeps, threads,\n"
    "              returned, gram)\n--\n\n"
    "The residuals of the columns (leading, n float64 or None, then those of values, n x k float64) from\n"
    "their weighted projection on the dummies of fixed effects, by sweeps of alternating projections from the\n"
    "given coefficients (None: 0) until the largest change of a coefficient relative to its column's largest\n"
    "|value| is below tol, on up to threads threads (the same bits on any number). run_lengths: the\n"
    "runs of rows of each level of the first fixed effect (the rows sorted by it); levels: per other fixed\n"
    "effect a pair (the level of each row, int64 or float64 whole numbers, the count of levels); coefficients: per\n"
    "fixed effect, its levels x columns coefficients. Returns (residuals, coefficients, the residuals'\n"
    "weighted Gram matrix, sweeps, the last sweep's change); the residuals of the first `returned` columns\n"
    "only (the Gram matrix is of all; None unless gram is True). max_sweeps 0: the residuals of the given\n"
    "coefficients.";

const char* const kNewtonTrialDoc =
    "newton_trial(working, projected, eta, weights, y, X, target, run_lengths, levels, level_products, threads,\n"
    "             out)\n--\n\n"
    "One pass of a Newton step of the probit with fixed effects (rows sorted by the first one, as for\n"
    "demean_levels): step = (working - projected) + X target - sum_f level_products[f][level_f] - eta into\n"
    "out[0] and, when out[1:] are arrays rather than None, eta + step into out[1] and lambda and w there into\n"
    "out[2] and out[3]. working, projected, eta, weights, y: n float64; X: n x k C-contiguous float64;\n"
    "level_products: per fixed effect, one float64 per level. Returns (sum weights step^2, l at eta + step,\n"
    "0.0 without the trial), the same bits on any number of threads.";

const char* const kSweepLevelsDoc =
    "sweep_levels(sums, cross, scale, coefficients, tol, max_sweeps, threads)\n--\n\n"
    "The sweeps of demean_levels from sums already formed, without the rows: sums, per fixed effect a\n"
    "G_f x (p + 1) float64 array (the level sums of w m, then the level weights W_f); cross[f][h], for f != h\n"
    "(None on the diagonal), the weights of the pairs of levels as the arrays of a G_f x G_h CSR matrix\n"
    "(indptr int64, indices int64, data float64); scale, each column's largest |value|; coefficients, the\n"
    "start (None: 0). Returns (coefficients, sweeps, the last sweep's change).";

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

std::vector<Matrix> coefficients_argument(PyObject* obj, const FixedEffectLevels& levels, size_t columns) {
  std::vector<Matrix> out;
  if (obj == Py_None) return out;
  PyRef sequence =
      convert_argument("coefficients", [&] { return checked(PySequence_Fast(obj, "expected a sequence")); });
  if (PySequence_Fast_GET_SIZE(sequence.get()) != static_cast<Py_ssize_t>(levels.levels.size() + 1)) {
    raise(PyExc_ValueError, "coefficients must hold one array per fixed effect");
  }
  for (size_t f = 0; f <= levels.levels.size(); ++f) {
    const std::string name = "coefficients[" + std::to_string(f) + "]";
    const MatrixView view =
        matrix_argument(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(f)), name.c_str(), 2);
    require_extent(name.c_str(), "rows", view.rows, f == 0 ? levels.run_lengths.size() : levels.level_counts[f - 1]);
    require_extent(name.c_str(), "columns", view.cols, columns);
    Matrix copy(view.rows, view.cols);
    for (size_t g = 0; g < view.rows; ++g) {
      for (size_t j = 0; j < view.cols; ++j) copy(g, j) = view(g, j);
    }
    out.push_back(std::move(copy));
  }
  return out;
}

// run_lengths and, per other fixed effect, its (codes, count) pair.
FixedEffectLevels levels_argument(PyObject* run_lengths, PyObject* others, size_t rows) {
  FixedEffectLevels levels;
  levels.run_lengths = run_lengths_argument(run_lengths, rows);
  PyRef sequence = convert_argument("levels", [&] { return checked(PySequence_Fast(others, "expected a sequence")); });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  for (Py_ssize_t f = 0; f < count; ++f) {
    PyObject* pair = PySequence_Fast_GET_ITEM(sequence.get(), f);
    const std::string name = "levels[" + std::to_string(f) + "]";
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, name + " must be a pair (codes, count)");
    const uint64_t levels_count =
        convert_argument((name + "[1]").c_str(), [&] { return to_u64(PyTuple_GET_ITEM(pair, 1)); });
    levels.levels.push_back(
        cluster_numbers_argument(PyTuple_GET_ITEM(pair, 0), (name + "[0]").c_str(), rows, levels_count));
    levels.level_counts.push_back(levels_count);
  }
  return levels;
}

PyRef demeaned_tuple(Demeaned&& out) {
  PyRef residuals = output_array(StridedArray::from(std::move(out.residuals)));
  PyRef coefficients = checked(PyList_New(static_cast<Py_ssize_t>(out.coefficients.size())));
  for (size_t f = 0; f < out.coefficients.size(); ++f) {
    PyList_SET_ITEM(coefficients.get(), static_cast<Py_ssize_t>(f),
                    output_array(StridedArray::from(std::move(out.coefficients[f]))).release());
  }
  const bool with_gram = out.gram.rows() > 0;
  PyRef gram = with_gram ? output_array(StridedArray::from(std::move(out.gram))) : PyRef::borrow(Py_None);
  PyRef sweeps = checked(PyLong_FromSize_t(out.sweeps));
  PyRef change = checked(PyFloat_FromDouble(out.change));
  return checked(PyTuple_Pack(5, residuals.get(), coefficients.get(), gram.get(), sweeps.get(), change.get()));
}

PyRef demean_levels_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"leading", "values", "weights", "run_lengths", "levels",
                                               "coefficients", "tol", "max_sweeps", "threads", "returned",
                                               "gram"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"demean_levels", parameters, 11}, args, nargs, kwnames, slots);
  const MatrixView values = matrix_argument(slots[1], "values", 2);
  std::optional<Vector> leading_copy;
  std::optional<Vector> weights_copy;
  const double* leading_data =
      slots[0] != Py_None ? column_argument(slots[0], "leading", values.rows, leading_copy) : nullptr;
  const double* weights_data = column_argument(slots[2], "weights", values.rows, weights_copy);
  const FixedEffectLevels levels = levels_argument(slots[3], slots[4], values.rows);
  std::vector<Matrix> start = coefficients_argument(slots[5], levels, values.cols + (leading_data != nullptr ? 1 : 0));
  const std::optional<double> tol = optional_double_argument(slots[6], "tol");
  if (!tol) raise(PyExc_TypeError, "tol is required");
  const uint64_t max_sweeps = convert_argument("max_sweeps", [&] { return to_u64(slots[7]); });
  const uint64_t threads = convert_argument("threads", [&] { return to_u64(slots[8]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  const uint64_t returned = convert_argument("returned", [&] { return to_u64(slots[9]); });
  const std::optional<bool> with_gram = optional_bool_argument(slots[10], "gram");
  if (!with_gram) raise(PyExc_TypeError, "gram is required");
  return demeaned_tuple(without_interpreter_lock([&] {
    return demean_within_levels(leading_data, values, weights_data, levels, std::move(start), *tol, max_sweeps,
                                threads, returned, *with_gram);
  }));
}

// out[index] as an n-vector to write into, apart from the inputs, X (n x k, C order) and the outputs before it.
double* trial_output(PyObject* out, Py_ssize_t index, size_t rows, const MatrixView& X,
                     std::initializer_list<const double*> apart) {
  const std::string name = "out[" + std::to_string(index) + "]";
  double* column = output_column_argument(PyTuple_GET_ITEM(out, index), name.c_str(), rows, apart);
  if (column < X.origin + rows * X.cols && X.origin < column + rows) {
    raise(PyExc_ValueError, name + " overlaps X: give it a buffer of its own");
  }
  return column;
}

PyRef newton_trial_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"working", "projected", "eta", "weights", "y", "X", "target",
                                               "run_lengths", "levels", "level_products", "threads", "out"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"newton_trial", parameters, 12}, args, nargs, kwnames, slots);
  NewtonTrialInput in;
  in.X = matrix_argument(slots[5], "X", 2);
  const size_t n = in.X.rows, k = in.X.cols;
  if (in.X.col_stride != 1 || (in.X.row_stride != static_cast<ptrdiff_t>(k) && n > 1)) {
    raise(PyExc_ValueError, "X must be C-contiguous");
  }
  std::optional<Vector> copies[5];
  const double** columns[] = {&in.working, &in.projected, &in.eta, &in.weights, &in.y};
  for (size_t c = 0; c < 5; ++c) *columns[c] = column_argument(slots[c], parameters[c], n, copies[c]);
  const Vector target = vector_argument(slots[6], "target", k);
  in.target = target.data();
  const FixedEffectLevels levels = levels_argument(slots[7], slots[8], n);
  PyRef products = convert_argument(
      "level_products", [&] { return checked(PySequence_Fast(slots[9], "expected a sequence")); });
  if (PySequence_Fast_GET_SIZE(products.get()) != static_cast<Py_ssize_t>(levels.levels.size() + 1)) {
    raise(PyExc_ValueError, "level_products must hold one array per fixed effect");
  }
  std::vector<Vector> product_values;
  for (size_t f = 0; f <= levels.levels.size(); ++f) {
    const std::string name = "level_products[" + std::to_string(f) + "]";
    product_values.push_back(vector_argument(PySequence_Fast_GET_ITEM(products.get(), static_cast<Py_ssize_t>(f)),
                                             name.c_str(),
                                             f == 0 ? levels.run_lengths.size() : levels.level_counts[f - 1]));
    in.level_products.push_back(product_values.back().data());
  }
  const uint64_t threads = convert_argument("threads", [&] { return to_u64(slots[10]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  if (!PyTuple_Check(slots[11]) || PyTuple_GET_SIZE(slots[11]) != 4) {
    raise(PyExc_TypeError, "out must be a tuple (step, trial_eta, trial_lambda, trial_w), the last three arrays or None");
  }
  NewtonTrialOutput out;
  const std::initializer_list<const double*> inputs = {in.working, in.projected, in.eta, in.weights, in.y};
  out.step = trial_output(slots[11], 0, n, in.X, inputs);
  const bool trial = PyTuple_GET_ITEM(slots[11], 1) != Py_None;
  for (Py_ssize_t index = 2; index < 4; ++index) {
    if ((PyTuple_GET_ITEM(slots[11], index) != Py_None) != trial) {
      raise(PyExc_TypeError, "out[1:] must be three arrays, or three times None");
    }
  }
  if (trial) {
    out.trial_eta = trial_output(slots[11], 1, n, in.X,
                                 {in.working, in.projected, in.eta, in.weights, in.y, out.step});
    out.trial_lambda = trial_output(slots[11], 2, n, in.X,
                                    {in.working, in.projected, in.eta, in.weights, in.y, out.step, out.trial_eta});
    out.trial_weights = trial_output(slots[11], 3, n, in.X, {in.working, in.projected, in.eta, in.weights, in.y,
                                                              out.step, out.trial_eta, out.trial_lambda});
  }
  const NewtonTrialSums sums = without_interpreter_lock([&] { return newton_trial(in, levels, out, threads); });
  PyRef decrement = checked(PyFloat_FromDouble(sums.decrement));
  PyRef loglike = checked(PyFloat_FromDouble(sums.loglike));
  return checked(PyTuple_Pack(2, decrement.get(), loglike.get()));
}

// cross[f][h] of a sweep: the CSR arrays of C_fh (G_f x G_h) as a Crosstab, its row starts and partners checked.
Crosstab crosstab_argument(PyObject* obj, const std::string& name, size_t rows, size_t partners) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
    raise(PyExc_TypeError, name + " must be a triple (indptr, indices, data) of a CSR matrix");
  }
  const Int64View starts = int64_argument(PyTuple_GET_ITEM(obj, 0), (name + "[0]").c_str());
  const Int64View partner = int64_argument(PyTuple_GET_ITEM(obj, 1), (name + "[1]").c_str());
  if (starts.rows != rows + 1) raise(PyExc_ValueError, name + "'s indptr must hold " + std::to_string(rows + 1) + " offsets");
  Crosstab out;
  const Vector weights = vector_argument(PyTuple_GET_ITEM(obj, 2), (name + "[2]").c_str(), partner.rows);
  out.weight.assign(weights.data(), weights.data() + partner.rows);
  out.starts.assign(rows + 1, 0);
  for (size_t g = 0; g <= rows; ++g) {
    const int64_t start = starts[g];
    const bool rises = g == 0 ? start == 0 : start >= static_cast<int64_t>(out.starts[g - 1]);
    if (!rises || start > static_cast<int64_t>(partner.rows) ||
        (g == rows && start != static_cast<int64_t>(partner.rows))) {
      raise(PyExc_ValueError, name + "'s indptr must rise from 0 to the number of its entries");
    }
    out.starts[g] = static_cast<size_t>(start);
  }
  out.partner.resize(partner.rows);
  for (size_t e = 0; e < partner.rows; ++e) {
    const int64_t level = partner[e];
    if (level < 0 || level >= static_cast<int64_t>(partners)) {
      raise(PyExc_ValueError, name + "'s indices must be levels below " + std::to_string(partners));
    }
    out.partner[e] = static_cast<uint32_t>(level);
  }
  return out;
}

PyRef sweep_levels_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"sums", "cross", "scale", "coefficients", "tol", "max_sweeps",
                                               "threads"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"sweep_levels", parameters, 7}, args, nargs, kwnames, slots);
  PyRef sums_list = convert_argument("sums", [&] { return checked(PySequence_Fast(slots[0], "expected a sequence")); });
  const size_t effects = static_cast<size_t>(PySequence_Fast_GET_SIZE(sums_list.get()));
  if (effects == 0) raise(PyExc_ValueError, "sums must hold one array per fixed effect");
  std::vector<Matrix> sums;
  for (size_t f = 0; f < effects; ++f) {
    const std::string name = "sums[" + std::to_string(f) + "]";
    const MatrixView view =
        matrix_argument(PySequence_Fast_GET_ITEM(sums_list.get(), static_cast<Py_ssize_t>(f)), name.c_str(), 2);
    if (view.cols < 2) raise(PyExc_ValueError, name + " must have p + 1 columns, p >= 1");
    if (f > 0) require_extent(name.c_str(), "columns", view.cols, sums[0].cols());
    Matrix copy(view.rows, view.cols);
    for (size_t g = 0; g < view.rows; ++g) {
      for (size_t j = 0; j < view.cols; ++j) copy(g, j) = view(g, j);
    }
    sums.push_back(std::move(copy));
  }
  const size_t p = sums[0].cols() - 1;
  PyRef cross_list = convert_argument("cross", [&] { return checked(PySequence_Fast(slots[1], "expected a sequence")); });
  if (PySequence_Fast_GET_SIZE(cross_list.get()) != static_cast<Py_ssize_t>(effects)) {
    raise(PyExc_ValueError, "cross must hold one list per fixed effect");
  }
  std::vector<std::vector<Crosstab>> cross(effects, std::vector<Crosstab>(effects));
  for (size_t f = 0; f < effects; ++f) {
    PyObject* row = PySequence_Fast_GET_ITEM(cross_list.get(), static_cast<Py_ssize_t>(f));
    if (!PyList_Check(row) || PyList_GET_SIZE(row) != static_cast<Py_ssize_t>(effects)) {
      raise(PyExc_TypeError, "cross[" + std::to_string(f) + "] must be a list of one entry per fixed effect");
    }
    for (size_t h = 0; h < effects; ++h) {
      if (h == f) continue;
      cross[f][h] = crosstab_argument(PyList_GET_ITEM(row, static_cast<Py_ssize_t>(h)),
                                      "cross[" + std::to_string(f) + "][" + std::to_string(h) + "]", sums[f].rows(),
                                      sums[h].rows());
    }
  }
  const Vector scale_values = vector_argument(slots[2], "scale", p);
  const std::vector<double> scale(scale_values.data(), scale_values.data() + p);
  std::vector<Matrix> coefficients;
  if (slots[3] == Py_None) {
    for (size_t f = 0; f < effects; ++f) coefficients.emplace_back(sums[f].rows(), p);
  } else {
    PyRef start = convert_argument(
        "coefficients", [&] { return checked(PySequence_Fast(slots[3], "expected a sequence")); });
    if (PySequence_Fast_GET_SIZE(start.get()) != static_cast<Py_ssize_t>(effects)) {
      raise(PyExc_ValueError, "coefficients must hold one array per fixed effect");
    }
    for (size_t f = 0; f < effects; ++f) {
      const std::string name = "coefficients[" + std::to_string(f) + "]";
      const MatrixView view =
          matrix_argument(PySequence_Fast_GET_ITEM(start.get(), static_cast<Py_ssize_t>(f)), name.c_str(), 2);
      require_extent(name.c_str(), "rows", view.rows, sums[f].rows());
      require_extent(name.c_str(), "columns", view.cols, p);
      Matrix copy(view.rows, view.cols);
      for (size_t g = 0; g < view.rows; ++g) {
        for (size_t j = 0; j < view.cols; ++j) copy(g, j) = view(g, j);
      }
      coefficients.push_back(std::move(copy));
    }
  }
  const std::optional<double> tol = optional_double_argument(slots[4], "tol");
  if (!tol) raise(PyExc_TypeError, "tol is required");
  const uint64_t max_sweeps = convert_argument("max_sweeps", [&] { return to_u64(slots[5]); });
  const uint64_t threads = convert_argument("threads", [&] { return to_u64(slots[6]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  const std::pair<size_t, double> outcome = without_interpreter_lock(
      [&] { return sweep_levels(sums, scale, cross, coefficients, *tol, max_sweeps, threads); });
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(effects)));
  for (size_t f = 0; f < effects; ++f) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(f),
                    output_array(StridedArray::from(std::move(coefficients[f]))).release());
  }
  PyRef sweeps = checked(PyLong_FromSize_t(outcome.first));
  PyRef change = checked(PyFloat_FromDouble(outcome.second));
  return checked(PyTuple_Pack(3, list.get(), sweeps.get(), change.get()));
}

}  // namespace

const FastCallEntry demean_levels = guarded_fast_call<demean_levels_body>;
const FastCallEntry newton_trial_entry = guarded_fast_call<newton_trial_body>;
const FastCallEntry sweep_levels_entry = guarded_fast_call<sweep_levels_body>;

}  // namespace kestrum
