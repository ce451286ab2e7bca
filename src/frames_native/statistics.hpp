// The tables' statistics by the core's rules (margins/delta_method.hpp) and
// the constant-name rule (interface/probit_models.hpp), for the Python side.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

#include "interface/py_ref.hpp"

namespace kestrum {

// delta_method(estimates, variances=None, jacobians=None, cov=None, alpha=0.05)
//   -> dict of se, z, p, low, high
extern const FastCallEntry delta_method_entry;
extern const char* const kDeltaMethodDoc;

// normal_interval(estimates, std_errors, alpha=0.05) -> (low, high)
extern const FastCallEntry normal_interval_entry;
extern const char* const kNormalIntervalDoc;

// significance_labels(p) -> list of str
extern const FastCallEntry significance_labels;
extern const char* const kSignificanceLabelsDoc;

// constant_names(names) -> list of bool
extern const FastCallEntry constant_names;
extern const char* const kConstantNamesDoc;

// ((0.01, "***"), (0.05, "**"), (0.1, "*")): the significance levels, strictest first.
PyRef significance_levels();

}  // namespace kestrum
