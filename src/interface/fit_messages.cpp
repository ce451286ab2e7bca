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

std::string separation(uint64_t perfectly_predicted) {
  return "Perfect separation: " + std::to_string(perfectly_predicted) +
         " observations are perfectly predicted; the maximum likelihood estimate does not exist and the "
         "coefficients diverge. Remove the regressors (or observations) that predict the outcome perfectly.";
}

// Columns whose sums of squares a double cannot hold: no estimate.
std::string out_of_range_columns(const std::vector<size_t>& columns, const std::vector<std::string>& names) {
  return "Regressors out of range: the sums of squares of columns " + joined(columns, names) +
         " overflow or underflow a double, so the fit stops where it found them, not converged, and cov_params() "
         "is all NaN. Rescale these columns (units from 1e-10 to 1e10 are supported).";
}

// The covariance is then NaN rather than an invented one.
std::string singular_hessian(const std::vector<size_t>& columns, const std::vector<std::string>& names) {
  return "Hessian singular => NaN for Cov: columns involved: " + joined(columns, names) +
         ". The coefficients of linearly dependent (or all-zero) columns are not identified; drop or combine "
         "columns.";
}

std::string dependent_dropped(const CovarianceEstimate& estimate, const std::vector<std::string>& names) {
  return "Hessian singular: dropped " + joined(estimate.dropped, names) +
         ", linearly dependent on the other columns (columns involved: " +
         joined(estimate.columns_involved, names) +
         "). A dropped column's coefficient and standard error are NaN; the other coefficients are those of the "
         "model without it.";
}

// A cluster-robust covariance from G clusters has rank G - 1.
std::string single_cluster(const MessageNames& names) {
  const std::string argument = names.cluster_argument;
  return argument +
         " forms a single cluster, and the cluster-robust covariance from G clusters has rank G - 1: cov_params() "
         "is all NaN. Cluster on a " +
         names.cluster_noun + " with at least two distinct values, or leave " + argument +
         " out for the HC0 covariance";
}

std::string not_positive_semidefinite(const CovarianceEstimate& estimate) {
  return "the multi-way cluster-robust covariance is not positive semi-definite (smallest eigenvalue " +
         three_digits(estimate.smallest_eigenvalue) + ", largest " + three_digits(estimate.largest_eigenvalue) +
         "): its " + std::to_string(estimate.negative_eigenvalues) + " negative eigenvalues are set to 0";
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
  if (perfectly_predicted > 0) texts.push_back(separation(perfectly_predicted));
  if (!out_of_range.empty()) texts.push_back(out_of_range_columns(out_of_range, names.columns));
  return texts;
}

std::vector<std::string> covariance_warnings(const CovarianceEstimate& estimate, const MessageNames& names) {
  std::vector<std::string> texts;
  if (!estimate.dropped.empty()) {
    texts.push_back(dependent_dropped(estimate, names.columns));
  } else if (!estimate.columns_involved.empty() && estimate.params.size() == 0) {
    texts.push_back(singular_hessian(estimate.columns_involved, names.columns));
  }
  if (estimate.single_cluster) texts.push_back(single_cluster(names));
  if (estimate.negative_eigenvalues > 0) texts.push_back(not_positive_semidefinite(estimate));
  return texts;
}

}  // namespace kestrum
