// Quasi-Newton maximisation of the probit log-likelihood.
#pragma once

#include <cstdint>

#include "estimation/probit_problem.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

struct FitOutcome {
  Vector beta;
  double loglike = 0.0;
  uint64_t iterations = 0;  // zero-based index of the last iteration run
  bool converged = false;
};

FitOutcome fit_bfgs(const Probit& problem, uint64_t max_iter, double tol);

}  // namespace kestrum
