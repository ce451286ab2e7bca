#include "estimation/objective.hpp"

#include <cmath>

namespace kestrum {

double probit_log_likelihood(const Probit& problem, const Vector& beta) {
  double sum = 0.0;
  for_each_block(problem, beta.data(), [&](size_t start, size_t count, const double* eta) {
    double log_p[kBlockRows];
    for (size_t b = 0; b < count; ++b) {
      const double z = outcome_sign(problem.y(start + b, 0)) * eta[b];
      log_p[b] = std::log(clipped_probability(z));
    }
    for (size_t b = 0; b < count; ++b) sum += log_p[b];
  });
  return sum;
}

Vector probit_gradient(const Probit& problem, const Vector& beta) {
  Vector gradient(problem.k());
  for_each_block(problem, beta.data(), [&](size_t start, size_t count, const double* eta) {
    double lambda[kBlockRows];
    score_factors(problem, start, count, eta, lambda);
    for (size_t j = 0; j < problem.k(); ++j) {
      double g = gradient[j];
      for (size_t b = 0; b < count; ++b) g = problem.X(start + b, j) * lambda[b] + g;
      gradient[j] = g;
    }
  });
  return gradient;
}

}  // namespace kestrum
