// The functions the client runs on the totals of all partitions: small
// k-sized and k x k-sized work, and the cluster numbering of the rows.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// covariance(hessian, meat=None, groupings=None, vcov=None, nobs=None, beta=None, names=None) -> dict of
// params, cov, columns_involved, dropped, warnings (estimation/covariance_estimate.hpp)
extern const FastCallEntry covariance;
extern const char* const kCovarianceDoc;

// fit_warnings(perfectly_predicted, out_of_range, names) -> list of warning texts
extern const FastCallEntry fit_warnings_entry;
extern const char* const kFitWarningsDoc;

// cluster_meat(score_sums) -> k x k array
extern const FastCallEntry cluster_meat_entry;
extern const char* const kClusterMeatDoc;

// parts_cluster_sums(parts, clusters) -> clusters x k array
extern const FastCallEntry parts_cluster_sums;
extern const char* const kPartsClusterSumsDoc;

// finish_effects(parts, cov) -> dict of effect, std_error, z, p
extern const FastCallEntry finish_effects;
extern const char* const kFinishEffectsDoc;

// cluster_keys(values) -> the int64 keys of the values
extern const FastCallEntry cluster_keys;

extern const char* const kClusterCodesDoc;
extern const char* const kFirstRowsDoc;
// cluster_codes(codes, extent=0) -> (numbers as int64, count)
extern const FastCallEntry cluster_codes;
// cell_meats(totals, coarser, cells_per_piece, threads) -> the meats of the cells and of each coarser grouping
extern const FastCallEntry cell_meats;
extern const char* const kCellMeatsDoc;
// value_codes(values) -> (numbers as int64, count)
extern const char* const kValueCodesDoc;
extern const FastCallEntry value_codes_entry;
// combined_codes(columns, with_first_rows=False) -> (numbers as int64, count[, first rows as int64])
extern const char* const kCombinedCodesDoc;
extern const FastCallEntry combined_codes_entry;
// first_rows(numbers) -> the rows where their running maximum rises (int64)
extern const FastCallEntry first_rows_entry;
extern const char* const kClusterKeysDoc;

// check_probit_model(model, function, argument) -> None; TypeError for a model
// whose effects the probit formulas would get wrong (interface/probit_models.hpp)
extern const FastCallEntry check_probit_model;
extern const char* const kCheckProbitModelDoc;

}  // namespace kestrum
