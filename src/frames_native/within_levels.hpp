// The demeaning of a block of columns within the levels of fixed effects.
#pragma once

#include <Python.h>

namespace kestrum {

// demean_levels(leading, values, weights, run_lengths, levels, coefficients, tol, max_sweeps, threads,
//               returned)
//   -> (residuals, coefficients, gram, sweeps, change)
PyObject* demean_levels(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kDemeanLevelsDoc;

}  // namespace kestrum
