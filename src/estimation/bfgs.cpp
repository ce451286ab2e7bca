#include "estimation/bfgs.hpp"

#include "estimation/evaluation.hpp"

namespace kestrum {

FitOutcome fit_bfgs(const Probit& problem, const MaximizerSettings& settings,
                    const std::function<void()>& between_passes) {
  ProbitMaximizer maximizer(problem.k(), settings);
  while (!maximizer.finished()) {
    if (between_passes) between_passes();
    maximizer.supply(evaluate_probit(problem, maximizer.requested_point(), maximizer.requested_quantities()));
  }
  return maximizer.take_outcome();
}

}  // namespace kestrum
