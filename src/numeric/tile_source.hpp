// How many rows the kernels read at once.
#pragma once

#include <cstddef>

namespace kestrum {

// The rows of a tile: the per-row special functions run over arrays of this
// length, and every sum over rows is still accumulated row by row, so the
// length changes no result. A tile's row indices fit an unsigned char.
inline constexpr size_t kTileRows = 128;

}  // namespace kestrum
