// Fitted probabilities with their standard errors, for the rows of one
// partition or of new data. Hands the interpreter lock back while it runs.
#pragma once

#include <Python.h>

namespace kestrum {

// row_predictions(X, beta, cov) -> dict of index, index_se, probability, probability_se
PyObject* row_predictions(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kRowPredictionsDoc;

}  // namespace kestrum
