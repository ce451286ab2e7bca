#include "numeric/invert.hpp"

#include <cmath>
#include <utility>

#include "panic.hpp"

namespace kestrum {

std::optional<Matrix> invert_matrix(const Matrix& h) {
  KESTRUM_ASSERT(h.rows() == h.cols());
  const size_t k = h.rows();
  const size_t width = 2 * k;
  Matrix a(k, width);
  for (size_t r = 0; r < k; ++r) {
    for (size_t j = 0; j < k; ++j) a(r, j) = h(r, j);
    a(r, k + r) = 1.0;
  }

  // Forward phase: pivot, scale the pivot row, clear the column below it.
  for (size_t c = 0; c < k; ++c) {
    size_t pivot = c;
    double largest = std::fabs(a(c, c));
    for (size_t r = c + 1; r < k; ++r) {
      if (std::fabs(a(r, c)) > largest) {  // strict: ties keep the upper row, NaN never wins
        largest = std::fabs(a(r, c));
        pivot = r;
      }
    }
    if (largest < kSingularPivot) return std::nullopt;
    if (pivot != c) {
      for (size_t j = 0; j < width; ++j) std::swap(a(pivot, j), a(c, j));
    }
    const double v = a(c, c);
    for (size_t j = c; j < width; ++j) a(c, j) /= v;
    for (size_t r = c + 1; r < k; ++r) {
      const double f = a(r, c);
      for (size_t j = c; j < width; ++j) a(r, j) -= a(c, j) * f;
    }
  }
  // Backward phase: clear above the unit diagonal.
  for (size_t c = k; c-- > 1;) {
    for (size_t r = 0; r < c; ++r) {
      const double f = a(r, c);
      for (size_t j = c; j < width; ++j) a(r, j) -= a(c, j) * f;
    }
  }

  Matrix inverse(k, k);
  for (size_t r = 0; r < k; ++r) {
    for (size_t j = 0; j < k; ++j) inverse(r, j) = a(r, k + j);
  }
  return inverse;
}

}  // namespace kestrum
