#pragma once

#include <Python.h>

namespace kestrum {

// ame(probit_model, chunk_size=...)
PyObject* ame(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kAmeDoc;

}  // namespace kestrum
