// The regressor block of a partition, gathered from the columns of a frame.
#pragma once

#include <Python.h>

namespace kestrum {

// gather_columns(columns, start, stop) -> (block, has_nonfinite)
PyObject* gather_columns(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kGatherColumnsDoc;

}  // namespace kestrum
