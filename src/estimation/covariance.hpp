// The analytic Hessian, the score outer products and the sandwich.
#pragma once

#include <cstdint>
#include <vector>

#include "estimation/probit_problem.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

// H = -sum_i w_i x_i x_i', w_i = lambda_i (lambda_i + eta_i): the observed
// Hessian of the log-likelihood. Every entry is accumulated in observation
// order as H[a][b] - (X[i,a] w_i) X[i,b]; H is not symmetrised.
Matrix probit_hessian(const Probit& problem, const Vector& beta);

// M = sum_i s_i s_i' with the scores s_i = lambda_i x_i, accumulated row by
// row in observation order without forming the n x k score matrix.
Matrix robust_meat(const Probit& problem, const Vector& beta);

struct HessianAndMeat {
  Matrix hessian;
  Matrix meat;
};
// Both of the above from one pass over the data; the same numbers.
HessianAndMeat probit_hessian_and_meat(const Probit& problem, const Vector& beta);

// M = sum_c g_c g_c' where g_c sums the scores of cluster c in observation
// order; clusters are numbered 0..G-1 by first appearance and visited in
// that order.
Matrix cluster_meat(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                    size_t clusters);

// (B M) B.
Matrix sandwich_covariance(const Matrix& bread, const Matrix& meat);

}  // namespace kestrum
