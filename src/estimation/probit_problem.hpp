// The probit problem and its per-observation quantities.
//
// For observation i with outcome y_i and regressors x_i, at coefficients beta:
//   q_i   = 2 y_i - 1                       (computed as (y_i + y_i) + (-1))
//   eta_i = sum_j X[i,j] beta_j              (from 0.0, in increasing column order)
//   z_i   = q_i eta_i
//   P_i   = min(max(Phi(z_i), 1e-15), 1 - 1e-15)   (a NaN Phi becomes 1e-15)
//   lambda_i = q_i phi(z_i) / P_i            (the score factor: d l_i / d eta_i)
// The work runs over blocks of kBlockRows observations so that the
// per-observation arithmetic vectorizes; every sum over observations is still
// accumulated in observation order.
#pragma once

#include <algorithm>
#include <cstddef>

#include "numeric/matrix.hpp"
#include "numeric/normal.hpp"

namespace kestrum {

struct Probit {
  MatrixView y;  // nobs x 1
  MatrixView X;  // nobs x k, any layout

  size_t nobs() const noexcept { return y.rows; }
  size_t k() const noexcept { return X.cols; }
};

inline constexpr size_t kBlockRows = 128;
inline constexpr double kProbabilityFloor = 1e-15;
inline constexpr double kProbabilityCeiling = 0.999999999999999;

inline double clipped_probability(double z) noexcept {
  double p = normal_cdf(z);
  p = p > kProbabilityFloor ? p : kProbabilityFloor;
  return p < kProbabilityCeiling ? p : kProbabilityCeiling;
}

inline double outcome_sign(double y) noexcept { return (y + y) + (-1.0); }

// eta[b] = x_{start+b} . beta for b < count, each summed in column order.
template <class View>
void linear_index(const View& X, size_t start, size_t count, const double* beta, double* eta) {
  std::fill(eta, eta + count, 0.0);
  for (size_t j = 0; j < X.cols; ++j) {
    const double coefficient = beta[j];
    for (size_t b = 0; b < count; ++b) eta[b] += X(start + b, j) * coefficient;
  }
}

// Visits the observations block by block: fn(start, count, eta) with eta of
// the block at beta.
template <class Fn>
void for_each_block(const Probit& problem, const double* beta, Fn&& fn) {
  double eta[kBlockRows];
  for (size_t start = 0; start < problem.nobs(); start += kBlockRows) {
    const size_t count = std::min(kBlockRows, problem.nobs() - start);
    linear_index(problem.X, start, count, beta, eta);
    fn(start, count, eta);
  }
}

// lambda[b] for a block whose linear index is eta.
inline void score_factors(const Probit& problem, size_t start, size_t count, const double* eta, double* lambda) {
  for (size_t b = 0; b < count; ++b) {
    const double q = outcome_sign(problem.y(start + b, 0));
    const double z = q * eta[b];
    lambda[b] = (q * normal_pdf(z)) / clipped_probability(z);
  }
}

}  // namespace kestrum
