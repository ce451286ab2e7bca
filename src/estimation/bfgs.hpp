// Maximum likelihood estimation of the probit model over data in memory.
#pragma once

#include <functional>

#include "estimation/maximizer.hpp"
#include "estimation/probit_problem.hpp"

namespace kestrum {

// Drives a ProbitMaximizer with passes over the problem's observations.
// `between_passes`, when given, runs before every pass (the caller checks
// for interruption there; whatever it throws ends the fit).
FitOutcome fit_bfgs(const Probit& problem, const MaximizerSettings& settings,
                    const std::function<void()>& between_passes = {});

}  // namespace kestrum
