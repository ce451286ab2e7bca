// The private module kestrum_frames._native: the per-partition sums, the
// maximiser, and the client's work on the totals.
#include <Python.h>

#include "estimation/evaluation.hpp"
#include "frames_native/gather.hpp"
#include "frames_native/index_derivatives.hpp"
#include "frames_native/maximizer_type.hpp"
#include "frames_native/partition_sums.hpp"
#include "frames_native/predictions.hpp"
#include "frames_native/statistics.hpp"
#include "frames_native/totals.hpp"
#include "frames_native/within_levels.hpp"
#include "interface/call_protocol.hpp"

namespace kestrum {

namespace {

template <PyObject* (*Entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef fast_call(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

PyMethodDef functions[] = {
    fast_call<probit_sums>("probit_sums", kProbitSumsDoc),
    fast_call<cluster_score_sums_entry>("cluster_score_sums", kClusterScoreSumsDoc),
    fast_call<effect_sums>("effect_sums", kEffectSumsDoc),
    fast_call<effect_group_sums_entry>("effect_group_sums", kEffectGroupSumsDoc),
    fast_call<covariance>("covariance", kCovarianceDoc),
    fast_call<fit_warnings>("fit_warnings", kFitWarningsDoc),
    fast_call<cluster_meat_entry>("cluster_meat", kClusterMeatDoc),
    fast_call<parts_cluster_sums>("parts_cluster_sums", kPartsClusterSumsDoc),
    fast_call<grouped_parts_meats>("grouped_parts_meats", kGroupedPartsMeatsDoc),
    fast_call<finish_effects>("finish_effects", kFinishEffectsDoc),
    fast_call<check_probit_model>("check_probit_model", kCheckProbitModelDoc),
    fast_call<constant_names>("constant_names", kConstantNamesDoc),
    fast_call<delta_method_entry>("delta_method", kDeltaMethodDoc),
    fast_call<normal_interval_entry>("normal_interval", kNormalIntervalDoc),
    fast_call<significance_labels>("significance_labels", kSignificanceLabelsDoc),
    fast_call<cluster_keys>("cluster_keys", kClusterKeysDoc),
    fast_call<cluster_codes>("cluster_codes", kClusterCodesDoc),
    fast_call<first_rows_entry>("first_rows", kFirstRowsDoc),
    fast_call<gather_columns>("gather_columns", kGatherColumnsDoc),
    fast_call<row_predictions>("row_predictions", kRowPredictionsDoc),
    fast_call<demean_levels>("demean_levels", kDemeanLevelsDoc),
    fast_call<probit_at_index_entry>("probit_at_index", kProbitAtIndexDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrum_frames._native",
    "Partition sums, the probit maximiser and marginal effects for kestrum_frames.",
    0,
    functions,
    nullptr, nullptr, nullptr, nullptr,
};

// The quantity bits of probit_sums and Maximizer, under their Python names.
constexpr struct {
  const char* name;
  unsigned bit;
} kQuantities[] = {
    {"LOGLIKE", kLogLikelihood},
    {"GRADIENT", kGradient},
    {"HESSIAN", kHessian},
    {"ROBUST_MEAT", kRobustMeat},
    {"EXPECTED_HESSIAN", kExpectedHessian},
};

PyRef initialise() {
  PyRef module = checked(PyModule_Create(&module_definition));
  for (const auto& quantity : kQuantities) {
    check_status(PyModule_AddIntConstant(module.get(), quantity.name, quantity.bit));
  }
  PyRef levels = significance_levels();
  if (PyModule_AddObject(module.get(), "SIGNIFICANCE_LEVELS", levels.get()) < 0) throw_python_error();
  levels.release();  // the module holds it now
  PyObject* type = reinterpret_cast<PyObject*>(maximizer_type());
  Py_INCREF(type);
  if (PyModule_AddObject(module.get(), "Maximizer", type) < 0) {
    Py_DECREF(type);
    throw_python_error();
  }
  return module;
}

}  // namespace

}  // namespace kestrum

// The init function's name is fixed by the module's, kestrum_frames._native.
PyMODINIT_FUNC PyInit__native(void) {  // NOLINT(bugprone-reserved-identifier)
  return kestrum::guarded_call(kestrum::initialise);
}
