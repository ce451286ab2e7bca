#include "bindings/estimation_run.hpp"

#include <limits>
#include <optional>
#include <string>

#include "estimation/bfgs.hpp"
#include "estimation/clusters.hpp"
#include "estimation/covariance.hpp"
#include "estimation/evaluation.hpp"
#include "interface/arrays.hpp"
#include "interface/errors.hpp"
#include "interface/result_classes.hpp"
#include "numeric/invert.hpp"

namespace kestrum {

namespace {

// Written once per call when the Hessian at the estimate cannot be inverted;
// the covariance is then NaN rather than an invented one.
constexpr const char* kSingularHessianLine = "Hessian singular => NaN for Cov";

Matrix unavailable(size_t k) { return Matrix::filled(k, k, std::numeric_limits<double>::quiet_NaN()); }

// Cluster membership of each observation; raises for a cluster_vars that is
// not an nobs x m float64 array.
ClusterAssignment read_clusters(PyObject* cluster_vars, size_t nobs) {
  const ArrayView values = view_array(require_array(cluster_vars, 2));
  if (values.rows() != nobs) {
    raise(PyExc_ValueError, "cluster mismatch: got " + std::to_string(values.rows()) +
                                " rows, nobs=" + std::to_string(nobs));
  }
  return combine_cluster_keys(values);
}

bool is_clustered(bool robust, PyObject* cluster_vars) {
  return robust && cluster_vars != nullptr && cluster_vars != Py_None;
}

// Without clusters the robust meat comes from the same pass as the Hessian.
unsigned covariance_quantities(bool robust, PyObject* cluster_vars) {
  return robust && !is_clustered(robust, cluster_vars) ? kHessian | kRobustMeat : kHessian;
}

// `sums`: the covariance_quantities at beta, when the fit computed them.
Matrix covariance(const Probit& problem, const Vector& beta, bool robust, PyObject* cluster_vars,
                  std::optional<Evaluation> sums) {
  const size_t k = problem.k();
  const bool clustered = is_clustered(robust, cluster_vars);
  if (!sums) sums = evaluate_probit(problem, beta, covariance_quantities(robust, cluster_vars));
  Matrix meat = std::move(sums->meat);
  const std::optional<Matrix> inverse = invert_matrix(sums->hessian);
  if (!inverse) write_stderr_line(kSingularHessianLine);
  if (!robust) return inverse ? negated(*inverse) : unavailable(k);

  if (clustered) {
    // cluster_vars is checked after the Hessian, and read only when the fit is robust.
    const ClusterAssignment clusters = read_clusters(cluster_vars, problem.nobs());
    if (!inverse) return unavailable(k);
    meat = cluster_meat(problem, beta, clusters.cluster_of, clusters.clusters);
  }
  if (!inverse) return unavailable(k);
  return sandwich_covariance(*inverse, meat);
}

std::vector<std::string> generated_names(size_t k) {
  std::vector<std::string> names;
  names.reserve(k);
  for (size_t j = 0; j < k; ++j) names.push_back(std::string(1, 'x').append(std::to_string(j)));
  return names;
}

}  // namespace

PyRef run_estimation(EstimationInputs&& inputs) {
  // The fit reads the owned copies in place; afterwards they become the
  // model's arrays, so X is copied exactly once per call.
  const Probit problem{inputs.y.view(), inputs.X.view()};
  FitOutcome fit =
      fit_bfgs(problem, inputs.max_iter, inputs.tol, covariance_quantities(inputs.robust, inputs.cluster_vars));
  Matrix cov = covariance(problem, fit.beta, inputs.robust, inputs.cluster_vars, std::move(fit.final_sums));
  const size_t k = problem.k();

  ResultsRecord record;
  record.params = output_array(StridedArray::from(std::move(fit.beta)));
  record.cov_params = output_array(StridedArray::from(std::move(cov)));
  record.model.exog = output_array(std::move(inputs.X));
  record.model.endog = output_array(std::move(inputs.y));
  record.model.exog_names = generated_names(k);
  record.loglike = fit.loglike;
  record.iterations = fit.iterations;
  record.converged = fit.converged;
  return wrap_results(std::move(record));
}

}  // namespace kestrum
