// The texts of the warnings about a fit and its covariance, composed from
// the statuses of the core with the names of the calling module: the one
// place both modules' texts are written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "estimation/covariance_estimate.hpp"

namespace kestrum {

// How a module names its columns and its cluster argument.
struct MessageNames {
  const std::vector<std::string>& columns;  // one per column of X
  const char* cluster_argument;             // kestrum: "cluster_vars"
  const char* cluster_noun;                 // what it names: "variable", "column"
};

// x0, x1, ...: the names of k columns that have none.
std::vector<std::string> numbered_names(size_t k);

// The maximiser's: perfect separation, then regressors out of range.
std::vector<std::string> fit_warnings(uint64_t perfectly_predicted, const std::vector<size_t>& out_of_range,
                                      const MessageNames& names);

// The covariance's, in this order: a singular Hessian (all NaN, or the
// columns dropped when the estimate has dropped some), a single cluster, a
// several-grouping V that was not positive semi-definite.
std::vector<std::string> covariance_warnings(const CovarianceEstimate& estimate, const MessageNames& names);

}  // namespace kestrum
