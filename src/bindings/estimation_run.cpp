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

namespace kestrum {

namespace {

// The warning for a singular Hessian at the estimate; the covariance is then
// NaN rather than an invented one.
constexpr const char* kSingularHessian = "Hessian singular => NaN for Cov";

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
  return robust && !is_clustered(robust, cluster_vars) ? kRobustMeat : 0u;
}

std::string joined_names(const std::vector<size_t>& columns, const std::vector<std::string>& names) {
  std::string text;
  for (size_t c : columns) text.append(text.empty() ? "" : ", ").append(names[c]);
  return text;
}

void warn_singular(const std::vector<size_t>& columns, const std::vector<std::string>& names) {
  warn(PyExc_RuntimeWarning, std::string(kSingularHessian) + ": columns involved: " + joined_names(columns, names) +
                                 ". The coefficients of linearly dependent (or all-zero) columns are not "
                                 "identified; drop or combine columns.");
}

void warn_separation(uint64_t perfectly_predicted) {
  warn(PyExc_RuntimeWarning,
       "Perfect separation: " + std::to_string(perfectly_predicted) +
           " observations are perfectly predicted; the maximum likelihood estimate does not exist and the "
           "coefficients diverge. Remove the regressors (or observations) that predict the outcome perfectly.");
}

std::vector<std::string> generated_names(size_t k) {
  std::vector<std::string> names;
  names.reserve(k);
  for (size_t j = 0; j < k; ++j) names.push_back(std::string(1, 'x').append(std::to_string(j)));
  return names;
}

// The covariance from the sums at the estimate.
Matrix covariance(const Probit& problem, const FitOutcome& fit, bool robust, PyObject* cluster_vars,
                  const std::vector<std::string>& names) {
  const Evaluation& sums = fit.final_sums;
  Matrix cluster_sums_meat;
  const Matrix* meat = robust ? &sums.meat : nullptr;
  if (is_clustered(robust, cluster_vars)) {
    const ClusterAssignment clusters = read_clusters(cluster_vars, problem.nobs());
    cluster_sums_meat = cluster_meat(problem, fit.beta, clusters.cluster_of, clusters.clusters);
    meat = &cluster_sums_meat;
  }
  CovarianceOutcome outcome = covariance_from_hessian(sums.hessian, meat);
  if (!outcome.columns_involved.empty()) warn_singular(outcome.columns_involved, names);
  return std::move(outcome.cov);
}


}  // namespace

PyRef run_estimation(EstimationInputs&& inputs) {
  // The fit reads the owned copies in place; afterwards they become the
  // model's arrays, so X is copied exactly once per call.
  const Probit problem{inputs.y.view(), inputs.X.view()};
  const MaximizerSettings settings{inputs.max_iter, inputs.tol,
                                   covariance_quantities(inputs.robust, inputs.cluster_vars)};
  FitOutcome fit = fit_bfgs(problem, settings);
  if (fit.perfectly_predicted > 0) warn_separation(fit.perfectly_predicted);
  std::vector<std::string> names = generated_names(problem.k());
  Matrix cov = covariance(problem, fit, inputs.robust, inputs.cluster_vars, names);

  ResultsRecord record;
  record.params = output_array(StridedArray::from(std::move(fit.beta)));
  record.cov_params = output_array(StridedArray::from(std::move(cov)));
  record.model.exog = output_array(std::move(inputs.X));
  record.model.endog = output_array(std::move(inputs.y));
  record.model.exog_names = std::move(names);
  record.loglike = fit.loglike;
  record.iterations = fit.iterations;
  record.converged = fit.converged;
  return wrap_results(std::move(record));
}

}  // namespace kestrum
