#include "numeric/symmetric_factor.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "panic.hpp"

namespace kestrum {

namespace {

// In columns_involved, a coefficient of a dependent column on a column taken
// counts when it is above this (in the equilibrated units).
constexpr double kInvolvedCoefficient = 1e-8;

}  // namespace

SymmetricFactor::SymmetricFactor(const Matrix& m, const Matrix& reference)
    : k_(m.rows()), scale_(m.rows()), order_(m.rows()) {
  KESTRUM_ASSERT(m.cols() == k_ && reference.rows() == k_ && reference.cols() == k_);
  Matrix a(k_, k_);
  bool finite = true;
  for (size_t j = 0; j < k_; ++j) {
    order_[j] = j;
    const double diagonal = reference(j, j);
    scale_[j] = diagonal > 0.0 && std::isfinite(diagonal) ? 1.0 / std::sqrt(diagonal) : 0.0;
    for (size_t c = 0; c < k_; ++c) finite = finite && std::isfinite(m(j, c));
  }
  factor_ = Matrix(k_, k_);
  if (!finite) return;  // rank 0: nothing can be trusted
  for (size_t r = 0; r < k_; ++r) {
    for (size_t c = 0; c < k_; ++c) a(r, c) = (scale_[r] * m(r, c)) * scale_[c];
  }

  // a holds the trailing Schur complement, rows and columns in the order of order_.
  for (size_t i = 0; i < k_; ++i) {
    size_t pivot = i;
    for (size_t r = i + 1; r < k_; ++r) {
      if (a(r, r) > a(pivot, pivot)) pivot = r;
    }
    if (!(a(pivot, pivot) > kRankTolerance)) break;
    if (pivot != i) {
      std::swap(order_[i], order_[pivot]);
      for (size_t c = 0; c < k_; ++c) std::swap(a(i, c), a(pivot, c));
      for (size_t r = 0; r < k_; ++r) std::swap(a(r, i), a(r, pivot));
      for (size_t c = 0; c < i; ++c) std::swap(factor_(i, c), factor_(pivot, c));
    }
    const double root = std::sqrt(a(i, i));
    factor_(i, i) = root;
    for (size_t r = i + 1; r < k_; ++r) factor_(r, i) = a(r, i) / root;
    for (size_t r = i + 1; r < k_; ++r) {
      for (size_t c = i + 1; c < k_; ++c) a(r, c) = a(r, c) - factor_(r, i) * factor_(c, i);
    }
    rank_ = i + 1;
  }
}

std::vector<size_t> SymmetricFactor::dependent_columns() const {
  std::vector<size_t> columns(order_.begin() + static_cast<ptrdiff_t>(rank_), order_.end());
  std::sort(columns.begin(), columns.end());
  return columns;
}

// A dependent column in position p is L_p. (its row of L over the columns
// taken) in the factor's coordinates, so its coefficients on the columns
// taken solve L' c = L_p.
std::vector<size_t> SymmetricFactor::columns_involved() const {
  std::vector<bool> involved(k_, false);
  for (size_t p = rank_; p < k_; ++p) {
    involved[order_[p]] = true;
    Vector c(rank_);
    for (size_t i = rank_; i-- > 0;) {
      double sum = factor_(p, i);
      for (size_t r = i + 1; r < rank_; ++r) sum -= factor_(r, i) * c[r];
      c[i] = sum / factor_(i, i);
    }
    for (size_t i = 0; i < rank_; ++i) {
      if (std::fabs(c[i]) > kInvolvedCoefficient) involved[order_[i]] = true;
    }
  }
  std::vector<size_t> columns;
  for (size_t j = 0; j < k_; ++j) {
    if (involved[j]) columns.push_back(j);
  }
  return columns;
}

// M = D^-1 P L L' P' D^-1 on the columns taken, so x = D P L'^-1 L^-1 P' D b.
Vector SymmetricFactor::solve(const Vector& b) const {
  Vector u(rank_);
  for (size_t i = 0; i < rank_; ++i) {
    double sum = scale_[order_[i]] * b[order_[i]];
    for (size_t c = 0; c < i; ++c) sum -= factor_(i, c) * u[c];
    u[i] = sum / factor_(i, i);
  }
  for (size_t i = rank_; i-- > 0;) {
    double sum = u[i];
    for (size_t r = i + 1; r < rank_; ++r) sum -= factor_(r, i) * u[r];
    u[i] = sum / factor_(i, i);
  }
  Vector x(k_);
  for (size_t i = 0; i < rank_; ++i) x[order_[i]] = scale_[order_[i]] * u[i];
  return x;
}

// With V = L^-1 (lower triangular), A^-1 = V' V on the columns taken; one
// triangle is computed and mirrored, so the result is exactly symmetric.
Matrix SymmetricFactor::inverse() const {
  Matrix v(rank_, rank_);
  for (size_t c = 0; c < rank_; ++c) {
    v(c, c) = 1.0 / factor_(c, c);
    for (size_t i = c + 1; i < rank_; ++i) {
      double sum = 0.0;
      for (size_t r = c; r < i; ++r) sum -= factor_(i, r) * v(r, c);
      v(i, c) = sum / factor_(i, i);
    }
  }
  Matrix inverse(k_, k_);
  for (size_t a = 0; a < rank_; ++a) {
    for (size_t b = a; b < rank_; ++b) {
      double sum = 0.0;
      for (size_t r = b; r < rank_; ++r) sum += v(r, a) * v(r, b);
      const size_t row = std::min(order_[a], order_[b]), col = std::max(order_[a], order_[b]);
      inverse(row, col) = (scale_[row] * sum) * scale_[col];
      inverse(col, row) = inverse(row, col);
    }
  }
  return inverse;
}

}  // namespace kestrum
