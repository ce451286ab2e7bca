// The back half of fit_probit: optimise, estimate the covariance, assemble
// the NativeProbitResults.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "estimation/clusters.hpp"
#include "interface/py_ref.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

struct EstimationInputs {
  StridedArray y;  // owned copy, length nobs; becomes model.endog
  StridedArray X;  // owned copy, nobs x k, caller's layout; becomes model.exog
  uint64_t max_iter = 35;
  double tol = 1e-6;
  bool robust = false;
  std::optional<ClusterAssignment> clusters;  // with robust: cluster-robust covariance
};

PyRef run_estimation(EstimationInputs&& inputs);

}  // namespace kestrum
