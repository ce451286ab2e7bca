#include "frames_native/partition_sums.hpp"

#include <optional>
#include <string>
#include <vector>

#include "estimation/covariance.hpp"
#include "estimation/evaluation.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "frames_native/sums_exchange.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "margins/ame_kernel.hpp"
#include "numeric/platform.hpp"
#include "numeric/strided_array.hpp"
#include "panic.hpp"

namespace kestrum {

const char* const kProbitSumsDoc =
    "probit_sums(y, X, beta, quantities, weights=None)\n--\n\n"
    "X: an n x k float64 array, or a list of its k columns (contiguous float64, None for ones).\n"
    "The sums of one pass over a partition at beta: a dict with the log-likelihood and, as the bits of\n"
    "quantities ask, the gradient, the Hessian with its near-certain part and count, the HC0 meat and the\n"
    "expected Hessian. weights: contiguous float64 (n,), each row's terms counted that many times.";
const char* const kClusterScoreSumsDoc =
    "cluster_score_sums(y, X, beta, cluster_of, clusters, weights=None, single_row_meat=False)\n--\n\n"
    "Row c: the sum of the (weighted) scores of the partition's rows in cluster c (cluster_of, whole numbers\n"
    "as float64). With lists of cluster_of arrays and of counts, one such array per grouping, from one pass.\n"
    "single_row_meat: also sum_i (c_i s_i)(c_i s_i)' (k x k) from the same pass, returned first: (meat, sums).";
const char* const kCellScoreMeatsDoc =
    "cell_score_meats(partitions, beta, cells, coarser, cells_per_piece, threads)\n--\n\n"
    "cell_meats of the score sums of `cells` cells, numbered by first appearance over the partitions in order:\n"
    "per partition a tuple (y, X, weights or None, cell_of), cell_of the cell of each row (int64). Each\n"
    "partition's rows summed by its own cells (numbered by first appearance there, as cluster_score_sums would\n"
    "sum them) and added in partition order (as parts_cluster_sums): the same bits, on any number of threads.";
const char* const kEffectSumsDoc =
    "effect_sums(X, beta, excluded, block_rows)\n--\n\n"
    "The additive sums of the average marginal effects over a partition, with the 0/1 status of each column.";

namespace {

constexpr unsigned kAllQuantities = kLogLikelihood | kGradient | kHessian | kRobustMeat | kExpectedHessian;

// y (n,) and X (n, k) of one partition; `regressors` must outlive the problem.
Probit probit_arguments(PyObject* y, PyObject* X, TileSourceArgument& regressors) {
  regressors_argument(X, regressors);
  Probit problem{matrix_argument(y, "y", 1), regressors.X};
  require_extent("y", "rows", problem.y.rows, regressors.X.rows());
  return problem;
}

// The error for the first weight that is negative, NaN or infinite.
[[noreturn]] void raise_invalid_weight(const double* weights, size_t rows) {
  for (size_t i = 0; i < rows; ++i) {
    if (!valid_weights(weights + i, 1)) {
      raise(PyExc_ValueError, "weights[" + std::to_string(i) + "] is " + std::to_string(weights[i]) +
                                  ", not a finite non-negative number");
    }
  }
  panic("raise_invalid_weight: every weight is valid");
}

// The optional row weights: a contiguous float64 array of `rows` numbers,
// read in place (the caller's array outlives the call). With checked, each
// must be finite and non-negative: one test without a branch per row
// clears them, and only a failing array is looked through for its first
// bad weight. A pass checks them itself as it reads them (unchecked here),
// rather than reading every weight once more with the interpreter lock held.
const double* weights_argument(PyObject* obj, size_t rows, bool checked = true) {
  if (is_omitted(obj)) return nullptr;
  const MatrixView weights = matrix_argument(obj, "weights", 1);
  require_extent("weights", "rows", weights.rows, rows);
  if (weights.row_stride != 1 && weights.rows > 1) raise(PyExc_ValueError, "weights must be contiguous");
  if (checked && !valid_weights(weights.origin, weights.rows)) raise_invalid_weight(weights.origin, weights.rows);
  return weights.origin;
}

PyRef probit_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"y", "X", "beta", "quantities", "weights"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"probit_sums", parameters, 4}, args, nargs, kwnames, slots);
  TileSourceArgument regressors;
  Probit problem = probit_arguments(slots[0], slots[1], regressors);
  problem.weights = weights_argument(slots[4], problem.nobs(), false);  // checked by the pass
  const Vector beta = vector_argument(slots[2], "beta", problem.k());
  const uint64_t quantities = convert_argument("quantities", [&] { return to_u64(slots[3]); });
  if ((quantities & ~uint64_t{kAllQuantities}) != 0) {
    raise(PyExc_ValueError, "quantities has unknown bits: " + std::to_string(quantities));
  }
  Evaluation sums = without_interpreter_lock(
      [&] { return evaluate_probit(problem, beta, static_cast<unsigned>(quantities)); });
  if (!sums.weights_valid) raise_invalid_weight(problem.weights, problem.nobs());
  return evaluation_to_dict(std::move(sums));
}

PyRef cluster_score_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"y", "X", "beta", "cluster_of", "clusters", "weights", "single_row_meat"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cluster_score_sums", parameters, 5}, args, nargs, kwnames, slots);
  const bool with_meat = optional_bool_argument(slots[6], "single_row_meat").value_or(false);
  TileSourceArgument regressors;
  Probit problem = probit_arguments(slots[0], slots[1], regressors);
  const Vector beta = vector_argument(slots[2], "beta", problem.k());
  problem.weights = weights_argument(slots[5], problem.nobs());
  const bool several = PyList_Check(slots[4]) || PyTuple_Check(slots[4]);
  std::vector<std::vector<uint32_t>> groupings;
  std::vector<size_t> clusters;
  if (several) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(slots[4]);
    if (!(PyList_Check(slots[3]) || PyTuple_Check(slots[3])) || PySequence_Fast_GET_SIZE(slots[3]) != count) {
      raise(PyExc_ValueError, "cluster_of must be a list of as many arrays as clusters has counts");
    }
    for (Py_ssize_t m = 0; m < count; ++m) {
      const std::string name = "clusters[" + std::to_string(m) + "]";
      clusters.push_back(convert_argument(name.c_str(), [&] { return to_u64(PySequence_Fast_GET_ITEM(slots[4], m)); }));
      const std::string numbers = "cluster_of[" + std::to_string(m) + "]";
      groupings.push_back(cluster_numbers_argument(PySequence_Fast_GET_ITEM(slots[3], m), numbers.c_str(),
                                                   problem.nobs(), clusters.back()));
    }
  } else {
    clusters.push_back(convert_argument("clusters", [&] { return to_u64(slots[4]); }));
    groupings.push_back(cluster_numbers_argument(slots[3], "cluster_of", problem.nobs(), clusters.back()));
  }
  std::vector<const uint32_t*> rows_clusters;
  rows_clusters.reserve(groupings.size());
  for (const auto& grouping : groupings) rows_clusters.push_back(grouping.data());
  Matrix meat;
  std::vector<Matrix> sums = without_interpreter_lock(
      [&] { return grouped_score_sums(problem, beta, rows_clusters, clusters, with_meat ? &meat : nullptr); });
  PyRef result;
  if (!several) {
    result = output_array(StridedArray::from(std::move(sums[0])));
  } else {
    result = matrix_list(std::move(sums));
  }
  if (!with_meat) return result;
  PyRef meat_array = output_array(StridedArray::from(std::move(meat)));
  return checked(PyTuple_Pack(2, meat_array.get(), result.get()));
}

// The arguments of one partition of cell_score_meats, read in place
// except the cell numbers.
struct CellPartitionArguments {
  TileSourceArgument regressors;
  Probit problem;
  std::vector<uint32_t> cell_of;
};

PyRef cell_score_meats_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"partitions", "beta", "cells", "coarser", "cells_per_piece", "threads"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cell_score_meats", parameters, 6}, args, nargs, kwnames, slots);
  const uint64_t cells = convert_argument("cells", [&] { return to_u64(slots[2]); });
  std::vector<std::vector<uint32_t>> coarser;
  std::vector<size_t> clusters;
  groupings_argument(slots[3], "coarser", cells, coarser, clusters);
  const uint64_t cells_per_piece = convert_argument("cells_per_piece", [&] { return to_u64(slots[4]); });
  if (cells_per_piece == 0) raise(PyExc_ValueError, "cells_per_piece must be at least 1");
  const uint64_t threads = convert_argument("threads", [&] { return to_u64(slots[5]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  PyRef list = convert_argument(
      "partitions", [&] { return checked(PySequence_Fast(slots[0], "expected a sequence")); });
  const auto count = static_cast<size_t>(PySequence_Fast_GET_SIZE(list.get()));
  if (count == 0) raise(PyExc_ValueError, "partitions must not be empty");
  std::vector<CellPartitionArguments> held(count);  // sized once: the problems' addresses stay valid
  std::vector<CellPartition> partitions;
  partitions.reserve(count);
  std::optional<Vector> beta;
  for (size_t p = 0; p < count; ++p) {
    PyObject* part = PySequence_Fast_GET_ITEM(list.get(), static_cast<Py_ssize_t>(p));
    const std::string name = "partitions[" + std::to_string(p) + "]";
    if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 4) {
      raise(PyExc_TypeError, name + " must be a tuple (y, X, weights, cell_of)");
    }
    CellPartitionArguments& arguments = held[p];
    arguments.problem = probit_arguments(PyTuple_GET_ITEM(part, 0), PyTuple_GET_ITEM(part, 1), arguments.regressors);
    if (!beta) beta = vector_argument(slots[1], "beta", arguments.problem.k());
    require_extent((name + "[1]").c_str(), "columns", arguments.problem.k(), beta->size());
    arguments.problem.weights = weights_argument(PyTuple_GET_ITEM(part, 2), arguments.problem.nobs());
    arguments.cell_of = cluster_numbers_argument(PyTuple_GET_ITEM(part, 3), (name + "[3]").c_str(),
                                                 arguments.problem.nobs(), cells);
    partitions.push_back(CellPartition{&arguments.problem, arguments.cell_of.data()});
  }
  std::vector<const uint32_t*> cell_clusters;
  cell_clusters.reserve(coarser.size());
  for (const std::vector<uint32_t>& cluster_of : coarser) cell_clusters.push_back(cluster_of.data());
  std::vector<Matrix> meats = without_interpreter_lock(
      [&] { return cell_score_meats(partitions, *beta, cells, cell_clusters, clusters, cells_per_piece, threads); });
  return matrix_list(std::move(meats));
}

PyRef effect_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"X", "beta", "excluded", "block_rows"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"effect_sums", parameters, 4}, args, nargs, kwnames, slots);
  TileSourceArgument regressors;
  regressors_argument(slots[0], regressors);
  const size_t k = regressors.X.cols();
  const Vector beta = vector_argument(slots[1], "beta", k);
  const std::vector<bool> excluded = flags_argument(slots[2], "excluded");
  require_extent("excluded", "entries", excluded.size(), k);
  const uint64_t block_rows = convert_argument("block_rows", [&] { return to_u64(slots[3]); });
  if (block_rows == 0) raise(PyExc_ValueError, "block_rows must be at least 1");

  // Every named column may be an indicator; the sums tell which were 0/1 throughout.
  std::vector<RegressorKind> kinds(k, RegressorKind::indicator_if_binary);
  for (size_t j = 0; j < k; ++j) {
    if (excluded[j]) kinds[j] = RegressorKind::excluded;
  }
  MarginalEffectSums sums =
      without_interpreter_lock([&] { return accumulate_marginal_effects(regressors.X, beta, kinds, block_rows); });
  return effect_sums_to_dict(std::move(sums));
}

}  // namespace

const FastCallEntry probit_sums = guarded_fast_call<probit_sums_body>;
const FastCallEntry cluster_score_sums_entry = guarded_fast_call<cluster_score_sums_body>;
const FastCallEntry cell_score_meats_entry = guarded_fast_call<cell_score_meats_body>;
const FastCallEntry effect_sums = guarded_fast_call<effect_sums_body>;

}  // namespace kestrum
