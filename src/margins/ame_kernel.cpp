#include "margins/ame_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/array_view.hpp"
#include "numeric/normal.hpp"
#include "numeric/tile_kernels.hpp"
#include "numeric/vector_math.hpp"

namespace kestrum {

namespace {

// Rows evaluated together inside a block: the per-row arithmetic runs over
// arrays of this length, whatever the caller's block size.
constexpr size_t kTileRows = 256;

// A tile of an element-strided matrix is read in place; one of a view with
// byte strides is first copied into row-major scratch.
TileRows tile_of(const MatrixView& X, size_t start, size_t count, std::vector<double>&) {
  return TileRows{X, start, count};
}
TileRows tile_of(const ArrayView& X, size_t start, size_t count, std::vector<double>& scratch) {
  const size_t k = X.cols();
  for (size_t b = 0; b < count; ++b) {
    for (size_t j = 0; j < k; ++j) scratch[b * k + j] = X(start + b, j);
  }
  return TileRows{MatrixView{scratch.data(), count, k, static_cast<ptrdiff_t>(k), 1}, 0, count};
}

// Running totals S (k) and G (k x k), and the sums of the block in progress.
class Accumulator {
 public:
  Accumulator(size_t k, const std::vector<RegressorKind>& kinds)
      : k_(k), kinds_(kinds), effect_(k), gradient_(k, k), block_cdf1_(k), block_cdf0_(k), block_pdf1_(k),
        block_gradient_(k, k), weighted_index_(k) {}

  void add_tile(const TileRows& rows, const Vector& beta) {
    double xb[kTileRows], pdf[kTileRows];
    tile_linear_index(rows, beta.data(), xb);
    normal_pdf_array(xb, pdf, rows.count);

    // Continuous regressors share sum phi(xb) and sum (xb x_m) phi(xb).
    for (size_t b = 0; b < rows.count; ++b) pdf_sum_ += pdf[b];
    add_scaled_rows(weighted_index_.data(), rows, xb, pdf);

    for (size_t j = 0; j < k_; ++j) {
      if (kinds_[j] == RegressorKind::indicator) add_indicator_tile(rows, beta, xb, j);
    }
  }

  // Adds the sums of the finished block to the running totals.
  void close_block(const Vector& beta) {
    for (size_t j = 0; j < k_; ++j) {
      if (kinds_[j] == RegressorKind::indicator) {
        effect_[j] = (block_cdf1_[j] - block_cdf0_[j]) + effect_[j];
        for (size_t m = 0; m < k_; ++m) {
          const double g = m == j ? block_pdf1_[j] : block_gradient_(j, m);
          gradient_(j, m) = g + gradient_(j, m);
        }
      } else if (kinds_[j] == RegressorKind::continuous) {
        effect_[j] = pdf_sum_ * beta[j] + effect_[j];
        for (size_t m = 0; m < k_; ++m) {
          const double t = weighted_index_[m] * (-beta[j]);
          gradient_(j, m) = (m == j ? pdf_sum_ + t : t) + gradient_(j, m);
        }
      }
    }
    block_cdf1_ = Vector(k_);
    block_cdf0_ = Vector(k_);
    block_pdf1_ = Vector(k_);
    block_gradient_ = Matrix(k_, k_);
    weighted_index_ = Vector(k_);
    pdf_sum_ = 0.0;
  }

  const Vector& effect_sums() const { return effect_; }
  const Matrix& gradient_sums() const { return gradient_; }

 private:
  // xb1 and xb0: the linear index with x_j set to 1 and to 0, by correcting xb.
  void add_indicator_tile(const TileRows& rows, const Vector& beta, const double* xb, size_t j) {
    double xb1[kTileRows], xb0[kTileRows], cdf1[kTileRows], cdf0[kTileRows], pdf1[kTileRows], pdf0[kTileRows];
    for (size_t b = 0; b < rows.count; ++b) {
      const double x = rows(b, j);
      xb1[b] = xb[b] + (1.0 - x) * beta[j];
      xb0[b] = xb[b] + (-x) * beta[j];
    }
    normal_cdf_array(xb1, cdf1, rows.count);
    normal_cdf_array(xb0, cdf0, rows.count);
    normal_pdf_array(xb1, pdf1, rows.count);
    normal_pdf_array(xb0, pdf0, rows.count);
    for (size_t b = 0; b < rows.count; ++b) {
      block_cdf1_[j] += cdf1[b];
      block_cdf0_[j] += cdf0[b];
      block_pdf1_[j] += pdf1[b];
    }
    // d/d beta_m of Phi(xb1) - Phi(xb0) is (phi(xb1) - phi(xb0)) x_m for
    // m != j, and phi(xb1) for m = j (x_j is 1 in xb1 and 0 in xb0).
    double difference[kTileRows];
    for (size_t b = 0; b < rows.count; ++b) difference[b] = pdf1[b] - pdf0[b];
    add_scaled_rows(block_gradient_.row(j), rows, difference);
  }

  size_t k_;
  const std::vector<RegressorKind>& kinds_;
  Vector effect_;
  Matrix gradient_;
  Vector block_cdf1_;  // per indicator: sum Phi(xb1) over the block
  Vector block_cdf0_;  // sum Phi(xb0)
  Vector block_pdf1_;  // sum phi(xb1)
  Matrix block_gradient_;
  Vector weighted_index_;  // sum (xb x_m) phi(xb) over the block
  double pdf_sum_ = 0.0;   // sum phi(xb) over the block
};

}  // namespace

template <class View>
std::vector<MarginalEffect> average_marginal_effects(const View& X, size_t rows, const Vector& beta,
                                                     const Matrix& cov, const std::vector<RegressorKind>& kinds,
                                                     size_t block_rows) {
  const size_t k = kinds.size();
  Accumulator totals(k, kinds);
  std::vector<double> scratch(std::is_same_v<View, ArrayView> ? kTileRows * k : 0);
  for (size_t block = 0; block < rows;) {
    const size_t count = std::min(block_rows, rows - block);  // never overflows, whatever block_rows is
    if (beta.size() != k) shape_failure("matrix-vector product", count, k, beta.size(), 1);
    for (size_t tile = block; tile < block + count; tile += kTileRows) {
      totals.add_tile(tile_of(X, tile, std::min(kTileRows, block + count - tile), scratch), beta);
    }
    totals.close_block(beta);
    block += count;
  }

  const double n = static_cast<double>(rows);
  Matrix jacobian(k, k);
  for (size_t j = 0; j < k; ++j) {
    for (size_t m = 0; m < k; ++m) jacobian(j, m) = totals.gradient_sums()(j, m) / n;
  }
  const Matrix variance = multiply_transposed(multiply(jacobian, cov), jacobian);

  std::vector<MarginalEffect> effects(k);
  for (size_t j = 0; j < k; ++j) {
    MarginalEffect& e = effects[j];
    e.effect = totals.effect_sums()[j] / n;
    const double v = variance(j, j) > 0.0 ? variance(j, j) : 0.0;
    e.std_error = std::sqrt(v);
    e.z = e.std_error > 0.0 ? e.effect / e.std_error : std::numeric_limits<double>::quiet_NaN();
    const double q = normal_cdf(std::fabs(e.z));
    e.p = (1.0 - q) + (1.0 - q);
  }
  return effects;
}

template std::vector<MarginalEffect> average_marginal_effects(const MatrixView&, size_t, const Vector&, const Matrix&,
                                                              const std::vector<RegressorKind>&, size_t);
template std::vector<MarginalEffect> average_marginal_effects(const ArrayView&, size_t, const Vector&, const Matrix&,
                                                              const std::vector<RegressorKind>&, size_t);

}  // namespace kestrum
