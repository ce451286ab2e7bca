// Quasi-Newton maximisation of the probit log-likelihood.
#pragma once

#include <cstdint>
#include <optional>

#include "estimation/evaluation.hpp"
#include "estimation/probit_problem.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

struct FitOutcome {
  Vector beta;
  double loglike = 0.0;
  uint64_t iterations = 0;  // zero-based index of the last iteration run
  bool converged = false;
  // The `final_quantities` at beta, when the pass that produced beta was
  // expected to be the last one and computed them too.
  std::optional<Evaluation> final_sums;
};

// final_quantities: what the caller will evaluate at the estimate (kHessian,
// possibly with kRobustMeat); the fit computes them in its own pass when the
// change in l is predicted to fall below tol in that step. `interrupt` is
// called before each iteration.
FitOutcome fit_bfgs(const Probit& problem, uint64_t max_iter, double tol, unsigned final_quantities,
                    InterruptCheck interrupt);

}  // namespace kestrum
