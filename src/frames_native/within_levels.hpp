// The demeaning of a block of columns within the levels of fixed effects.
#pragma once

#include <Python.h>

namespace kestrum {

// demean_levels(start, weights, scale, run_lengths, levels, tol, max_sweeps) -> (residuals, sweeps, change)
PyObject* demean_levels(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kDemeanLevelsDoc;

}  // namespace kestrum
