// The covariance of the estimate from the sums at it, under a convention.
//
//   V = B M B,  B = (-H)^-1        (V = B without a meat)
//
// H is the Hessian of l at the estimate, observed or expected (the caller
// chooses which sums it passes). The meat is the HC0 meat, or for
// cluster-robust conventions the inclusion-exclusion sum over groupings of
// the rows (one grouping: one-way),
//
//   M = sum_S sign_S c_S M_S,  c_S = G_S / (G_S - 1) with the cluster factor, else 1,
//
// each term with the factor of its own G. With the observation factor, V is
// multiplied by N / (N - 1). A sum of several groupings' terms need not be
// positive semi-definite: its negative eigenvalues are then set to 0
// (V = U max(Lambda, 0) U').
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numeric/matrix.hpp"

namespace kestrum {

enum class SmallSampleFactor {
  kNone,
  kObservations,  // V times N / (N - 1)
  kClusters,      // each grouping's meat times G / (G - 1)
};

// One term of the cluster meat: sum_c g_c g_c' over the G clusters of a
// grouping, and its sign in the inclusion-exclusion sum. The meat is not
// read when some grouping has fewer than 2 clusters (it may then be null).
struct GroupingMeat {
  const Matrix* meat = nullptr;
  uint64_t clusters = 0;
  int sign = 1;
};

struct CovarianceRequest {
  const Matrix* hessian = nullptr;  // k x k
  const Matrix* meat = nullptr;     // the HC0 meat; with groupings, unused
  std::vector<GroupingMeat> groupings;  // cluster-robust: the terms, the first with sign +1
  SmallSampleFactor factor = SmallSampleFactor::kNone;
  double nobs = 0.0;  // N of the observation factor
  // Given beta, columns dependent on the others are dropped instead of the
  // whole covariance becoming NaN (see estimate_covariance).
  const Vector* beta = nullptr;
};

struct CovarianceEstimate {
  Vector params;  // beta with NaN for the dropped columns (only with request.beta)
  Matrix cov;
  std::vector<size_t> columns_involved;  // in a singular Hessian; empty when it is invertible
  std::vector<size_t> dropped;           // with beta: the columns dropped as dependent
  bool single_cluster = false;           // a grouping with fewer than 2 clusters: cov all NaN
  size_t negative_eigenvalues = 0;       // of a several-grouping V, set to 0
  double smallest_eigenvalue = 0.0;      // of that V before the repair (when negative_eigenvalues > 0)
  double largest_eigenvalue = 0.0;
};

// V under the request. A singular Hessian gives, without beta, NaN
// everywhere; with beta, each column among those involved that depends on
// the columns before it (by the rank rule of SymmetricFactor) is dropped:
// with X_D = X_S A the index is X_S (beta_S + A beta_D), A = H_SS^-1 H_SD,
// so the model without them has its maximum at params_S = beta_S + A
// beta_D with Hessian H_SS and meat M_SS, and params_D and V's rows and
// columns D are NaN.
CovarianceEstimate estimate_covariance(const CovarianceRequest& request);

}  // namespace kestrum
