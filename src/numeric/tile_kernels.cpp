#include "numeric/tile_kernels.hpp"

#include <algorithm>

#include "numeric/platform.hpp"
#include "panic.hpp"

#ifdef KESTRUM_X86_KERNELS
#include <immintrin.h>
#endif

namespace kestrum {

namespace {

// Register tile of the product accumulator: kBlockRowsA rows of M by
// kBlockCols columns (kWideBlockCols with AVX-512, kBlockRowsA at the right
// edge) stay in registers while the rows of a tile stream by. M is padded to
// a multiple of kBlockRowsA.
constexpr size_t kBlockRowsA = 4;
constexpr size_t kBlockCols = 8;
[[maybe_unused]] constexpr size_t kWideBlockCols = 16;  // only the AVX-512 path uses it
constexpr size_t kMaxTileRows = TileRows::kMaxTileRows;  // longer block tiles are taken in parts

// Column by column over the rows: contiguous and vectorizable when the tile
// is column-major.
void linear_index_by_columns(const TileRows& rows, const double* beta, double* eta) {
  for (size_t b = 0; b < rows.count; ++b) eta[b] = 0.0;
  for (size_t j = 0; j < rows.X.cols; ++j) {
    const double coefficient = beta[j];
    for (size_t b = 0; b < rows.count; ++b) eta[b] += rows(b, j) * coefficient;
  }
}

// The same over a tile of separate columns, each read as one contiguous run.
KESTRUM_AVX2_CLONES void linear_index_of_columns(const double* const* columns, size_t k, size_t count,
                                                 const double* beta, double* eta) {
  for (size_t b = 0; b < count; ++b) eta[b] = 0.0;
  for (size_t j = 0; j < k; ++j) {
    const double* x = columns[j];
    const double coefficient = beta[j];
    for (size_t b = 0; b < count; ++b) eta[b] += x[b] * coefficient;
  }
}

#ifdef KESTRUM_X86_KERNELS
// Reading four interleaved rows at a time defeats the hardware prefetcher once
// rows are long: asking for the rows two groups ahead keeps X streaming.
constexpr size_t kPrefetchRowsAhead = 8;
// (Always inlined: as a separate function GCC judges it free of effects and
// drops the call.)
__attribute__((always_inline)) inline void prefetch_rows_ahead(const TileRows& rows, size_t b) {
  const size_t first = rows.start + b + kPrefetchRowsAhead;
  if (first + 4 > rows.X.rows) return;
  for (size_t r = first; r < first + 4; ++r) {
    const char* row = reinterpret_cast<const char*>(&rows.X.origin[static_cast<ptrdiff_t>(r) * rows.X.row_stride]);
    for (size_t offset = 0; offset < rows.X.cols * sizeof(double); offset += 64) __builtin_prefetch(row + offset, 0, 3);
  }
}

// Four rows at a time: a 4 x 4 block is loaded and transposed so that one
// register holds column j of the four rows, then multiplied and added in
// column order.
__attribute__((target("avx2"))) void linear_index_rows_avx2(const TileRows& rows, const double* beta, double* eta) {
  const size_t k = rows.X.cols;
  size_t b = 0;
  for (; b + 4 <= rows.count; b += 4) {
    prefetch_rows_ahead(rows, b);
    const double* r0 = rows.row(b);
    const double* r1 = rows.row(b + 1);
    const double* r2 = rows.row(b + 2);
    const double* r3 = rows.row(b + 3);
    __m256d sum = _mm256_setzero_pd();
    size_t j = 0;
    for (; j + 4 <= k; j += 4) {
      const __m256d a = _mm256_loadu_pd(r0 + j), c = _mm256_loadu_pd(r1 + j);
      const __m256d e = _mm256_loadu_pd(r2 + j), f = _mm256_loadu_pd(r3 + j);
      const __m256d ac_lo = _mm256_unpacklo_pd(a, c), ac_hi = _mm256_unpackhi_pd(a, c);
      const __m256d ef_lo = _mm256_unpacklo_pd(e, f), ef_hi = _mm256_unpackhi_pd(e, f);
      const __m256d col0 = _mm256_permute2f128_pd(ac_lo, ef_lo, 0x20);
      const __m256d col1 = _mm256_permute2f128_pd(ac_hi, ef_hi, 0x20);
      const __m256d col2 = _mm256_permute2f128_pd(ac_lo, ef_lo, 0x31);
      const __m256d col3 = _mm256_permute2f128_pd(ac_hi, ef_hi, 0x31);
      sum = _mm256_add_pd(sum, _mm256_mul_pd(col0, _mm256_set1_pd(beta[j])));
      sum = _mm256_add_pd(sum, _mm256_mul_pd(col1, _mm256_set1_pd(beta[j + 1])));
      sum = _mm256_add_pd(sum, _mm256_mul_pd(col2, _mm256_set1_pd(beta[j + 2])));
      sum = _mm256_add_pd(sum, _mm256_mul_pd(col3, _mm256_set1_pd(beta[j + 3])));
    }
    for (; j < k; ++j) {
      const __m256d col = _mm256_set_pd(r3[j], r2[j], r1[j], r0[j]);
      sum = _mm256_add_pd(sum, _mm256_mul_pd(col, _mm256_set1_pd(beta[j])));
    }
    _mm256_storeu_pd(eta + b, sum);
  }
  for (; b < rows.count; ++b) {
    double sum = 0.0;
    for (size_t j = 0; j < k; ++j) sum += rows.row(b)[j] * beta[j];
    eta[b] = sum;
  }
}

bool has_avx2() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return supported;
}

bool has_avx512() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return supported;
}
#endif

// Adds one register tile of products, kBlockRowsA rows by `width` (4, 8 or
// 16) columns, over the rows of the tile.
void accumulate_block_generic(double* sums, size_t padded, const double* left, const double* right,
                              ptrdiff_t right_stride, size_t count, size_t a0, size_t c0, size_t width) {
  for (size_t b = 0; b < count; ++b) {
    const double* l = left + b * padded + a0;
    const double* x = right + static_cast<ptrdiff_t>(b) * right_stride + c0;
    for (size_t r = 0; r < kBlockRowsA; ++r) {
      double* out = sums + (a0 + r) * padded + c0;
      for (size_t c = 0; c < width; ++c) out[c] = out[c] + l[r] * x[c];
    }
  }
}

#ifdef KESTRUM_X86_KERNELS
// The same with the block held in registers: kHalves registers of four
// columns for each of the four rows (the loops must unroll for that).
template <size_t kHalves>
__attribute__((target("avx2"))) void accumulate_block_avx2(double* sums, size_t padded, const double* left,
                                                           const double* right, ptrdiff_t right_stride, size_t count,
                                                           size_t a0, size_t c0) {
  static_assert(kBlockRowsA == 4);
  __m256d acc[kBlockRowsA][kHalves];
#pragma GCC unroll 4
  for (size_t r = 0; r < kBlockRowsA; ++r) {
#pragma GCC unroll 2
    for (size_t h = 0; h < kHalves; ++h) acc[r][h] = _mm256_loadu_pd(sums + (a0 + r) * padded + c0 + 4 * h);
  }
  for (size_t b = 0; b < count; ++b) {
    const double* l = left + b * padded + a0;
    const double* x = right + static_cast<ptrdiff_t>(b) * right_stride + c0;
    __m256d xv[kHalves];
#pragma GCC unroll 2
    for (size_t h = 0; h < kHalves; ++h) xv[h] = _mm256_loadu_pd(x + 4 * h);
#pragma GCC unroll 4
    for (size_t r = 0; r < kBlockRowsA; ++r) {
      const __m256d w = _mm256_broadcast_sd(l + r);
#pragma GCC unroll 2
      for (size_t h = 0; h < kHalves; ++h) acc[r][h] = _mm256_add_pd(acc[r][h], _mm256_mul_pd(w, xv[h]));
    }
  }
#pragma GCC unroll 4
  for (size_t r = 0; r < kBlockRowsA; ++r) {
#pragma GCC unroll 2
    for (size_t h = 0; h < kHalves; ++h) _mm256_storeu_pd(sums + (a0 + r) * padded + c0 + 4 * h, acc[r][h]);
  }
}

// Sixteen columns with AVX-512: two registers of eight for each of the four
// rows. Each entry sees the same multiplications and additions in the same
// order as on the narrower paths (no fused multiply-add), so results match.
__attribute__((target("avx512f"))) void accumulate_block_avx512(double* sums, size_t padded, const double* left,
                                                                const double* right, ptrdiff_t right_stride,
                                                                size_t count, size_t a0, size_t c0) {
  static_assert(kBlockRowsA == 4 && kWideBlockCols == 16);
  __m512d acc[kBlockRowsA][2];
#pragma GCC unroll 4
  for (size_t r = 0; r < kBlockRowsA; ++r) {
#pragma GCC unroll 2
    for (size_t h = 0; h < 2; ++h) acc[r][h] = _mm512_loadu_pd(sums + (a0 + r) * padded + c0 + 8 * h);
  }
  for (size_t b = 0; b < count; ++b) {
    const double* l = left + b * padded + a0;
    const double* x = right + static_cast<ptrdiff_t>(b) * right_stride + c0;
    const __m512d x0 = _mm512_loadu_pd(x), x1 = _mm512_loadu_pd(x + 8);
#pragma GCC unroll 4
    for (size_t r = 0; r < kBlockRowsA; ++r) {
      const __m512d w = _mm512_set1_pd(l[r]);
      acc[r][0] = _mm512_add_pd(acc[r][0], _mm512_mul_pd(w, x0));
      acc[r][1] = _mm512_add_pd(acc[r][1], _mm512_mul_pd(w, x1));
    }
  }
#pragma GCC unroll 4
  for (size_t r = 0; r < kBlockRowsA; ++r) {
#pragma GCC unroll 2
    for (size_t h = 0; h < 2; ++h) _mm512_storeu_pd(sums + (a0 + r) * padded + c0 + 8 * h, acc[r][h]);
  }
}
#endif

// The widest register tile that starts at column c0 and fits in `padded`.
size_t block_width(size_t c0, size_t padded) {
#ifdef KESTRUM_X86_KERNELS
  if (c0 + kWideBlockCols <= padded && has_avx512()) return kWideBlockCols;
#endif
  return c0 + kBlockCols <= padded ? kBlockCols : kBlockRowsA;
}

void accumulate_block(double* sums, size_t padded, const double* left, const double* right, ptrdiff_t right_stride,
                      size_t count, size_t a0, size_t c0, size_t width) {
#ifdef KESTRUM_X86_KERNELS
  if (width == kWideBlockCols) return accumulate_block_avx512(sums, padded, left, right, right_stride, count, a0, c0);
  if (has_avx2()) {
    if (width == 8) return accumulate_block_avx2<2>(sums, padded, left, right, right_stride, count, a0, c0);
    return accumulate_block_avx2<1>(sums, padded, left, right, right_stride, count, a0, c0);
  }
#endif
  accumulate_block_generic(sums, padded, left, right, right_stride, count, a0, c0, width);
}

size_t round_up(size_t value, size_t multiple) { return (value + multiple - 1) / multiple * multiple; }

#ifdef KESTRUM_X86_KERNELS
// scale_rows for separate columns: four rows of four columns are loaded as
// columns, scaled (x_bj s_b, the same products) and transposed into rows.
__attribute__((target("avx2"))) void scale_columns_to_rows_avx2(const double* const* columns, size_t k, size_t count,
                                                                 size_t padded, const double* scale, double* out) {
  size_t b = 0;
  for (; b + 4 <= count; b += 4) {
    const __m256d s = scale != nullptr ? _mm256_loadu_pd(scale + b) : _mm256_set1_pd(1.0);
    double* o = out + b * padded;
    size_t j = 0;
    for (; j + 4 <= k; j += 4) {
      __m256d c0 = _mm256_loadu_pd(columns[j] + b), c1 = _mm256_loadu_pd(columns[j + 1] + b);
      __m256d c2 = _mm256_loadu_pd(columns[j + 2] + b), c3 = _mm256_loadu_pd(columns[j + 3] + b);
      if (scale != nullptr) {
        c0 = _mm256_mul_pd(c0, s), c1 = _mm256_mul_pd(c1, s), c2 = _mm256_mul_pd(c2, s), c3 = _mm256_mul_pd(c3, s);
      }
      const __m256d lo01 = _mm256_unpacklo_pd(c0, c1), hi01 = _mm256_unpackhi_pd(c0, c1);
      const __m256d lo23 = _mm256_unpacklo_pd(c2, c3), hi23 = _mm256_unpackhi_pd(c2, c3);
      _mm256_storeu_pd(o + j, _mm256_permute2f128_pd(lo01, lo23, 0x20));
      _mm256_storeu_pd(o + padded + j, _mm256_permute2f128_pd(hi01, hi23, 0x20));
      _mm256_storeu_pd(o + 2 * padded + j, _mm256_permute2f128_pd(lo01, lo23, 0x31));
      _mm256_storeu_pd(o + 3 * padded + j, _mm256_permute2f128_pd(hi01, hi23, 0x31));
    }
    for (; j < k; ++j) {
      for (size_t r = 0; r < 4; ++r) o[r * padded + j] = scale != nullptr ? columns[j][b + r] * scale[b + r] : columns[j][b + r];
    }
  }
  for (; b < count; ++b) {
    for (size_t j = 0; j < k; ++j) out[b * padded + j] = scale != nullptr ? columns[j][b] * scale[b] : columns[j][b];
  }
  for (b = 0; b < count; ++b) {
    for (size_t j = k; j < padded; ++j) out[b * padded + j] = 0.0;
  }
}
#endif

// Row b of the scaled tile, x_bj s_b, zero in the padding; written column by
// column from a column-major tile or separate columns, so that the reads stay
// contiguous.
KESTRUM_AVX2_CLONES void scale_rows(const TileRows& rows, size_t padded, const double* scale, double* out) {
  const size_t k = rows.X.cols;
  if (rows.row_major()) {
    for (size_t b = 0; b < rows.count; ++b) {
      const double* x = rows.row(b);
      double* o = out + b * padded;
      if (scale != nullptr) {
        for (size_t j = 0; j < k; ++j) o[j] = x[j] * scale[b];
      } else {
        for (size_t j = 0; j < k; ++j) o[j] = x[j];
      }
    }
  } else if (rows.columns != nullptr) {
#ifdef KESTRUM_X86_KERNELS
    if (has_avx2()) return scale_columns_to_rows_avx2(rows.columns, k, rows.count, padded, scale, out);
#endif
    for (size_t j = 0; j < k; ++j) {
      const double* x = rows.columns[j];
      for (size_t b = 0; b < rows.count; ++b) out[b * padded + j] = scale != nullptr ? x[b] * scale[b] : x[b];
    }
  } else {
    for (size_t j = 0; j < k; ++j) {
      for (size_t b = 0; b < rows.count; ++b) out[b * padded + j] = scale != nullptr ? rows(b, j) * scale[b] : rows(b, j);
    }
  }
  for (size_t b = 0; b < rows.count; ++b) {
    for (size_t j = k; j < padded; ++j) out[b * padded + j] = 0.0;
  }
}

// out's row b <- row b of the padded rows `in` times s_b (columns below k;
// the padding stays zero).
KESTRUM_AVX2_CLONES void scale_copied_rows(const double* in, size_t count, size_t k, size_t padded,
                                           const double* scale, double* out) {
  for (size_t b = 0; b < count; ++b) {
    const double* x = in + b * padded;
    double* o = out + b * padded;
    for (size_t j = 0; j < k; ++j) o[j] = x[j] * scale[b];
    for (size_t j = k; j < padded; ++j) o[j] = 0.0;
  }
}

#ifdef KESTRUM_X86_KERNELS
// Twenty or more columns streaming side by side outrun the hardware
// prefetcher: each column's rows are asked for 64 rows (512 bytes) ahead.
constexpr size_t kPrefetchColumnAhead = 64;

// The same as linear_index_of_columns, sixteen rows at a time held in
// registers across all the columns (so eta is written once, not once a
// column): each row's sum still adds x_bj beta_j in increasing j from 0.0.
__attribute__((target("avx2"))) void linear_index_of_columns_avx2(const double* const* columns, size_t k,
                                                                   size_t count, const double* beta, double* eta) {
  size_t b = 0;
  for (; b + 16 <= count; b += 16) {
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd(), s2 = _mm256_setzero_pd(), s3 = _mm256_setzero_pd();
    for (size_t j = 0; j < k; ++j) {
      const double* x = columns[j] + b;
      _mm_prefetch(reinterpret_cast<const char*>(x + kPrefetchColumnAhead), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(x + kPrefetchColumnAhead + 8), _MM_HINT_T0);
      const __m256d coefficient = _mm256_set1_pd(beta[j]);
      s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_loadu_pd(x), coefficient));
      s1 = _mm256_add_pd(s1, _mm256_mul_pd(_mm256_loadu_pd(x + 4), coefficient));
      s2 = _mm256_add_pd(s2, _mm256_mul_pd(_mm256_loadu_pd(x + 8), coefficient));
      s3 = _mm256_add_pd(s3, _mm256_mul_pd(_mm256_loadu_pd(x + 12), coefficient));
    }
    _mm256_storeu_pd(eta + b, s0);
    _mm256_storeu_pd(eta + b + 4, s1);
    _mm256_storeu_pd(eta + b + 8, s2);
    _mm256_storeu_pd(eta + b + 12, s3);
  }
  for (; b < count; ++b) {
    double sum = 0.0;
    for (size_t j = 0; j < k; ++j) sum += columns[j][b] * beta[j];
    eta[b] = sum;
  }
}
#endif

}  // namespace

void tile_linear_index(const TileRows& rows, const double* beta, double* eta) {
  if (rows.columns != nullptr) {
#ifdef KESTRUM_X86_KERNELS
    if (has_avx2()) return linear_index_of_columns_avx2(rows.columns, rows.cols(), rows.count, beta, eta);
#endif
    return linear_index_of_columns(rows.columns, rows.cols(), rows.count, beta, eta);
  }
#ifdef KESTRUM_X86_KERNELS
  if (rows.row_major() && !rows.column_major() && has_avx2()) return linear_index_rows_avx2(rows, beta, eta);
#endif
  linear_index_by_columns(rows, beta, eta);
}

namespace {

template <bool kSecondScale>
void add_scaled_rows_generic(double* g, const TileRows& rows, const double* scale, const double* second_scale) {
  const size_t k = rows.X.cols;
  for (size_t j = 0; j < k; ++j) {
    double sum = g[j];
    for (size_t b = 0; b < rows.count; ++b) {
      if constexpr (kSecondScale) {
        sum = (rows(b, j) * scale[b]) * second_scale[b] + sum;
      } else {
        sum = rows(b, j) * scale[b] + sum;
      }
    }
    g[j] = sum;
  }
}

#ifdef KESTRUM_X86_KERNELS
// acc <- g[0 .. width), four entries a register, the last register masked
// to the entries below width; returns that mask.
template <size_t kVectors>
__attribute__((target("avx2"))) inline __m256i load_accumulators(const double* g, size_t width, __m256d* acc) {
  long long lanes[4];
  for (size_t lane = 0; lane < 4; ++lane) lanes[lane] = 4 * (kVectors - 1) + lane < width ? -1 : 0;
  const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
#pragma GCC unroll 8
  for (size_t v = 0; v + 1 < kVectors; ++v) acc[v] = _mm256_loadu_pd(g + 4 * v);
  acc[kVectors - 1] = _mm256_maskload_pd(g + 4 * (kVectors - 1), last);
  return last;
}

// Row-major tiles: up to 32 entries of g stay in kVectors registers while the
// rows stream by; the last register of a group may be partly masked.
template <size_t kVectors, bool kSecondScale>
__attribute__((target("avx2"))) void add_scaled_columns_avx2(double* g, const TileRows& rows, size_t c0,
                                                             size_t width, const double* scale,
                                                             const double* second_scale) {
  __m256d acc[kVectors];
  const __m256i last = load_accumulators<kVectors>(g + c0, width, acc);
  for (size_t b = 0; b < rows.count; ++b) {
    const double* x = rows.row(b) + c0;
    const __m256d s = _mm256_set1_pd(scale[b]);
#pragma GCC unroll 8
    for (size_t v = 0; v < kVectors; ++v) {
      const __m256d xv = v + 1 < kVectors ? _mm256_loadu_pd(x + 4 * v) : _mm256_maskload_pd(x + 4 * v, last);
      __m256d term = _mm256_mul_pd(xv, s);
      if constexpr (kSecondScale) term = _mm256_mul_pd(term, _mm256_set1_pd(second_scale[b]));
      acc[v] = _mm256_add_pd(term, acc[v]);
    }
  }
#pragma GCC unroll 8
  for (size_t v = 0; v + 1 < kVectors; ++v) _mm256_storeu_pd(g + c0 + 4 * v, acc[v]);
  _mm256_maskstore_pd(g + c0 + 4 * (kVectors - 1), last, acc[kVectors - 1]);
}

// group(c0, width) on the groups of up to 32 columns, each with the number of
// four-wide registers its width needs (a template argument, so that the
// accumulators stay in registers).
template <class Group>
void for_column_groups(size_t k, Group group) {
  for (size_t c0 = 0; c0 < k; c0 += 32) {
    const size_t width = std::min<size_t>(32, k - c0);
    switch ((width + 3) / 4) {
      case 1: group.template operator()<1>(c0, width); break;
      case 2: group.template operator()<2>(c0, width); break;
      case 3: group.template operator()<3>(c0, width); break;
      case 4: group.template operator()<4>(c0, width); break;
      case 5: group.template operator()<5>(c0, width); break;
      case 6: group.template operator()<6>(c0, width); break;
      case 7: group.template operator()<7>(c0, width); break;
      default: group.template operator()<8>(c0, width); break;
    }
  }
}

template <bool kSecondScale>
__attribute__((target("avx2"))) void add_scaled_rows_avx2(double* g, const TileRows& rows, const double* scale,
                                                          const double* second_scale) {
  for_column_groups(rows.X.cols, [&]<size_t kVectors>(size_t c0, size_t width) {
    add_scaled_columns_avx2<kVectors, kSecondScale>(g, rows, c0, width, scale, second_scale);
  });
}
#endif

#ifdef KESTRUM_X86_KERNELS
// Zeros in place of the columns that pad the last group of four.
constexpr double kZeroColumn[TileRows::kMaxTileRows] = {};

// Tiles of separate columns: g[c0 .. c0 + width) stay in kVectors registers
// of four columns each. Four rows of four columns are loaded and transposed,
// so that one register holds one row of the four columns, and the rows are
// added in order, as on the row-major path; the rows after the last whole
// four are added one by one.
template <size_t kVectors, bool kSecondScale>
__attribute__((target("avx2"))) void add_scaled_column_groups_avx2(double* g, const TileRows& rows, size_t c0,
                                                                   size_t width, const double* scale,
                                                                   const double* second_scale) {
  const double* x[4 * kVectors];
  for (size_t q = 0; q < 4 * kVectors; ++q) x[q] = q < width ? rows.columns[c0 + q] : kZeroColumn;
  __m256d acc[kVectors];
  const __m256i last = load_accumulators<kVectors>(g + c0, width, acc);
  size_t b = 0;
  for (; b + 4 <= rows.count; b += 4) {
    __m256d s[4];
#pragma GCC unroll 4
    for (size_t r = 0; r < 4; ++r) s[r] = _mm256_set1_pd(scale[b + r]);
#pragma GCC unroll 8
    for (size_t v = 0; v < kVectors; ++v) {
      const __m256d a = _mm256_loadu_pd(x[4 * v] + b), c = _mm256_loadu_pd(x[4 * v + 1] + b);
      const __m256d e = _mm256_loadu_pd(x[4 * v + 2] + b), f = _mm256_loadu_pd(x[4 * v + 3] + b);
      const __m256d ac_lo = _mm256_unpacklo_pd(a, c), ac_hi = _mm256_unpackhi_pd(a, c);
      const __m256d ef_lo = _mm256_unpacklo_pd(e, f), ef_hi = _mm256_unpackhi_pd(e, f);
      const __m256d row[4] = {_mm256_permute2f128_pd(ac_lo, ef_lo, 0x20), _mm256_permute2f128_pd(ac_hi, ef_hi, 0x20),
                              _mm256_permute2f128_pd(ac_lo, ef_lo, 0x31), _mm256_permute2f128_pd(ac_hi, ef_hi, 0x31)};
#pragma GCC unroll 4
      for (size_t r = 0; r < 4; ++r) {
        __m256d term = _mm256_mul_pd(row[r], s[r]);
        if constexpr (kSecondScale) term = _mm256_mul_pd(term, _mm256_set1_pd(second_scale[b + r]));
        acc[v] = _mm256_add_pd(term, acc[v]);
      }
    }
  }
#pragma GCC unroll 8
  for (size_t v = 0; v + 1 < kVectors; ++v) _mm256_storeu_pd(g + c0 + 4 * v, acc[v]);
  _mm256_maskstore_pd(g + c0 + 4 * (kVectors - 1), last, acc[kVectors - 1]);
  for (; b < rows.count; ++b) {
    for (size_t q = 0; q < width; ++q) {
      if constexpr (kSecondScale) {
        g[c0 + q] = (x[q][b] * scale[b]) * second_scale[b] + g[c0 + q];
      } else {
        g[c0 + q] = x[q][b] * scale[b] + g[c0 + q];
      }
    }
  }
}

template <bool kSecondScale>
__attribute__((target("avx2"))) void add_scaled_columns_of_tile_avx2(double* g, const TileRows& rows,
                                                                     const double* scale,
                                                                     const double* second_scale) {
  for_column_groups(rows.cols(), [&]<size_t kVectors>(size_t c0, size_t width) {
    add_scaled_column_groups_avx2<kVectors, kSecondScale>(g, rows, c0, width, scale, second_scale);
  });
}
#endif

template <bool kSecondScale>
void add_scaled_rows_impl(double* g, const TileRows& rows, const double* scale, const double* second_scale) {
#ifdef KESTRUM_X86_KERNELS
  if (rows.columns != nullptr && has_avx2()) {
    return add_scaled_columns_of_tile_avx2<kSecondScale>(g, rows, scale, second_scale);
  }
  if (rows.row_major() && has_avx2()) return add_scaled_rows_avx2<kSecondScale>(g, rows, scale, second_scale);
#endif
  add_scaled_rows_generic<kSecondScale>(g, rows, scale, second_scale);
}

}  // namespace

void add_scaled_rows(double* g, const TileRows& rows, const double* scale, const double* second_scale) {
  if (second_scale != nullptr) return add_scaled_rows_impl<true>(g, rows, scale, second_scale);
  add_scaled_rows_impl<false>(g, rows, scale, nullptr);
}

ProductAccumulator::ProductAccumulator(size_t k, bool symmetric)
    : k_(k),
      symmetric_(symmetric),
      padded_(round_up(std::max<size_t>(k, 1), kBlockRowsA)),
      sums_(padded_ * padded_, 0.0),
      left_(kMaxTileRows * padded_),
      right_(kMaxTileRows * padded_) {}

void ProductAccumulator::add(const TileRows& rows, const double* left_scale, const double* right_scale) {
  KESTRUM_ASSERT(rows.columns == nullptr || rows.count <= kMaxTileRows);
  for (size_t start = 0; start < rows.count; start += kMaxTileRows) {
    const TileRows part = rows.columns != nullptr
                              ? rows
                              : TileRows{rows.X, rows.start + start, std::min(kMaxTileRows, rows.count - start)};
    // Both factors the rows of X in place when neither is scaled and the
    // rows are contiguous, packed and fill whole register blocks (x_a x_c is
    // what (x_a 1)(x_c 1) gives). Otherwise the right factor: the left one
    // again when the scales are the same, the rows of X in place when they
    // are contiguous and fill whole register blocks, and otherwise a scaled,
    // padded copy. Unscaled, that copy is taken first and the left factor
    // scaled from it, row by row (the same products x_bj s_b), instead of
    // gathering the tile twice.
    const bool in_place = part.row_major() && part.X.col_stride == 1 && padded_ == k_;
    const double* left = left_.data();
    const double* right = left_.data();
    auto right_stride = static_cast<ptrdiff_t>(padded_);
    if (left_scale == nullptr && right_scale == nullptr && in_place && part.X.row_stride == right_stride) {
      left = right = part.row(0);
    } else if (right_scale == left_scale) {
      scale_rows(part, padded_, left_scale != nullptr ? left_scale + start : nullptr, left_.data());
    } else if (right_scale == nullptr && in_place) {
      scale_rows(part, padded_, left_scale + start, left_.data());
      right = part.row(0);
      right_stride = part.X.row_stride;
    } else if (right_scale == nullptr) {
      scale_rows(part, padded_, nullptr, right_.data());
      scale_copied_rows(right_.data(), part.count, k_, padded_, left_scale + start, left_.data());
      right = right_.data();
    } else {
      scale_rows(part, padded_, left_scale + start, left_.data());
      scale_rows(part, padded_, right_scale + start, right_.data());
      right = right_.data();
    }
    for (size_t a0 = 0; a0 < padded_; a0 += kBlockRowsA) {
      // A symmetric M needs only the columns from the diagonal on.
      for (size_t c0 = symmetric_ ? a0 : 0; c0 < padded_;) {
        const size_t width = block_width(c0, padded_);
        accumulate_block(sums_.data(), padded_, left, right, right_stride, part.count, a0, c0, width);
        c0 += width;
      }
    }
  }
}

Matrix ProductAccumulator::result() const {
  Matrix m(k_, k_);
  for (size_t a = 0; a < k_; ++a) {
    for (size_t c = 0; c < k_; ++c) m(a, c) = symmetric_ && c < a ? sums_[c * padded_ + a] : sums_[a * padded_ + c];
  }
  return m;
}

ScaledTile::ScaledTile(size_t k) : k_(k), rows_(TileRows::kMaxTileRows * std::max<size_t>(k, 1)) {}

void ScaledTile::assign(const TileRows& rows, const double* scale) {
  KESTRUM_ASSERT(rows.count <= TileRows::kMaxTileRows && rows.cols() == k_);
  scale_rows(rows, k_, scale, rows_.data());
  count_ = rows.count;
}

namespace {

// sums[b] <- sums[b] + row b of rows (count x k, row-major), in row order.
KESTRUM_AVX2_CLONES void add_rows_to(double* const* sums, const double* rows, size_t count, size_t k) noexcept {
  for (size_t b = 0; b < count; ++b) {
    double* __restrict sum = sums[b];
    const double* __restrict x = rows + b * k;
    for (size_t j = 0; j < k; ++j) sum[j] = sum[j] + x[j];
  }
}

}  // namespace

void ScaledTile::add_to(double* const* sums) const noexcept { add_rows_to(sums, rows_.data(), count_, k_); }

}  // namespace kestrum
