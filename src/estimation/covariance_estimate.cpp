#include "estimation/covariance_estimate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "estimation/covariance.hpp"
#include "numeric/symmetric_eigen.hpp"
#include "numeric/symmetric_factor.hpp"
#include "panic.hpp"

namespace kestrum {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Matrix block(const Matrix& m, const std::vector<size_t>& rows, const std::vector<size_t>& cols) {
  Matrix result(rows.size(), cols.size());
  for (size_t a = 0; a < rows.size(); ++a) {
    for (size_t b = 0; b < cols.size(); ++b) result(a, b) = m(rows[a], cols[b]);
  }
  return result;
}

Matrix scaled(const Matrix& m, double factor) {
  Matrix result(m.rows(), m.cols());
  for (size_t a = 0; a < m.rows(); ++a) {
    for (size_t b = 0; b < m.cols(); ++b) result(a, b) = m(a, b) * factor;
  }
  return result;
}

// sum_S sign_S c_S M_S, added in the order of the terms. One term without a
// factor is its meat itself (pointed to, not copied).
const Matrix* cluster_meat_sum(const CovarianceRequest& request, Matrix& storage) {
  const std::vector<GroupingMeat>& terms = request.groupings;
  const bool factor = request.factor == SmallSampleFactor::kClusters;
  if (terms.size() == 1 && !factor) return terms[0].meat;
  for (size_t t = 0; t < terms.size(); ++t) {
    const auto g = static_cast<double>(terms[t].clusters);
    Matrix term = scaled(*terms[t].meat, factor ? g / (g - 1.0) : 1.0);
    if (t == 0) {
      KESTRUM_ASSERT(terms[t].sign > 0);
      storage = std::move(term);
      continue;
    }
    for (size_t a = 0; a < term.rows(); ++a) {
      for (size_t b = 0; b < term.cols(); ++b) {
        storage(a, b) = terms[t].sign > 0 ? storage(a, b) + term(a, b) : storage(a, b) - term(a, b);
      }
    }
  }
  return &storage;
}

Vector copied(const Vector& v) {
  Vector result(v.size());
  for (size_t j = 0; j < v.size(); ++j) result[j] = v[j];
  return result;
}

bool all_finite(const Matrix& m) {
  for (size_t a = 0; a < m.rows(); ++a) {
    for (size_t b = 0; b < m.cols(); ++b) {
      if (!std::isfinite(m(a, b))) return false;
    }
  }
  return true;
}

// V = U max(Lambda, 0) U' when V has negative eigenvalues (counted in the
// estimate); V itself otherwise.
void clip_negative_eigenvalues(Matrix& cov, CovarianceEstimate& estimate) {
  if (cov.rows() == 0 || !all_finite(cov)) return;
  const SymmetricEigen eigen = symmetric_eigen(cov);
  const size_t n = cov.rows();
  double smallest = eigen.values[0], largest = eigen.values[0];
  size_t negative = 0;
  for (size_t j = 0; j < n; ++j) {
    smallest = std::min(smallest, eigen.values[j]);
    largest = std::max(largest, eigen.values[j]);
    if (eigen.values[j] < 0.0) ++negative;
  }
  if (negative == 0) return;
  estimate.negative_eigenvalues = negative;
  estimate.smallest_eigenvalue = smallest;
  estimate.largest_eigenvalue = largest;
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = 0; b < n; ++b) {
      double sum = 0.0;
      for (size_t j = 0; j < n; ++j) sum += eigen.vectors(a, j) * std::max(eigen.values[j], 0.0) * eigen.vectors(b, j);
      cov(a, b) = sum;
    }
  }
}

// Among the columns involved in the singularity, those dependent on the
// columns before them: each involved column j in turn is kept when the
// Hessian of the columns kept so far and j has full rank. Columns not
// involved are independent of every other.
std::vector<size_t> dependent_columns(const Matrix& hessian, const std::vector<size_t>& involved) {
  std::vector<size_t> kept;
  for (size_t j = 0; j < hessian.rows(); ++j) {
    if (std::find(involved.begin(), involved.end(), j) == involved.end()) kept.push_back(j);
  }
  std::vector<size_t> dropped;
  for (const size_t j : involved) {
    std::vector<size_t> trial = kept;
    trial.insert(std::upper_bound(trial.begin(), trial.end(), j), j);
    const SymmetricFactor information(negated(block(hessian, trial, trial)));
    if (information.full_rank()) {
      kept = std::move(trial);
    } else {
      dropped.push_back(j);
    }
  }
  return dropped;
}

// The estimate and V of the model without the dropped columns, embedded
// with NaN at them.
void drop_dependent(const CovarianceRequest& request, const Matrix* meat, CovarianceEstimate& estimate) {
  const Matrix& hessian = *request.hessian;
  const Vector& beta = *request.beta;
  const size_t k = hessian.rows();
  estimate.dropped = dependent_columns(hessian, estimate.columns_involved);
  std::vector<size_t> kept;
  for (size_t j = 0; j < k; ++j) {
    if (std::find(estimate.dropped.begin(), estimate.dropped.end(), j) == estimate.dropped.end()) kept.push_back(j);
  }
  estimate.params = Vector(k);
  estimate.cov = Matrix::filled(k, k, kNaN);
  for (size_t j = 0; j < k; ++j) estimate.params[j] = kNaN;
  if (kept.empty()) return;
  const Matrix h_kept = block(hessian, kept, kept);
  // A beta_D = H_SS^-1 (H_SD beta_D) = -(-H_SS)^-1 (H_SD beta_D).
  Vector shift(kept.size());
  for (size_t a = 0; a < kept.size(); ++a) {
    for (const size_t d : estimate.dropped) shift[a] += hessian(kept[a], d) * beta[d];
  }
  const Vector moved = SymmetricFactor(negated(h_kept)).solve(shift);
  const Matrix kept_meat = meat == nullptr ? Matrix() : block(*meat, kept, kept);
  const Matrix kept_cov = covariance_from_hessian(h_kept, meat == nullptr ? nullptr : &kept_meat).cov;
  for (size_t a = 0; a < kept.size(); ++a) {
    estimate.params[kept[a]] = beta[kept[a]] - moved[a];
    for (size_t b = 0; b < kept.size(); ++b) estimate.cov(kept[a], kept[b]) = kept_cov(a, b);
  }
}

std::vector<size_t> finite_diagonal(const Matrix& cov) {
  std::vector<size_t> columns;
  for (size_t j = 0; j < cov.rows(); ++j) {
    if (!std::isnan(cov(j, j))) columns.push_back(j);
  }
  return columns;
}

}  // namespace

CovarianceEstimate estimate_covariance(const CovarianceRequest& request) {
  const Matrix& hessian = *request.hessian;
  const size_t k = hessian.rows();
  CovarianceEstimate estimate;
  for (const GroupingMeat& term : request.groupings) estimate.single_cluster |= term.clusters < 2;
  Matrix storage;
  const Matrix* meat = request.groupings.empty() ? request.meat : nullptr;
  if (!request.groupings.empty() && !estimate.single_cluster) meat = cluster_meat_sum(request, storage);

  CovarianceOutcome outcome = covariance_from_hessian(hessian, meat);
  estimate.columns_involved = std::move(outcome.columns_involved);
  if (estimate.single_cluster) {  // G clusters give rank G - 1: no covariance
    estimate.cov = Matrix::filled(k, k, kNaN);
    if (request.beta != nullptr) estimate.params = copied(*request.beta);
    return estimate;
  }
  if (request.beta != nullptr && !estimate.columns_involved.empty()) {
    drop_dependent(request, meat, estimate);
  } else {
    estimate.cov = std::move(outcome.cov);
    if (request.beta != nullptr) estimate.params = copied(*request.beta);
  }

  if (request.factor == SmallSampleFactor::kObservations) {
    estimate.cov = scaled(estimate.cov, request.nobs / (request.nobs - 1.0));
  } else if (request.groupings.size() > 1) {
    const std::vector<size_t> kept = finite_diagonal(estimate.cov);
    Matrix kept_cov = block(estimate.cov, kept, kept);
    clip_negative_eigenvalues(kept_cov, estimate);
    for (size_t a = 0; a < kept.size(); ++a) {
      for (size_t b = 0; b < kept.size(); ++b) estimate.cov(kept[a], kept[b]) = kept_cov(a, b);
    }
  }
  return estimate;
}

}  // namespace kestrum
