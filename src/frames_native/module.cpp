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
#include "estimation/covariance.hpp"
#include "frames_native/totals.hpp"
#include "frames_native/within_levels.hpp"
#include "interface/call_protocol.hpp"

namespace kestrum {

namespace {

PyMethodDef functions[] = {
    fast_call_method("probit_sums", probit_sums, kProbitSumsDoc),
    fast_call_method("cluster_score_sums", cluster_score_sums_entry, kClusterScoreSumsDoc),
    fast_call_method("cell_score_meats", cell_score_meats_entry, kCellScoreMeatsDoc),
    fast_call_method("effect_sums", effect_sums, kEffectSumsDoc),
    fast_call_method("effect_group_sums", effect_group_sums_entry, kEffectGroupSumsDoc),
    fast_call_method("covariance", covariance, kCovarianceDoc),
    fast_call_method("fit_warnings", fit_warnings_entry, kFitWarningsDoc),
    fast_call_method("cluster_meat", cluster_meat_entry, kClusterMeatDoc),
    fast_call_method("parts_cluster_sums", parts_cluster_sums, kPartsClusterSumsDoc),
    fast_call_method("cell_meats", cell_meats, kCellMeatsDoc),
    fast_call_method("finish_effects", finish_effects, kFinishEffectsDoc),
    fast_call_method("check_probit_model", check_probit_model, kCheckProbitModelDoc),
    fast_call_method("constant_names", constant_names, kConstantNamesDoc),
    fast_call_method("delta_method", delta_method_entry, kDeltaMethodDoc),
    fast_call_method("normal_interval", normal_interval_entry, kNormalIntervalDoc),
    fast_call_method("significance_labels", significance_labels, kSignificanceLabelsDoc),
    fast_call_method("cluster_keys", cluster_keys, kClusterKeysDoc),
    fast_call_method("cluster_codes", cluster_codes, kClusterCodesDoc),
    fast_call_method("value_codes", value_codes_entry, kValueCodesDoc),
    fast_call_method("combined_codes", combined_codes_entry, kCombinedCodesDoc),
    fast_call_method("first_rows", first_rows_entry, kFirstRowsDoc),
    fast_call_method("gather_columns", gather_columns, kGatherColumnsDoc),
    fast_call_method("row_predictions", row_predictions, kRowPredictionsDoc),
    fast_call_method("demean_levels", demean_levels, kDemeanLevelsDoc),
    fast_call_method("newton_trial", newton_trial_entry, kNewtonTrialDoc),
    fast_call_method("sweep_levels", sweep_levels_entry, kSweepLevelsDoc),
    fast_call_method("probit_at_index", probit_at_index_entry, kProbitAtIndexDoc),
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
  check_status(PyModule_AddIntConstant(module.get(), "MODEL_WIDE_ROWS_PER_CLUSTER",
                                       static_cast<long>(kModelWideRowsPerCluster)));
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
