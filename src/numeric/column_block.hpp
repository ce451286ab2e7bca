// A matrix whose columns are held apart, as a DataFrame holds them: each
// column a contiguous array of `rows` doubles, or null for a column of ones.
// The kernels read rows, so a tile of rows is copied into a small row-major
// buffer just before it is used: the matrix is never gathered whole, and
// each tile is computed on exactly as if it had been.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/tile_kernels.hpp"

namespace kestrum {

struct ColumnBlock {
  std::vector<const double*> columns;  // null: a column of ones
  size_t rows = 0;

  size_t cols() const noexcept { return columns.size(); }

  // Rows [start, start + count) as a row-major count x cols tile in `tile`.
  TileRows tile(size_t start, size_t count, double* tile) const noexcept {
    const size_t k = cols();
    // Four columns at a time: whole 32-byte pieces of each row are written
    // while four column streams are read in order.
    size_t j = 0;
    for (; j + 4 <= k; j += 4) {
      const double* c[4];
      for (size_t q = 0; q < 4; ++q) c[q] = columns[j + q] != nullptr ? columns[j + q] + start : nullptr;
      for (size_t b = 0; b < count; ++b) {
        double* row = tile + b * k + j;
        for (size_t q = 0; q < 4; ++q) row[q] = c[q] != nullptr ? c[q][b] : 1.0;
      }
    }
    for (; j < k; ++j) {
      const double* column = columns[j];
      for (size_t b = 0; b < count; ++b) tile[b * k + j] = column != nullptr ? column[start + b] : 1.0;
    }
    return TileRows{MatrixView{tile, count, k, static_cast<ptrdiff_t>(k), 1}, 0, count};
  }
};

}  // namespace kestrum
