// The demeaning of a block of columns within the levels of fixed effects, and a Newton step's pass.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// demean_levels(leading, values, weights, run_lengths, levels, coefficients, tol, max_sweeps, threads,
//               returned)
//   -> (residuals, coefficients, gram, sweeps, change)
extern const FastCallEntry demean_levels;
extern const char* const kDemeanLevelsDoc;

// newton_trial(working, projected, eta, weights, y, X, target, run_lengths, levels, level_products, threads, out)
//   -> (decrement, trial loglike)
extern const FastCallEntry newton_trial_entry;
extern const char* const kNewtonTrialDoc;

// sweep_levels(sums, cross, scale, coefficients, tol, max_sweeps, threads) -> (coefficients, sweeps, change)
extern const FastCallEntry sweep_levels_entry;
extern const char* const kSweepLevelsDoc;

}  // namespace kestrum
