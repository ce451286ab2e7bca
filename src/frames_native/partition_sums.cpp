#include "frames_native/partition_sums.hpp"

#include <string>

#include "estimation/covariance.hpp"
#include "estimation/evaluation.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "frames_native/sums_exchange.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "margins/ame_kernel.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

const char* const kProbitSumsDoc =
    "probit_sums(y, X, beta, quantities)\n--\n\n"
    "The sums of one pass over a partition at beta: a dict with the log-likelihood and, as the bits of\n"
    "quantities ask, the gradient, the Hessian with its near-certain part and count, and the HC0 meat.";
const char* const kClusterScoreSumsDoc =
    "cluster_score_sums(y, X, beta, cluster_of, clusters)\n--\n\n"
    "Row c: the sum of the scores of the partition's rows in cluster c (cluster_of, whole numbers as float64).";
const char* const kEffectSumsDoc =
    "effect_sums(X, beta, excluded, block_rows)\n--\n\n"
    "The additive sums of the average marginal effects over a partition, with the 0/1 status of each column.";

namespace {

constexpr unsigned kAllQuantities = kLogLikelihood | kGradient | kHessian | kRobustMeat;

// y (n,) and X (n, k) of one partition.
Probit probit_arguments(PyObject* y, PyObject* X) {
  Probit problem{matrix_argument(y, "y", 1), matrix_argument(X, "X", 2)};
  require_extent("y", "rows", problem.y.rows, problem.X.rows);
  return problem;
}

PyRef probit_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"y", "X", "beta", "quantities"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"probit_sums", parameters, 4}, args, nargs, kwnames, slots);
  const Probit problem = probit_arguments(slots[0], slots[1]);
  const Vector beta = vector_argument(slots[2], "beta", problem.k());
  const uint64_t quantities = convert_argument("quantities", [&] { return to_u64(slots[3]); });
  if ((quantities & ~uint64_t{kAllQuantities}) != 0) {
    raise(PyExc_ValueError, "quantities has unknown bits: " + std::to_string(quantities));
  }
  Evaluation sums = without_interpreter_lock(
      [&] { return evaluate_probit(problem, beta, static_cast<unsigned>(quantities)); });
  return evaluation_to_dict(std::move(sums));
}

PyRef cluster_score_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"y", "X", "beta", "cluster_of", "clusters"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cluster_score_sums", parameters, 5}, args, nargs, kwnames, slots);
  const Probit problem = probit_arguments(slots[0], slots[1]);
  const Vector beta = vector_argument(slots[2], "beta", problem.k());
  const uint64_t clusters = convert_argument("clusters", [&] { return to_u64(slots[4]); });
  const std::vector<uint32_t> cluster_of = cluster_numbers_argument(slots[3], "cluster_of", problem.nobs(), clusters);
  Matrix sums = without_interpreter_lock([&] { return cluster_score_sums(problem, beta, cluster_of, clusters); });
  return output_array(StridedArray::from(std::move(sums)));
}

PyRef effect_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"X", "beta", "excluded", "block_rows"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"effect_sums", parameters, 4}, args, nargs, kwnames, slots);
  const MatrixView X = matrix_argument(slots[0], "X", 2);
  const Vector beta = vector_argument(slots[1], "beta", X.cols);
  const std::vector<bool> excluded = flags_argument(slots[2], "excluded");
  require_extent("excluded", "entries", excluded.size(), X.cols);
  const uint64_t block_rows = convert_argument("block_rows", [&] { return to_u64(slots[3]); });
  if (block_rows == 0) raise(PyExc_ValueError, "block_rows must be at least 1");

  // Every named column may be an indicator; the sums tell which were 0/1 throughout.
  std::vector<RegressorKind> kinds(X.cols, RegressorKind::indicator_if_binary);
  for (size_t j = 0; j < X.cols; ++j) {
    if (excluded[j]) kinds[j] = RegressorKind::excluded;
  }
  MarginalEffectSums sums =
      without_interpreter_lock([&] { return accumulate_marginal_effects(X, X.rows, beta, kinds, block_rows); });
  return effect_sums_to_dict(std::move(sums));
}

}  // namespace

PyObject* probit_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return probit_sums_body(args, nargs, kwnames); });
}

PyObject* cluster_score_sums_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return cluster_score_sums_body(args, nargs, kwnames); });
}

PyObject* effect_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return effect_sums_body(args, nargs, kwnames); });
}

}  // namespace kestrum
