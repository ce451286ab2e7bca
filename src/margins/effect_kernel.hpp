// Sums over rows for the average effects of variables and the average
// predictions, grouped, with their gradients with respect to beta.
//
// With z_i = x_i'beta (summed in column order, tile_linear_index), F the
// response (Phi, or the identity on the link scale) and f = F' (phi, or 1),
// row i adds to its group g_i:
//   prediction:  F(z_i)                      gradient  f(z_i) x_i
//   slope:       f(z_i) t_i, t_i = d_i'b_c   gradient  f(z_i) d_i (on the columns c)
//                                                      - z_i f(z_i) t_i x_i (response only: phi' = -z phi)
//   contrast:    F(z1_i) - F(z0_i)           gradient  f(z1_i) x1_i - f(z0_i) x0_i
// where d_i (A) is the derivative of the row's columns c with respect to the
// variable, and x1_i (A), x0_i (B) are the row's columns c rebuilt at the
// level and at the base: x1_i equals x_i off c, so z1_i = z_i + (x1_ic - x_ic)'b_c.
// Rows are added in row order; a row whose group is negative is left out.
// With row weights w_i every row's value and gradient are multiplied by w_i
// (weighted sums; without weights each row counts once, w_i = 1 exactly).
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/tile_source.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

enum class EffectKind { prediction, slope, contrast };

// The n values of a column: value i at origin[i * stride] (stride 0: one
// value for every row).
struct StridedColumn {
  const double* origin = nullptr;
  ptrdiff_t stride = 0;

  double operator[](size_t i) const noexcept { return origin[static_cast<ptrdiff_t>(i) * stride]; }
  StridedColumn from(size_t first) const noexcept { return {&origin[static_cast<ptrdiff_t>(first) * stride], stride}; }
  bool operator==(const StridedColumn&) const = default;
};

// One effect of a batch: which columns of X its rows change, and how. A
// and B hold one column per column c, each read in place with its own
// stride, so that a derivative of 1, or a column of the data, needs no copy.
struct EffectColumns {
  EffectKind kind = EffectKind::prediction;
  std::vector<size_t> columns;   // c: the columns of X that A and B hold
  std::vector<StridedColumn> A;  // |c| columns of n: d (slope) or x1 (contrast); none for a prediction
  std::vector<StridedColumn> B;  // |c| columns of n: x0 (contrast)
};

// The rows of a partition and the effects summed over them in one pass:
// every tile of rows is read once for all effects, and z = x'beta and phi
// (Phi) at z are computed once per row for all of them.
struct EffectRows {
  TileSource X;  // n x k: a block or the columns held apart, read a tile at a time in place
  std::vector<EffectColumns> effects;
  const double* group = nullptr;  // n whole numbers: the row's group, or negative
  size_t groups = 1;
  const double* weights = nullptr;  // n row weights, or null: every row counts once

  size_t rows() const noexcept { return X.rows(); }
  size_t cols() const noexcept { return X.cols(); }
};

struct EffectGroupSums {
  Vector values;     // G
  Matrix gradients;  // G x k
};

// Per effect, in the order of rows.effects; each effect's sums are those of
// the effect summed alone.
std::vector<EffectGroupSums> effect_group_sums(bool link, const EffectRows& rows, const Vector& beta,
                                               InterruptCheck interrupt = never_interrupted);

}  // namespace kestrum
