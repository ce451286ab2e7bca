// Inversion of a small square matrix.
#pragma once

#include <optional>

#include "numeric/matrix.hpp"

namespace kestrum {

// A pivot whose magnitude is below this is taken as zero: the matrix is singular.
inline constexpr double kSingularPivot = 1e-14;

// Gauss-Jordan elimination with partial pivoting on [H | I]. Returns the
// inverse, or nothing when a column has no pivot of magnitude >= kSingularPivot.
std::optional<Matrix> invert_matrix(const Matrix& h);

}  // namespace kestrum
