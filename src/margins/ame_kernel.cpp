#include "margins/ame_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/array_view.hpp"
#include "numeric/normal.hpp"

namespace kestrum {

namespace {

// Rows evaluated together inside a block: the per-row arithmetic runs over
// arrays of this length, whatever the caller's block size.
constexpr size_t kTileRows = 256;

// Running totals S (k) and G (k x k), and the sums of the block in progress.
class Accumulator {
 public:
  Accumulator(size_t k, const std::vector<RegressorKind>& kinds)
      : k_(k), kinds_(kinds), effect_(k), gradient_(k, k), block_cdf1_(k), block_cdf0_(k), block_gradient_(k, k),
        weighted_index_(k) {}

  template <class View>
  void add_tile(const View& X, size_t start, size_t count, const Vector& beta) {
    double xb[kTileRows], pdf[kTileRows];
    std::fill(xb, xb + count, 0.0);
    for (size_t m = 0; m < k_; ++m) {
      const double coefficient = beta[m];
      for (size_t b = 0; b < count; ++b) xb[b] += X(start + b, m) * coefficient;
    }
    for (size_t b = 0; b < count; ++b) pdf[b] = normal_pdf(xb[b]);

    // Continuous regressors share sum phi(xb) and sum (xb x_m) phi(xb).
    for (size_t b = 0; b < count; ++b) pdf_sum_ += pdf[b];
    for (size_t m = 0; m < k_; ++m) {
      double sum = 0.0;
      for (size_t b = 0; b < count; ++b) sum += (xb[b] * X(start + b, m)) * pdf[b];
      weighted_index_[m] += sum;
    }

    for (size_t j = 0; j < k_; ++j) {
      if (kinds_[j] == RegressorKind::indicator) add_indicator_tile(X, start, count, beta, xb, j);
    }
  }

  // Adds the sums of the finished block to the running totals.
  void close_block(const Vector& beta) {
    for (size_t j = 0; j < k_; ++j) {
      if (kinds_[j] == RegressorKind::indicator) {
        effect_[j] = (block_cdf1_[j] - block_cdf0_[j]) + effect_[j];
        for (size_t m = 0; m < k_; ++m) gradient_(j, m) = block_gradient_(j, m) + gradient_(j, m);
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
    block_gradient_ = Matrix(k_, k_);
    weighted_index_ = Vector(k_);
    pdf_sum_ = 0.0;
  }

  const Vector& effect_sums() const { return effect_; }
  const Matrix& gradient_sums() const { return gradient_; }

 private:
  template <class View>
  void add_indicator_tile(const View& X, size_t start, size_t count, const Vector& beta, const double* xb,
                          size_t j) {
    double cdf1[kTileRows], cdf0[kTileRows], pdf1[kTileRows], pdf0[kTileRows];
    for (size_t b = 0; b < count; ++b) {
      const double x = X(start + b, j);
      const double xb1 = xb[b] + (1.0 - x) * beta[j];
      const double xb0 = xb[b] + (-x) * beta[j];
      cdf1[b] = normal_cdf(xb1);
      cdf0[b] = normal_cdf(xb0);
      pdf1[b] = normal_pdf(xb1);
      pdf0[b] = normal_pdf(xb0);
    }
    for (size_t b = 0; b < count; ++b) block_cdf1_[j] += cdf1[b];
    for (size_t b = 0; b < count; ++b) block_cdf0_[j] += cdf0[b];
    for (size_t m = 0; m < k_; ++m) {
      double g = 0.0;
      if (m == j) {
        for (size_t b = 0; b < count; ++b) g += pdf1[b];
      } else {
        for (size_t b = 0; b < count; ++b) g += (pdf1[b] - pdf0[b]) * X(start + b, m);
      }
      block_gradient_(j, m) += g;
    }
  }

  size_t k_;
  const std::vector<RegressorKind>& kinds_;
  Vector effect_;
  Matrix gradient_;
  Vector block_cdf1_;  // sum Phi(xb1) of each indicator over the block
  Vector block_cdf0_;  // sum Phi(xb0)
  Matrix block_gradient_;
  Vector weighted_index_;
  double pdf_sum_ = 0.0;
};

}  // namespace

template <class View>
std::vector<MarginalEffect> average_marginal_effects(const View& X, size_t rows, const Vector& beta,
                                                     const Matrix& cov, const std::vector<RegressorKind>& kinds,
                                                     size_t block_rows) {
  const size_t k = kinds.size();
  Accumulator totals(k, kinds);
  for (size_t block = 0; block < rows;) {
    const size_t count = std::min(block_rows, rows - block);  // never overflows, whatever block_rows is
    if (beta.size() != k) shape_failure("matrix-vector product", count, k, beta.size(), 1);
    for (size_t tile = block; tile < block + count; tile += kTileRows) {
      totals.add_tile(X, tile, std::min(kTileRows, block + count - tile), beta);
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
