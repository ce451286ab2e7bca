// Rank-revealing factorisation of a symmetric positive semidefinite matrix.
//
// M is first equilibrated, A = D M D with D = diag(M_jj)^(-1/2), so that the
// decision does not depend on the columns' units; then the pivoted Cholesky
// factorisation P' A P = L L' (Higham, Accuracy and Stability of Numerical
// Algorithms, 2nd ed., Algorithm 10.2) takes at each step the column with the
// largest remaining diagonal, and stops when that is below kRankTolerance
// (the diagonal of A is 1): what remains is a linear combination of the
// columns already taken, to working precision. A column with M_jj <= 0 has
// no variation at all and is left out from the start.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/matrix.hpp"

namespace kestrum {

// The remaining diagonal is 1 - R^2 of a column regressed (in the metric of
// M) on the columns taken before it.
inline constexpr double kRankTolerance = 1e-10;

class SymmetricFactor {
 public:
  explicit SymmetricFactor(const Matrix& m) : SymmetricFactor(m, m) {}
  // Equilibrated with the diagonal of `reference` instead of m's own: a
  // column that m has lost against the reference is then left out.
  SymmetricFactor(const Matrix& m, const Matrix& reference);

  size_t size() const noexcept { return k_; }
  size_t rank() const noexcept { return rank_; }
  bool full_rank() const noexcept { return rank_ == k_; }
  // The columns left out, in increasing order.
  std::vector<size_t> dependent_columns() const;
  // The columns left out and the columns they are combinations of.
  std::vector<size_t> columns_involved() const;

  // x with M x = b on the columns taken and 0 on the others: M^-1 b when M
  // has full rank, a generalised inverse otherwise.
  Vector solve(const Vector& b) const;
  // The k x k matrix of the same generalised inverse; exactly symmetric.
  Matrix inverse() const;

 private:
  size_t k_ = 0;
  size_t rank_ = 0;
  Vector scale_;                // D
  std::vector<size_t> order_;   // P: order_[i] is the column in position i
  Matrix factor_;               // L in its first rank_ columns, positions as in order_
};

}  // namespace kestrum
