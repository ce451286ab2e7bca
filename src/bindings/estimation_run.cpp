#include "bindings/estimation_run.hpp"

#include <limits>
#include <optional>
#include <string>

#include "estimation/bfgs.hpp"
#include "estimation/covariance.hpp"
#include "estimation/covariance_estimate.hpp"
#include "estimation/evaluation.hpp"
#include "interface/arrays.hpp"
#include "interface/errors.hpp"
#include "interface/fit_messages.hpp"
#include "interface/result_classes.hpp"

namespace kestrum {

namespace {

Matrix unavailable(size_t k) { return Matrix::filled(k, k, std::numeric_limits<double>::quiet_NaN()); }

// With one observation per cluster the cluster meat is the HC0 meat.
bool one_row_per_cluster(const ClusterAssignment& clusters) { return clusters.clusters == clusters.cluster_of.size(); }

// The HC0 meat comes from the same pass as the Hessian at the estimate.
unsigned covariance_quantities(bool robust, const std::optional<ClusterAssignment>& clusters) {
  return robust && (!clusters || one_row_per_cluster(*clusters)) ? kRobustMeat : 0u;
}

void warn_all(const std::vector<std::string>& texts) {
  for (const std::string& text : texts) warn(PyExc_RuntimeWarning, text);
}

// The covariance from the sums at the estimate: -H^-1, or the sandwich with
// the HC0 meat or the cluster meat, neither with a small-sample factor.
Matrix covariance(const Probit& problem, const FitOutcome& fit, bool robust,
                  const std::optional<ClusterAssignment>& clusters, const MessageNames& names) {
  const Evaluation& sums = fit.final_sums;
  CovarianceRequest request;
  request.hessian = &sums.hessian;
  request.meat = robust ? &sums.meat : nullptr;
  Matrix cluster_sums_meat;
  const bool single_cluster = clusters.has_value() && clusters->clusters == 1;
  if (robust && clusters.has_value() && (single_cluster || !one_row_per_cluster(*clusters))) {
    if (!single_cluster) {
      throw_if_interrupted();
      cluster_sums_meat = cluster_meat(problem, fit.beta, clusters->cluster_of, clusters->clusters);
    }
    request.groupings.push_back(GroupingMeat{&cluster_sums_meat, clusters->clusters, 1});
  }
  CovarianceEstimate estimate = estimate_covariance(request);
  warn_all(covariance_warnings(estimate, names));
  return std::move(estimate.cov);
}

}  // namespace

PyRef run_estimation(EstimationInputs&& inputs) {
  // The fit reads the owned copies in place; afterwards they become the
  // model's arrays, so X is copied exactly once per call.
  const Probit problem{inputs.y.view(), TileSource(inputs.X.view())};
  const MaximizerSettings settings{inputs.max_iter, inputs.tol, covariance_quantities(inputs.robust, inputs.clusters)};
  FitOutcome fit = fit_bfgs(problem, settings, throw_if_interrupted);
  std::vector<std::string> names = numbered_names(problem.k());
  const MessageNames message_names{names, "cluster_vars", "variable"};
  warn_all(fit_warnings(fit.perfectly_predicted, fit.out_of_range, message_names));
  Matrix cov = fit.out_of_range.empty() ? covariance(problem, fit, inputs.robust, inputs.clusters, message_names)
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
