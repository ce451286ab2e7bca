#pragma once

#include <Python.h>

namespace kestrum {

// fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)
PyObject* fit_probit(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kFitProbitDoc;

}  // namespace kestrum
