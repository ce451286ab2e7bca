// One pass over the observations at some beta, computing any of the
// log-likelihood, its gradient, its Hessian and the robust meat.
//
//   l(beta) = sum_i ln P_i                    added in observation order;
//                                              finite for every input
//   g(beta) = sum_i lambda_i x_i              the ascent direction of l;
//                                              g_j <- X[i,j] lambda_i + g_j
//   H(beta) = -sum_i w_i x_i x_i'             w_i = lambda_i (lambda_i + eta_i),
//                                              H[a][b] <- H[a][b] - (X[i,a] w_i) X[i,b];
//                                              the observed Hessian, not symmetrised
//   M(beta) = sum_i s_i s_i'                  the scores s_i = lambda_i x_i,
//                                              without forming the n x k score matrix
//   E(beta) = -sum_i v_i x_i x_i'             the expected Hessian, v_i = phi_i^2 / (Phi_i (1 - Phi_i))
//                                              = h(z_i) h(-z_i) with h = phi / Phi, exact in both tails
// With row weights (Probit::weights) every term of a row is multiplied by
// its weight c_i: l = sum c_i ln P_i, g_j <- X[i,j] (lambda_i c_i) + g_j,
// H and E take c_i w_i and c_i v_i, M takes (x (lambda_i c_i))(x lambda_i).
// Without weights the arithmetic is the unweighted one, bit for bit.
// With the Hessian come its part from the near-certain observations (those
// whose observed outcome has fitted probability above 1 - 1e-4, z_i >
// kNearCertainIndex) and their count, which tell separation apart.
// Every entry is accumulated in observation order, so asking for several
// quantities in one pass gives the same numbers as separate passes.
//
// With l comes the variance of its rounding error as it is formed: each
// addition s <- s + x rounds to the nearest double, an error of at most half
// an ulp of the result, modelled as uniform (variance ulp(s)^2 / 12) and
// independent of the others. The terms of l share a sign, so |s| only grows
// and the ulp at the end of a tile bounds that of every addition in it: a
// tile of m terms adds m ulp(s)^2 / 12. Adding parts adds their variances and
// that of the addition itself. (The terms' own errors, a few ulp of each
// l_i, add about n (eps l / n)^2, smaller by a factor of order n^2.)
#pragma once

#include <cstdint>

#include "estimation/probit_problem.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

enum Quantity : unsigned {
  kLogLikelihood = 1u << 0,
  kGradient = 1u << 1,
  kHessian = 1u << 2,
  kRobustMeat = 1u << 3,
  kExpectedHessian = 1u << 4,
};

struct Evaluation {
  double loglike = 0.0;
  double loglike_rounding_variance = 0.0;  // with the log-likelihood
  Vector gradient;                // length k when asked for
  Matrix hessian;                 // k x k when asked for
  Matrix near_certain_hessian;    // k x k with the Hessian
  uint64_t near_certain = 0;      // with the Hessian
  Matrix meat;                    // k x k when asked for
  Matrix expected_hessian;        // k x k when asked for
  // False when a row weight is negative, NaN or infinite: the sums are then
  // not to be used (the weights are checked as each tile reads them).
  bool weights_valid = true;

  // Adds the sums of another part of the observations, entry by entry;
  // parts added in a fixed order give the same numbers on every run.
  void add(const Evaluation& part);
};

Evaluation evaluate_probit(const Probit& problem, const Vector& beta, unsigned quantities);

// Whether every one of `count` row weights is finite and not negative.
bool valid_weights(const double* weights, size_t count) noexcept;

}  // namespace kestrum
