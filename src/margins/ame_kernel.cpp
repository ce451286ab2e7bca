#include "margins/ame_kernel.hpp"

#include <algorithm>
#include <cmath>

#include "margins/delta_method.hpp"
#include "numeric/normal.hpp"
#include "numeric/tile_kernels.hpp"
#include "numeric/tile_source.hpp"
#include "numeric/vector_math.hpp"

namespace kestrum {

namespace {

// Rows between two calls of the interrupt check (a few milliseconds of work).
constexpr size_t kInterruptRows = size_t{1} << 16;

// Whether every x[b] compares equal to 0.0 or 1.0 (a NaN does not).
bool all_binary(const double* x, size_t count) {
  bool binary = true;
  for (size_t b = 0; b < count; ++b) binary &= (x[b] == 0.0) | (x[b] == 1.0);
  return binary;
}

// Running totals S (k) and G (k x k), and the sums of the block in progress.
// A column that may be an indicator keeps the totals of both readings until
// one of its values rules the indicator reading out.
class Accumulator {
 public:
  Accumulator(size_t k, const std::vector<RegressorKind>& kinds)
      : k_(k), kinds_(kinds), open_(k, false), continuous_effect_(k), continuous_gradient_(k, k),
        indicator_effect_(k), indicator_gradient_(k, k), block_cdf1_(k), block_cdf0_(k), block_pdf1_(k),
        block_gradient_(k, k), weighted_index_(k) {
    for (size_t j = 0; j < k; ++j) {
      if (kinds[j] == RegressorKind::indicator_if_binary) {
        open_[j] = true;
        open_columns_.push_back(j);
      }
    }
  }

  void add_tile(const TileRows& rows, const Vector& beta) {
    double xb[kTileRows], pdf[kTileRows];
    tile_linear_index(rows, beta.data(), xb);
    normal_pdf_array(xb, pdf, rows.count);

    // Continuous regressors share sum phi(xb) and sum (xb x_m) phi(xb).
    for (size_t b = 0; b < rows.count; ++b) pdf_sum_ += pdf[b];
    add_scaled_rows(weighted_index_.data(), rows, xb, pdf);

    if (open_columns_.empty()) return;
    double cdf[kTileRows];
    normal_cdf_array(xb, cdf, rows.count);
    std::erase_if(open_columns_, [&](size_t j) {
      double x[kTileRows];
      for (size_t b = 0; b < rows.count; ++b) x[b] = rows(b, j);
      if (!all_binary(x, rows.count)) {  // continuous after all: its indicator sums are dropped
        open_[j] = false;
        return true;
      }
      add_indicator_tile(rows, x, beta[j], xb, cdf, pdf, j);
      return false;
    });
  }

  // Adds the sums of the finished block to the running totals.
  void close_block(const Vector& beta) {
    for (size_t j = 0; j < k_; ++j) {
      if (kinds_[j] == RegressorKind::excluded) continue;
      continuous_effect_[j] = pdf_sum_ * beta[j] + continuous_effect_[j];
      for (size_t m = 0; m < k_; ++m) {
        const double t = weighted_index_[m] * (-beta[j]);
        continuous_gradient_(j, m) = (m == j ? pdf_sum_ + t : t) + continuous_gradient_(j, m);
      }
    }
    for (size_t j : open_columns_) {
      indicator_effect_[j] = (block_cdf1_[j] - block_cdf0_[j]) + indicator_effect_[j];
      for (size_t m = 0; m < k_; ++m) {
        const double g = m == j ? block_pdf1_[j] : block_gradient_(j, m);
        indicator_gradient_(j, m) = g + indicator_gradient_(j, m);
      }
    }
    block_cdf1_ = Vector(k_);
    block_cdf0_ = Vector(k_);
    block_pdf1_ = Vector(k_);
    block_gradient_ = Matrix(k_, k_);
    weighted_index_ = Vector(k_);
    pdf_sum_ = 0.0;
  }

  MarginalEffectSums take_sums(size_t rows) {
    MarginalEffectSums sums;
    sums.rows = rows;
    sums.continuous_effect = std::move(continuous_effect_);
    sums.continuous_gradient = std::move(continuous_gradient_);
    sums.indicator_effect = std::move(indicator_effect_);
    sums.indicator_gradient = std::move(indicator_gradient_);
    sums.binary = std::move(open_);
    return sums;
  }

 private:
  // Column j of the tile is x, all 0 or 1; xb1 and xb0 are the linear index
  // with x_j set to 1 and to 0.
  void add_indicator_tile(const TileRows& rows, const double* x, double beta_j, const double* xb,
                          const double* cdf, const double* pdf, size_t j) {
    const size_t count = rows.count;
    // xb1 = xb + (1 - x) beta_j and xb0 = xb + (-x) beta_j. x is 0 or 1, so
    // one of the two corrections is a zero and that point is xb itself (up to
    // the sign of a zero, which Phi and phi ignore): only the other point is
    // evaluated. A non-finite beta_j makes every xb0 NaN, and with it the
    // effect and its variance, whichever values are taken here. Both points
    // are formed and then selected, in separate loops that vectorize and
    // branch on nothing, since x follows no pattern.
    double xb1[kTileRows], xb0[kTileRows], other[kTileRows], other_cdf[kTileRows], other_pdf[kTileRows];
    for (size_t b = 0; b < count; ++b) {
      xb1[b] = xb[b] + (1.0 - x[b]) * beta_j;
      xb0[b] = xb[b] + (-x[b]) * beta_j;
    }
    for (size_t b = 0; b < count; ++b) other[b] = x[b] == 1.0 ? xb0[b] : xb1[b];
    normal_cdf_array(other, other_cdf, count);
    normal_pdf_array(other, other_pdf, count);
    double cdf1[kTileRows], cdf0[kTileRows], pdf1[kTileRows], pdf0[kTileRows];
    for (size_t b = 0; b < count; ++b) {
      const bool one = x[b] == 1.0;
      cdf1[b] = one ? cdf[b] : other_cdf[b];
      pdf1[b] = one ? pdf[b] : other_pdf[b];
      cdf0[b] = one ? other_cdf[b] : cdf[b];
      pdf0[b] = one ? other_pdf[b] : pdf[b];
    }
    double cdf1_sum = block_cdf1_[j], cdf0_sum = block_cdf0_[j], pdf1_sum = block_pdf1_[j];
    for (size_t b = 0; b < count; ++b) {
      cdf1_sum += cdf1[b];
      cdf0_sum += cdf0[b];
      pdf1_sum += pdf1[b];
    }
    block_cdf1_[j] = cdf1_sum;
    block_cdf0_[j] = cdf0_sum;
    block_pdf1_[j] = pdf1_sum;
    // d/d beta_m of Phi(xb1) - Phi(xb0) is (phi(xb1) - phi(xb0)) x_m for
    // m != j, and phi(xb1) for m = j (x_j is 1 in xb1 and 0 in xb0).
    double difference[kTileRows];
    for (size_t b = 0; b < count; ++b) difference[b] = pdf1[b] - pdf0[b];
    add_scaled_rows(block_gradient_.row(j), rows, difference);
  }

  size_t k_;
  const std::vector<RegressorKind>& kinds_;
  std::vector<bool> open_;           // still possibly an indicator
  std::vector<size_t> open_columns_;  // the same, as a list
  Vector continuous_effect_;
  Matrix continuous_gradient_;
  Vector indicator_effect_;
  Matrix indicator_gradient_;
  Vector block_cdf1_;  // per indicator: sum Phi(xb1) over the block
  Vector block_cdf0_;  // sum Phi(xb0)
  Vector block_pdf1_;  // sum phi(xb1)
  Matrix block_gradient_;
  Vector weighted_index_;  // sum (xb x_m) phi(xb) over the block
  double pdf_sum_ = 0.0;   // sum phi(xb) over the block
};

}  // namespace

void MarginalEffectSums::add(const MarginalEffectSums& part) {
  const size_t k = binary.size();
  if (part.binary.size() != k) shape_failure("marginal effect sums", k, k, part.binary.size(), part.binary.size());
  rows += part.rows;
  for (size_t j = 0; j < k; ++j) {
    binary[j] = binary[j] && part.binary[j];
    continuous_effect[j] = part.continuous_effect[j] + continuous_effect[j];
    indicator_effect[j] = part.indicator_effect[j] + indicator_effect[j];
    for (size_t m = 0; m < k; ++m) {
      continuous_gradient(j, m) = part.continuous_gradient(j, m) + continuous_gradient(j, m);
      indicator_gradient(j, m) = part.indicator_gradient(j, m) + indicator_gradient(j, m);
    }
  }
}

MarginalEffectSums accumulate_marginal_effects(const TileSource& X, const Vector& beta,
                                               const std::vector<RegressorKind>& kinds, size_t block_rows,
                                               InterruptCheck interrupt) {
  const size_t k = kinds.size(), rows = X.rows();
  Accumulator totals(k, kinds);
  TileScratch scratch;
  size_t unchecked_rows = 0;
  for (size_t block = 0; block < rows;) {
    const size_t count = std::min(block_rows, rows - block);  // never overflows, whatever block_rows is
    if (beta.size() != k) shape_failure("matrix-vector product", count, k, beta.size(), 1);
    for (size_t tile = block; tile < block + count; tile += kTileRows) {
      if (unchecked_rows >= kInterruptRows) {
        interrupt();
        unchecked_rows = 0;
      }
      unchecked_rows += kTileRows;
      totals.add_tile(X.tile(tile, std::min(kTileRows, block + count - tile), scratch), beta);
    }
    totals.close_block(beta);
    block += count;
  }
  return totals.take_sums(rows);
}

std::vector<MarginalEffect> finish_marginal_effects(const MarginalEffectSums& sums, const Matrix& cov) {
  const size_t k = sums.binary.size();
  const double n = static_cast<double>(sums.rows);
  Matrix jacobian(k, k);
  for (size_t j = 0; j < k; ++j) {
    const Matrix& gradient = sums.binary[j] ? sums.indicator_gradient : sums.continuous_gradient;
    for (size_t m = 0; m < k; ++m) jacobian(j, m) = gradient(j, m) / n;
  }
  const Vector variances = delta_method_variances(jacobian, cov);

  std::vector<MarginalEffect> effects(k);
  for (size_t j = 0; j < k; ++j) {
    MarginalEffect& e = effects[j];
    e.effect = (sums.binary[j] ? sums.indicator_effect[j] : sums.continuous_effect[j]) / n;
    const NormalStatistics s = normal_statistics(e.effect, variances[j]);
    e.std_error = s.std_error;
    e.z = s.z;
    e.p = s.p;
  }
  return effects;
}

}  // namespace kestrum
