// The probit log-likelihood and its gradient.
#pragma once

#include "estimation/probit_problem.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

// l(beta) = sum_i ln P_i, added in observation order; finite for every input.
double probit_log_likelihood(const Probit& problem, const Vector& beta);
// g(beta) = sum_i lambda_i x_i, the gradient of l (the ascent direction);
// g_j accumulates X[i,j] lambda_i + g_j in observation order.
Vector probit_gradient(const Probit& problem, const Vector& beta);

struct Evaluation {
  double loglike = 0.0;
  Vector gradient;
};
// Both in one pass over the data; the same numbers as the two calls above.
Evaluation probit_log_likelihood_and_gradient(const Probit& problem, const Vector& beta);

}  // namespace kestrum
