// A read-only view of a caller's float64 array, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "numeric/matrix.hpp"

namespace kestrum {

// An accepted array read in place. Strides are kept in bytes: a float64 field
// of a packed structured array has strides that are not multiples of 8 and
// elements that are not 8-byte aligned, and is read by exact byte offsets.
struct ArrayView {
  const char* origin = nullptr;  // element with all indices 0
  int ndim = 1;
  size_t extent[2] = {0, 1};
  ptrdiff_t byte_stride[2] = {0, 0};

  size_t rows() const noexcept { return extent[0]; }
  size_t cols() const noexcept { return ndim == 2 ? extent[1] : 1; }
  double operator()(size_t i, size_t j) const noexcept {
    double value;
    std::memcpy(&value,
                origin + static_cast<ptrdiff_t>(i) * byte_stride[0] + static_cast<ptrdiff_t>(j) * byte_stride[1],
                sizeof value);
    return value;
  }
  // True when every element is an aligned double reachable by element strides.
  bool element_strided() const noexcept {
    if (reinterpret_cast<std::uintptr_t>(origin) % alignof(double) != 0) return false;
    for (int axis = 0; axis < ndim; ++axis) {
      if (byte_stride[axis] % static_cast<ptrdiff_t>(sizeof(double)) != 0) return false;
    }
    return true;
  }
  // The same elements through element strides; requires element_strided().
  MatrixView matrix_view() const noexcept {
    constexpr auto item = static_cast<ptrdiff_t>(sizeof(double));
    return MatrixView{reinterpret_cast<const double*>(origin), rows(), cols(), byte_stride[0] / item,
                      ndim == 2 ? byte_stride[1] / item : 0};
  }
};

}  // namespace kestrum
