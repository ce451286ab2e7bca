// Fitted probabilities of a probit model with delta-method standard errors,
// row by row over X in place.
//
// With xb_i = x_i'beta and V the covariance of beta:
//   s_i  = sqrt(x_i' V x_i)             the standard error of the linear index,
//   p_i  = Phi(xb_i)                    the fitted probability,
//   se_i = phi(xb_i) s_i                its delta-method standard error
//                                       (d Phi(x'b) / db = phi(x'b) x).
// A finite x_i'V x_i below 0 (rounding, V being semi-definite) counts as 0;
// a row holding a NaN gives NaN throughout.
#pragma once

#include <cstddef>

#include "numeric/matrix.hpp"

namespace kestrum {

struct RowPredictions {
  Vector index;           // xb_i
  Vector index_se;        // s_i
  Vector probability;     // p_i
  Vector probability_se;  // se_i
};

// X is rows x k (any strides), beta k, cov k x k.
RowPredictions predict_rows(const MatrixView& X, const Vector& beta, const Matrix& cov);

}  // namespace kestrum
