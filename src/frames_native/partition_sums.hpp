// The functions a task runs on one partition: the sums of one pass over its
// rows at a given beta. Each hands the interpreter lock back while it runs.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// probit_sums(y, X, beta, quantities, weights=None) -> dict (sums_exchange.hpp)
extern const FastCallEntry probit_sums;
extern const char* const kProbitSumsDoc;

// cluster_score_sums(y, X, beta, cluster_of, clusters, weights=None, single_row_meat=False)
//   -> clusters x k array, or a list of them; with single_row_meat, (k x k meat, those)
extern const FastCallEntry cluster_score_sums_entry;
extern const char* const kClusterScoreSumsDoc;

// cell_score_meats(partitions, beta, cells, coarser, cells_per_piece, threads) -> list of k x k meats:
//   cell_meats of the partitions' cell score sums added in partition order (estimation/covariance.hpp)
extern const FastCallEntry cell_score_meats_entry;
extern const char* const kCellScoreMeatsDoc;

// effect_sums(X, beta, excluded, block_rows) -> dict (sums_exchange.hpp)
extern const FastCallEntry effect_sums;
extern const char* const kEffectSumsDoc;

// effect_group_sums(kind, link, X, z, beta, columns, A, B, group, groups) -> (values, gradients)
extern const FastCallEntry effect_group_sums_entry;
extern const char* const kEffectGroupSumsDoc;

}  // namespace kestrum
