// Eigenvalues and eigenvectors of a small symmetric matrix.
#pragma once

#include "numeric/matrix.hpp"

namespace kestrum {

// A = U diag(values) U' with U orthogonal (column j of vectors is the
// eigenvector of values[j]), by cyclic Jacobi rotations (Golub and Van Loan,
// Matrix Computations, 4th ed., Algorithm 8.5.3) until the off-diagonal part
// is negligible against the diagonal. A must be finite; it is read as
// symmetric from its upper triangle.
struct SymmetricEigen {
  Vector values;
  Matrix vectors;
};
SymmetricEigen symmetric_eigen(const Matrix& a);

}  // namespace kestrum
