#include "bindings/estimation_run.hpp"

#include <limits>
#include <optional>
#include <string>

#include "estimation/bfgs.hpp"
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

// A cluster-robust covariance from G clusters has rank G - 1.
constexpr const char* kSingleCluster =
    "cluster_vars forms a single cluster, and the cluster-robust covariance from G clusters has rank G - 1: "
    "cov_params() is all NaN. Cluster on a variable with at least two distinct values, or leave cluster_vars "
    "out for the HC0 covariance";

Matrix unavailable(size_t k) { return Matrix::filled(k, k, std::numeric_limits<double>::quiet_NaN()); }

// With one observation per cluster the cluster meat is the HC0 meat.
bool one_row_per_cluster(const ClusterAssignment& clusters) { return clusters.clusters == clusters.cluster_of.size(); }

// The HC0 meat comes from the same pass as the Hessian at the estimate.
unsigned covariance_quantities(bool robust, const std::optional<ClusterAssignment>& clusters) {
  return robust && (!clusters || one_row_per_cluster(*clusters)) ? kRobustMeat : 0u;
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

// Columns whose sums of squares a double cannot hold: no estimate.
void warn_out_of_range(const std::vector<size_t>& columns, const std::vector<std::string>& names) {
  warn(PyExc_RuntimeWarning, "Regressors out of range: the sums of squares of columns " + joined_names(columns, names) +
                                 " overflow or underflow a double, so the fit stops where it found them, not converged, "
                                 "and cov_params() is all NaN. Rescale these columns (units from 1e-10 to 1e10 are "
                                 "supported).");
}

std::vector<std::string> generated_names(size_t k) {
  std::vector<std::string> names;
  names.reserve(k);
  for (size_t j = 0; j < k; ++j) names.push_back(std::string(1, 'x').append(std::to_string(j)));
  return names;
}

// The covariance from the sums at the estimate.
Matrix covariance(const Probit& problem, const FitOutcome& fit, bool robust,
                  const std::optional<ClusterAssignment>& clusters, const std::vector<std::string>& names) {
  const Evaluation& sums = fit.final_sums;
  Matrix cluster_sums_meat;
  const Matrix* meat = robust ? &sums.meat : nullptr;
  const bool clustered = robust && clusters.has_value();
  const bool single_cluster = clustered && clusters->clusters == 1;
  if (single_cluster) meat = nullptr;  // no sandwich: the covariance is NaN
  if (clustered && !single_cluster && !one_row_per_cluster(*clusters)) {
    throw_if_interrupted();
    cluster_sums_meat = cluster_meat(problem, fit.beta, clusters->cluster_of, clusters->clusters);
    meat = &cluster_sums_meat;
  }
  CovarianceOutcome outcome = covariance_from_hessian(sums.hessian, meat);
  if (!outcome.columns_involved.empty()) warn_singular(outcome.columns_involved, names);
  if (single_cluster) {
    warn(PyExc_RuntimeWarning, kSingleCluster);
    return unavailable(problem.k());
  }
  return std::move(outcome.cov);
}

}  // namespace

PyRef run_estimation(EstimationInputs&& inputs) {
  // The fit reads the owned copies in place; afterwards they become the
  // model's arrays, so X is copied exactly once per call.
  const Probit problem{inputs.y.view(), TileSource(inputs.X.view())};
  const MaximizerSettings settings{inputs.max_iter, inputs.tol, covariance_quantities(inputs.robust, inputs.clusters)};
  FitOutcome fit = fit_bfgs(problem, settings, throw_if_interrupted);
  if (fit.perfectly_predicted > 0) warn_separation(fit.perfectly_predicted);
  std::vector<std::string> names = generated_names(problem.k());
  if (!fit.out_of_range.empty()) warn_out_of_range(fit.out_of_range, names);
  Matrix cov = fit.out_of_range.empty() ? covariance(problem, fit, inputs.robust, inputs.clusters, names)
                                        : unavailable(problem.k());

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
