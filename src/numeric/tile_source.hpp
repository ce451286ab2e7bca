// X as the kernels read it, a tile of rows at a time, whatever its storage:
// a block in memory (a matrix with element strides, or an array view with
// byte strides), or separate columns as a DataFrame holds them (each a
// contiguous array of `rows` doubles, or null for a column of ones).
//
// A tile is handed out in place wherever the storage allows: a block's rows
// as they lie, and separate columns (and the columns of a column-major block)
// as one pointer per column, never gathered. Only a block with byte strides
// that are not whole elements is copied, a tile at a time, into row-major
// scratch. The kernels (tile_kernels.hpp) give the same bits for every form.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/array_view.hpp"
#include "numeric/matrix.hpp"
#include "numeric/tile_kernels.hpp"

namespace kestrum {

// The rows of a tile: the per-row special functions run over arrays of this
// length, and every sum over rows is still accumulated row by row, so the
// length changes no result. A tile's row indices fit an unsigned char.
inline constexpr size_t kTileRows = 128;
static_assert(kTileRows <= TileRows::kMaxTileRows);

// What a reader of tiles keeps between them: the tile's column pointers, or
// its copy. A tile stays valid until the next one is read with the same scratch.
struct TileScratch {
  std::vector<const double*> columns;
  std::vector<double> values;
};

class TileSource {
 public:
  TileSource() = default;
  explicit TileSource(const MatrixView& block) : block_(block), rows_(block.rows), cols_(block.cols) {}
  // Read in place when its elements are aligned doubles at whole-element strides.
  explicit TileSource(const ArrayView& block);
  TileSource(std::vector<const double*> columns, size_t rows);

  size_t rows() const noexcept { return rows_; }
  size_t cols() const noexcept { return cols_; }

  // Rows [start, start + count), count <= kTileRows.
  TileRows tile(size_t start, size_t count, TileScratch& scratch) const;

 private:
  enum class Storage { block, bytes, columns };
  Storage storage_ = Storage::block;
  MatrixView block_;
  ArrayView bytes_;
  std::vector<const double*> columns_;  // null: a column of ones
  size_t rows_ = 0;
  size_t cols_ = 0;
};

}  // namespace kestrum
