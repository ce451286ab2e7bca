// The demeaning of a block of columns within the levels of fixed effects.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// demean_levels(leading, values, weights, run_lengths, levels, coefficients, tol, max_sweeps, threads,
//               returned)
//   -> (residuals, coefficients, gram, sweeps, change)
extern const FastCallEntry demean_levels;
extern const char* const kDemeanLevelsDoc;

}  // namespace kestrum
