#include "numeric/symmetric_eigen.hpp"

#include <cmath>
#include <limits>

namespace kestrum {

namespace {

// Sweeps after which the rotations have converged for any matrix a
// covariance gives (quadratic convergence sets in after a few).
constexpr int kMaxSweeps = 100;

double off_diagonal_norm(const Matrix& a) {
  double sum = 0.0;
  for (size_t p = 0; p < a.rows(); ++p) {
    for (size_t q = p + 1; q < a.rows(); ++q) sum += 2.0 * a(p, q) * a(p, q);
  }
  return std::sqrt(sum);
}

double frobenius_norm(const Matrix& a) {
  double sum = 0.0;
  for (size_t p = 0; p < a.rows(); ++p) {
    for (size_t q = 0; q < a.rows(); ++q) sum += a(p, q) * a(p, q);
  }
  return std::sqrt(sum);
}

// A <- J' A J and V <- V J for the rotation J in the plane (p, q) that
// zeroes A(p, q): with theta = (a_qq - a_pp) / (2 a_pq), t = tan of the
// angle is the smaller root of t^2 + 2 theta t - 1 = 0.
void rotate(Matrix& a, Matrix& v, size_t p, size_t q) {
  const double apq = a(p, q);
  if (apq == 0.0) return;
  const double theta = (a(q, q) - a(p, p)) / (2.0 * apq);
  const double t = std::copysign(1.0, theta) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
  const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
  const size_t n = a.rows();
  for (size_t r = 0; r < n; ++r) {  // columns p and q of A J
    const double arp = a(r, p), arq = a(r, q);
    a(r, p) = c * arp - s * arq;
    a(r, q) = s * arp + c * arq;
  }
  for (size_t r = 0; r < n; ++r) {  // rows p and q of J' (A J)
    const double apr = a(p, r), aqr = a(q, r);
    a(p, r) = c * apr - s * aqr;
    a(q, r) = s * apr + c * aqr;
  }
  a(p, q) = a(q, p) = 0.0;
  for (size_t r = 0; r < n; ++r) {
    const double vrp = v(r, p), vrq = v(r, q);
    v(r, p) = c * vrp - s * vrq;
    v(r, q) = s * vrp + c * vrq;
  }
}

}  // namespace

SymmetricEigen symmetric_eigen(const Matrix& m) {
  const size_t n = m.rows();
  Matrix a(n, n);
  for (size_t p = 0; p < n; ++p) {
    for (size_t q = p; q < n; ++q) a(p, q) = a(q, p) = m(p, q);
  }
  Matrix v = Matrix::identity(n);
  const double negligible = std::numeric_limits<double>::epsilon() * frobenius_norm(a);
  for (int sweep = 0; sweep < kMaxSweeps && off_diagonal_norm(a) > negligible; ++sweep) {
    for (size_t p = 0; p + 1 < n; ++p) {
      for (size_t q = p + 1; q < n; ++q) rotate(a, v, p, q);
    }
  }
  Vector values(n);
  for (size_t j = 0; j < n; ++j) values[j] = a(j, j);
  return SymmetricEigen{std::move(values), std::move(v)};
}

}  // namespace kestrum
