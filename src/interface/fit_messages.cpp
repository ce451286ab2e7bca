#include "interface/fit_messages.hpp"

#include <cstdio>

namespace kestrum {

namespace {

std::string joined(const std::vector<size_t>& columns, const std::vector<std::string>& names) {
  std::string text;
  for (size_t c : columns) text.append(text.empty() ? "" : ", ").append(names[c]);
  return text;
}

// A number as Python's format(value, ".3g") writes it.
std::string three_digits(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  return text;
}

}  // namespace

std::vector<std::string> numbered_names(size_t k) {
  std::vector<std::string> names;
  names.reserve(k);
  for (size_t j = 0; j < k; ++j) names.push_back(std::string(1, 'x').append(std::to_string(j)));
  return names;
}

std::vector<std::string> fit_warnings(uint64_t perfectly_predicted, const std::vector<size_t>& out_of_range,
                                      const MessageNames& names) {
  std::vector<std::string> texts;
  if (perfectly_predicted > 0) {
    texts.push_back("Perfect separation: " + std::to_string(perfectly_predicted) +
                    " observations are perfectly predicted; the maximum likelihood estimate does not exist and the "
                    "coefficients diverge. Remove the regressors (or observations) that predict the outcome "
                    "perfectly.");
  }
  if (!out_of_range.empty()) {  // columns whose sums of squares a double cannot hold: no estimate
    texts.push_back("Regressors out of range: the sums of squares of columns " + joined(out_of_range, names.columns) +
                    " overflow or underflow a double, so the fit stops where it found them, not converged, and "
                    "cov_params() is all NaN. Rescale these columns (units from 1e-10 to 1e10 are supported).");
  }
  return texts;
}

std::vector<std::string> covariance_warnings(const CovarianceEstimate& estimate, const MessageNames& names) {
  std::vector<std::string> texts;
  const std::string involved = joined(estimate.columns_involved, names.columns);
  if (!estimate.dropped.empty()) {
    texts.push_back("Hessian singular: dropped " + joined(estimate.dropped, names.columns) +
                    ", linearly dependent on the other columns (columns involved: " + involved +
                    "). A dropped column's coefficient and standard error are NaN; the other coefficients are those "
                    "of the model without it.");
  } else if (!estimate.columns_involved.empty() && estimate.params.size() == 0) {
    // Without beta the covariance is NaN rather than an invented one.
    texts.push_back("Hessian singular => NaN for Cov: columns involved: " + involved +
                    ". The coefficients of linearly dependent (or all-zero) columns are not identified; drop or "
                    "combine columns.");
  }
  if (estimate.single_cluster) {  // a cluster-robust covariance from G clusters has rank G - 1
    const std::string argument = names.cluster_argument;
    texts.push_back(argument +
                    " forms a single cluster, and the cluster-robust covariance from G clusters has rank G - 1: "
                    "cov_params() is all NaN. Cluster on a " +
                    names.cluster_noun + " with at least two distinct values, or leave " + argument +
                    " out for the HC0 covariance");
  }
  if (estimate.negative_eigenvalues > 0) {
    texts.push_back("the multi-way cluster-robust covariance is not positive semi-definite (smallest eigenvalue " +
                    three_digits(estimate.smallest_eigenvalue) + ", largest " +
                    three_digits(estimate.largest_eigenvalue) + "): its " +
                    std::to_string(estimate.negative_eigenvalues) + " negative eigenvalues are set to 0");
  }
  return texts;
}

}  // namespace kestrum
