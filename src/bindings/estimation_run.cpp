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
#include "numeric/invert.hpp"

namespace kestrum {

namespace {

// Written once per call when the Hessian at the estimate cannot be inverted;
// the covariance is then NaN rather than an invented one.
constexpr const char* kSingularHessianLine = "Hessian singular => NaN for Cov";

// A cluster-robust covariance from G clusters has rank G - 1.
constexpr const char* kSingleCluster =
    "cluster_vars forms a single cluster, and the cluster-robust covariance from G clusters has rank G - 1: "
    "cov_params() is all NaN. Cluster on a variable with at least two distinct values, or leave cluster_vars "
    "out for the HC0 covariance";

Matrix unavailable(size_t k) { return Matrix::filled(k, k, std::numeric_limits<double>::quiet_NaN()); }

// With one observation per cluster the cluster meat is the HC0 meat.
bool one_row_per_cluster(const ClusterAssignment& clusters) { return clusters.clusters == clusters.cluster_of.size(); }

// The HC0 meat comes from the same pass as the Hessian.
unsigned covariance_quantities(bool robust, const std::optional<ClusterAssignment>& clusters) {
  return robust && (!clusters || one_row_per_cluster(*clusters)) ? kHessian | kRobustMeat : kHessian;
}

// `sums`: the covariance_quantities at beta, when the fit computed them.
Matrix covariance(const Probit& problem, const Vector& beta, bool robust,
                  const std::optional<ClusterAssignment>& clusters, std::optional<Evaluation> sums) {
  const size_t k = problem.k();
  if (!sums) sums = evaluate_probit(problem, beta, covariance_quantities(robust, clusters));
  Matrix meat = std::move(sums->meat);
  const std::optional<Matrix> inverse = invert_matrix(sums->hessian);
  if (!inverse) write_stderr_line(kSingularHessianLine);
  if (!robust) return inverse ? negated(*inverse) : unavailable(k);

  if (clusters) {
    if (clusters->clusters == 1) {
      warn(PyExc_RuntimeWarning, kSingleCluster);
      return unavailable(k);
    }
    if (!inverse) return unavailable(k);
    if (!one_row_per_cluster(*clusters)) {
      throw_if_interrupted();
      meat = cluster_meat(problem, beta, clusters->cluster_of, clusters->clusters);
    }
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
  FitOutcome fit = fit_bfgs(problem, inputs.max_iter, inputs.tol,
                            covariance_quantities(inputs.robust, inputs.clusters), throw_if_interrupted);
  Matrix cov = covariance(problem, fit.beta, inputs.robust, inputs.clusters, std::move(fit.final_sums));
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
