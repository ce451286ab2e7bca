// The probit's per-row derivatives at a given index (a fit with fixed effects).
#pragma once

#include <Python.h>

namespace kestrum {

// probit_at_index(eta, y, threads) -> (loglike, lam, w)
PyObject* probit_at_index_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kProbitAtIndexDoc;

}  // namespace kestrum
