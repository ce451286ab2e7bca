// An owned array of one or two dimensions with arbitrary element strides.
//
// Element [i, j] lives at buffer[origin + i * stride[0] + j * stride[1]]. An
// owned copy of an input keeps the input's layout (row-major, column-major,
// reversed), so the kernels read it through a MatrixView in any layout.
#pragma once

#include <cstddef>

#include "numeric/buffer.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

struct StridedArray {
  Buffer buffer;
  int ndim = 1;
  size_t extent[2] = {0, 1};
  ptrdiff_t stride[2] = {0, 0};
  size_t origin = 0;

  size_t rows() const noexcept { return extent[0]; }
  size_t cols() const noexcept { return ndim == 2 ? extent[1] : 1; }

  // A one-dimensional array reads as a single column.
  MatrixView view() const noexcept {
    return MatrixView{buffer.data() + origin, rows(), cols(), stride[0], ndim == 2 ? stride[1] : 0};
  }

  // Row-major (standard) layout; every stride is 0 when an extent is 0.
  static StridedArray standard(Buffer buffer, int ndim, size_t rows, size_t cols) {
    StridedArray array;
    array.buffer = std::move(buffer);
    array.ndim = ndim;
    array.extent[0] = rows;
    array.extent[1] = ndim == 2 ? cols : 1;
    const bool empty = rows == 0 || (ndim == 2 && cols == 0);
    if (!empty) {
      array.stride[0] = ndim == 2 ? static_cast<ptrdiff_t>(cols) : 1;
      array.stride[1] = ndim == 2 ? 1 : 0;
    }
    return array;
  }
  static StridedArray from(Vector&& v) {
    const size_t n = v.size();
    return standard(std::move(v).take_buffer(), 1, n, 1);
  }
  static StridedArray from(Matrix&& m) {
    const size_t rows = m.rows(), cols = m.cols();
    return standard(std::move(m).take_buffer(), 2, rows, cols);
  }
};

}  // namespace kestrum
