// The tables' statistics by the core's rules (margins/delta_method.hpp) and
// the constant-name rule (interface/probit_models.hpp), for the Python side.
#pragma once

#include <Python.h>

#include "interface/py_ref.hpp"

namespace kestrum {

// delta_method(estimates, variances=None, jacobians=None, cov=None, alpha=0.05)
//   -> dict of se, z, p, low, high
PyObject* delta_method_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kDeltaMethodDoc;

// normal_interval(estimates, std_errors, alpha=0.05) -> (low, high)
PyObject* normal_interval_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kNormalIntervalDoc;

// significance_labels(p) -> list of str
PyObject* significance_labels(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kSignificanceLabelsDoc;

// constant_names(names) -> list of bool
PyObject* constant_names(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kConstantNamesDoc;

// ((0.01, "***"), (0.05, "**"), (0.1, "*")): the significance levels, strictest first.
PyRef significance_levels();

}  // namespace kestrum
