// NativeProbitModel and NativeProbitResults: read-only views of the records
// that fit_probit produces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interface/py_ref.hpp"

namespace kestrum {

struct ModelRecord {
  PyRef exog;   // n x k float64 output array
  PyRef endog;  // length-n float64 output array
  std::vector<std::string> exog_names;
};

struct ResultsRecord {
  PyRef params;      // length-k output array
  PyRef cov_params;  // k x k output array
  ModelRecord model;
  double loglike = 0.0;
  uint64_t iterations = 0;
  bool converged = false;
};

// A new NativeProbitResults instance that owns the record.
PyRef wrap_results(ResultsRecord&& record);

}  // namespace kestrum
