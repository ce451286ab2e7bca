// Kernels over a tile of consecutive rows of X, in any memory layout.
//
// Each keeps, for every output entry, the order in which its terms are
// added: row by row, and within a linear index column by column. Row-major
// tiles and tiles of separate columns have paths of their own, and where the
// processor has AVX2 the inner loops run on wider registers; the arithmetic,
// and so the result, is the same on every path (no fused multiply-add anywhere).
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/matrix.hpp"

namespace kestrum {

// Rows [start, start + count) of X: those of a block in memory (any element
// strides), or, with `columns`, of X's columns held apart, column j's rows of
// the tile at columns[j][0], ..., columns[j][count - 1] (of at most
// kMaxTileRows rows; X then gives only the shape: X.cols columns).
struct TileRows {
  MatrixView X;
  size_t start = 0;
  size_t count = 0;
  const double* const* columns = nullptr;

  static constexpr size_t kMaxTileRows = 256;

  size_t cols() const noexcept { return X.cols; }
  double operator()(size_t b, size_t j) const noexcept {
    return columns != nullptr ? columns[j][b] : X(start + b, j);
  }
  // Blocks only.
  const double* row(size_t b) const noexcept { return &X.origin[static_cast<ptrdiff_t>(start + b) * X.row_stride]; }
  bool row_major() const noexcept { return columns == nullptr && (X.col_stride == 1 || X.cols <= 1); }
  bool column_major() const noexcept { return columns == nullptr && X.row_stride == 1; }
};

// A tile's rows scaled, x_b s_b, held as rows, to be added to rows of sums
// elsewhere (a tile's scores to the sums of their clusters): copied once,
// each add then runs over contiguous memory whatever X's layout. The
// products are those every kernel forms, x_bj s_b.
class ScaledTile {
 public:
  explicit ScaledTile(size_t k);
  // Rows [0, rows.count) of the tile times scale[b] (of at most
  // TileRows::kMaxTileRows rows).
  void assign(const TileRows& rows, const double* scale);
  // sums[b][j] <- sums[b][j] + x_bj s_b for each row b in order, every j.
  void add_to(double* const* sums) const noexcept;
  // The scaled rows as a tile of their own (valid until the next assign).
  TileRows rows() const noexcept {
    return TileRows{MatrixView{rows_.data(), count_, k_, static_cast<ptrdiff_t>(k_), 1}, 0, count_};
  }

 private:
  size_t k_, count_ = 0;
  std::vector<double> rows_;  // row-major, count_ x k_
};

// eta[b] = x_b . beta, each accumulated from 0.0 in increasing column order.
void tile_linear_index(const TileRows& rows, const double* beta, double* eta);

// g[j] <- x_bj s_b + g[j] for each row b in order; with a second scale t,
// g[j] <- (x_bj s_b) t_b + g[j].
void add_scaled_rows(double* g, const TileRows& rows, const double* scale, const double* second_scale = nullptr);

// Accumulates M[a][c] <- M[a][c] + (x_a l) (x_c r) row after row, with a left
// scale l and a right scale r per row (r = 1 when absent; l = r = 1 when
// both are). A symmetric M has only its upper part (a <= c) accumulated and
// the rest mirrored, which halves the work and makes M exactly symmetric:
// the score outer products take l = r = lambda; the Hessian takes l = -w,
// r = 1, since (x_a (-w)) x_c = -((x_a w) x_c) exactly, and mirrors its
// upper part; the cluster meats take neither.
class ProductAccumulator {
 public:
  ProductAccumulator(size_t k, bool symmetric);
  void add(const TileRows& rows, const double* left_scale, const double* right_scale);
  Matrix result() const;

 private:
  size_t k_;
  bool symmetric_;
  size_t padded_;              // k rounded up to whole register blocks
  std::vector<double> sums_;   // padded x padded
  std::vector<double> left_;   // scaled rows of the tile, padded with zeros
  std::vector<double> right_;  // the scaled right factor, when it is not the left one
};

}  // namespace kestrum
