// The functions the client runs on the totals of all partitions: small
// k-sized and k x k-sized work, and the cluster numbering of the rows.
#pragma once

#include <Python.h>

namespace kestrum {

// covariance(hessian, meat=None, groupings=None, vcov=None, nobs=None, beta=None, names=None) -> dict of
// params, cov, columns_involved, dropped, warnings (estimation/covariance_estimate.hpp)
PyObject* covariance(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kCovarianceDoc;

// fit_warnings(perfectly_predicted, out_of_range, names) -> list of warning texts
PyObject* fit_warnings(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kFitWarningsDoc;

// cluster_meat(score_sums) -> k x k array
PyObject* cluster_meat_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kClusterMeatDoc;

// parts_cluster_sums(parts, clusters) -> clusters x k array
PyObject* parts_cluster_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kPartsClusterSumsDoc;

// finish_effects(parts, cov) -> dict of effect, std_error, z, p
PyObject* finish_effects(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kFinishEffectsDoc;

// cluster_keys(values) -> the int64 keys of the values
PyObject* cluster_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char* const kClusterCodesDoc;
extern const char* const kGroupedPartsMeatsDoc;
extern const char* const kFirstRowsDoc;
// cluster_codes(codes, extent=0) -> (numbers as int64, count)
PyObject* cluster_codes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// grouped_parts_meats(parts, groupings) -> the meat of each grouping of the parts' rows
PyObject* grouped_parts_meats(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// first_rows(numbers) -> the rows where their running maximum rises (int64)
PyObject* first_rows_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kClusterKeysDoc;

// check_probit_model(model, function, argument) -> None; TypeError for a model
// whose effects the probit formulas would get wrong (interface/probit_models.hpp)
PyObject* check_probit_model(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kCheckProbitModelDoc;

}  // namespace kestrum
