#include "margins/prediction_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "numeric/tile_kernels.hpp"
#include "numeric/tile_source.hpp"
#include "numeric/vector_math.hpp"

namespace kestrum {

namespace {

// x'Vx for one row x (k values), V symmetric: sum_a x_a (sum_c V_ac x_c).
double quadratic_form(const double* x, const Matrix& cov) {
  const size_t k = cov.rows();
  double total = 0.0;
  for (size_t a = 0; a < k; ++a) {
    const double* v = cov.row(a);
    double inner = 0.0;
    for (size_t c = 0; c < k; ++c) inner += v[c] * x[c];
    total += x[a] * inner;
  }
  return total;
}

}  // namespace

RowPredictions predict_rows(const MatrixView& X, const Vector& beta, const Matrix& cov) {
  const size_t n = X.rows, k = X.cols;
  RowPredictions out{Vector(n), Vector(n), Vector(n), Vector(n)};
  std::vector<double> row(k);
  double pdf[kTileRows];
  for (size_t start = 0; start < n; start += kTileRows) {
    const TileRows tile{X, start, std::min(kTileRows, n - start)};
    double* xb = out.index.data() + start;
    tile_linear_index(tile, beta.data(), xb);
    normal_cdf_array(xb, out.probability.data() + start, tile.count);
    normal_pdf_array(xb, pdf, tile.count);
    for (size_t b = 0; b < tile.count; ++b) {
      for (size_t j = 0; j < k; ++j) row[j] = tile(b, j);
      const double variance = quadratic_form(row.data(), cov);
      const double se = std::isnan(variance) ? variance : std::sqrt(std::max(variance, 0.0));
      out.index_se[start + b] = se;
      out.probability_se[start + b] = pdf[b] * se;
    }
  }
  return out;
}

}  // namespace kestrum
