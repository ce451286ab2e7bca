#include "numeric/tile_source.hpp"

#include <array>
#include <utility>

#include "panic.hpp"

namespace kestrum {

namespace {

// The rows of a tile of a column of ones.
constexpr std::array<double, kTileRows> kOnes = [] {
  std::array<double, kTileRows> ones{};
  for (double& one : ones) one = 1.0;
  return ones;
}();

}  // namespace

TileSource::TileSource(const ArrayView& block) : rows_(block.rows()), cols_(block.cols()) {
  if (block.element_strided()) {
    block_ = block.matrix_view();
  } else {
    storage_ = Storage::bytes;
    bytes_ = block;
  }
}

TileSource::TileSource(std::vector<const double*> columns, size_t rows)
    : storage_(Storage::columns), columns_(std::move(columns)), rows_(rows), cols_(columns_.size()) {}

TileRows TileSource::tile(size_t start, size_t count, TileScratch& scratch) const {
  KESTRUM_ASSERT(count <= kTileRows && start + count <= rows_);
  const MatrixView shape{nullptr, count, cols_, 0, 0};
  switch (storage_) {
    case Storage::block: {
      // Columns of a column-major block are contiguous: read them as columns.
      if (block_.row_stride != 1 || block_.col_stride == 1 || cols_ <= 1) return TileRows{block_, start, count};
      scratch.columns.resize(cols_);
      const double* first_row = block_.origin + static_cast<ptrdiff_t>(start);
      for (size_t j = 0; j < cols_; ++j) scratch.columns[j] = first_row + static_cast<ptrdiff_t>(j) * block_.col_stride;
      return TileRows{shape, 0, count, scratch.columns.data()};
    }
    case Storage::columns:
      scratch.columns.resize(cols_);
      for (size_t j = 0; j < cols_; ++j) {
        scratch.columns[j] = columns_[j] != nullptr ? columns_[j] + start : kOnes.data();
      }
      return TileRows{shape, 0, count, scratch.columns.data()};
    case Storage::bytes:
      scratch.values.resize(kTileRows * cols_);
      for (size_t b = 0; b < count; ++b) {
        for (size_t j = 0; j < cols_; ++j) scratch.values[b * cols_ + j] = bytes_(start + b, j);
      }
      return TileRows{MatrixView{scratch.values.data(), count, cols_, static_cast<ptrdiff_t>(cols_), 1}, 0, count};
  }
  return TileRows{block_, start, count};
}

}  // namespace kestrum
