#include "margins/effect_kernel.hpp"

#include <algorithm>

#include "numeric/tile_kernels.hpp"
#include "numeric/tile_source.hpp"
#include "numeric/vector_math.hpp"

namespace kestrum {

namespace {

constexpr size_t kInterruptRows = size_t{1} << 16;

// f, and F unless F is null, of count indices, on the response or the link scale.
void response(const double* z, double* F, double* f, size_t count, bool link) {
  if (link) {
    if (F != nullptr) std::copy(z, z + count, F);
    std::fill(f, f + count, 1.0);
    return;
  }
  if (F != nullptr) normal_cdf_array(z, F, count);  // erfc: the costly part, left out for slopes
  normal_pdf_array(z, f, count);
}

// sum_r term(r) over a tile's rows in four interleaved partial sums, added
// pairwise at the end: four independent chains of additions instead of one.
template <class Term>
double tile_sum(size_t count, Term term) {
  double lane[4] = {0.0, 0.0, 0.0, 0.0};
  size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    lane[0] += term(r);
    lane[1] += term(r + 1);
    lane[2] += term(r + 2);
    lane[3] += term(r + 3);
  }
  for (size_t q = 0; r < count; ++r, ++q) lane[q] += term(r);
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

class GroupedSums {
 public:
  GroupedSums(size_t groups, size_t k, size_t c) : sums_{Vector(groups), Matrix(groups, k)}, on_columns_(groups, c) {}

  // Row b of the tile, of group g: value v and w x_b over all columns.
  void add(size_t g, double v, double w, const TileRows& tile, size_t b) {
    sums_.values[g] += v;
    double* row = sums_.gradients.row(g);
    if (tile.row_major()) {  // a row-major block: a loop the compiler vectorizes
      const double* x = tile.row(b);
      for (size_t m = 0; m < tile.X.cols; ++m) row[m] += w * x[m];
      return;
    }
    for (size_t m = 0; m < tile.X.cols; ++m) row[m] += w * tile(b, m);
  }
  // The rows of a tile, all of group g: the values in four partial sums, the
  // gradient by the tile kernel (its row held in registers while rows stream by).
  void add_tile(size_t g, const double* v, const double* w, const TileRows& tile) {
    sums_.values[g] += tile_sum(tile.count, [v](size_t b) { return v[b]; });
    add_scaled_rows(sums_.gradients.row(g), tile, w);
  }
  double* columns_row(size_t g) { return on_columns_.row(g); }

  // The gradients with the columns c taken from their own sums: replaced
  // (contrast: f1 x1 - f0 x0 there) or added (slope: f d there).
  EffectGroupSums finish(const std::vector<size_t>& columns, bool replace) {
    for (size_t g = 0; g < on_columns_.rows(); ++g) {
      for (size_t j = 0; j < columns.size(); ++j) {
        double& target = sums_.gradients(g, columns[j]);
        target = replace ? on_columns_(g, j) : target + on_columns_(g, j);
      }
    }
    return std::move(sums_);
  }

 private:
  EffectGroupSums sums_;
  Matrix on_columns_;  // G x |c|
};

// The scratch of one tile of rows. F0 and f0 are those of the base rows
// base (with its columns), kept for the next levels of the same variable.
struct Tile {
  double z[kTileRows], F[kTileRows], f[kTileRows], F1[kTileRows], f1[kTileRows], F0[kTileRows], f0[kTileRows],
      t[kTileRows], z1[kTileRows], z0[kTileRows], wf[kTileRows], wf0[kTileRows];
  const EffectColumns* base = nullptr;
};

// Column j of a tile's rows.
StridedColumn column_of(const TileRows& x, size_t j) {
  if (x.columns != nullptr) return {x.columns[j], 1};
  const MatrixView& M = x.X;
  return {&M.origin[static_cast<ptrdiff_t>(x.start) * M.row_stride + static_cast<ptrdiff_t>(j) * M.col_stride],
          M.row_stride};
}

// Whether every column holds one value for every row.
bool constant_columns(const std::vector<StridedColumn>& columns) {
  return std::all_of(columns.begin(), columns.end(), [](const StridedColumn& c) { return c.stride == 0; });
}

// out[r] = sum_j M_j[first + r] b_j over the columns in order, from 0.0.
void row_products(const std::vector<StridedColumn>& M, size_t first, const std::vector<double>& b, size_t count,
                  double* out) {
  std::fill(out, out + count, 0.0);
  for (size_t j = 0; j < b.size(); ++j) {
    const StridedColumn m = M[j].from(first);
    const double coefficient = b[j];
    for (size_t r = 0; r < count; ++r) out[r] += m[r] * coefficient;
  }
}

// The index of the tile's rows with their columns c replaced by those of Y
// (its rows from start on): z + (y - x)'b_c, the change summed over c in
// order from 0.0.
void shifted_index(const TileRows& x, const double* z, const EffectColumns& effect,
                   const std::vector<StridedColumn>& Y, const std::vector<double>& b, size_t start, double* out) {
  const size_t count = x.count;
  double shift[kTileRows];
  std::fill(shift, shift + count, 0.0);
  for (size_t j = 0; j < effect.columns.size(); ++j) {
    const StridedColumn y = Y[j].from(start);
    const StridedColumn own = column_of(x, effect.columns[j]);
    const double coefficient = b[j];
    for (size_t r = 0; r < count; ++r) shift[r] += (y[r] - own[r]) * coefficient;
  }
  for (size_t r = 0; r < count; ++r) out[r] = z[r] + shift[r];
}

bool same_base(const EffectColumns* held, const EffectColumns& effect) {
  return held != nullptr && held->B == effect.B && held->columns == effect.columns;
}

// The rows [start, start + count) of one effect (x: their rows of X, as a
// tile of count rows), z, F and f at z given in tile: per row its value and
// the weight w of x_i in its gradient (into weights, 2 x kTileRows), and its
// own columns' part of the gradient added to sums. group: that of every row
// of the tile, or negative (row by row).
void tile_effect(const EffectRows& rows, const EffectColumns& effect, const std::vector<double>& b, bool link,
                 size_t start, const TileRows& x, double group, Tile& tile, GroupedSums& sums,
                 std::vector<double>& weights) {
  const size_t c = effect.columns.size(), count = x.count;
  const double* z = tile.z;
  const double* F = tile.F;
  const double* f = tile.f;
  if (effect.kind == EffectKind::contrast) {
    shifted_index(x, z, effect, effect.A, b, start, tile.z1);
    response(tile.z1, tile.F1, tile.f1, count, link);
    if (!same_base(tile.base, effect)) {
      shifted_index(x, z, effect, effect.B, b, start, tile.z0);
      response(tile.z0, tile.F0, tile.f0, count, link);
      tile.base = &effect;
    }
    F = tile.F1;
    f = tile.f1;
  } else if (effect.kind == EffectKind::slope) {
    row_products(effect.A, start, b, count, tile.t);
  }
  double* value = weights.data();
  double* weight = value + kTileRows;
  switch (effect.kind) {
    case EffectKind::prediction:
      std::copy(F, F + count, value);
      std::copy(f, f + count, weight);
      break;
    case EffectKind::slope:
      for (size_t r = 0; r < count; ++r) value[r] = f[r] * tile.t[r];
      for (size_t r = 0; r < count; ++r) weight[r] = link ? 0.0 : -z[r] * f[r] * tile.t[r];
      break;
    case EffectKind::contrast:
      for (size_t r = 0; r < count; ++r) value[r] = F[r] - tile.F0[r];
      for (size_t r = 0; r < count; ++r) weight[r] = f[r] - tile.f0[r];
      break;
  }
  if (rows.weights != nullptr) {  // w_i times the row's value and gradient
    for (size_t r = 0; r < count; ++r) {
      value[r] *= rows.weights[start + r];
      weight[r] *= rows.weights[start + r];
    }
  }
  if (effect.kind == EffectKind::prediction) return;
  // The effect's own columns: slope f d, contrast f1 x1 - f0 x0, row by row
  // (a tile of one group column by column, in the same order).
  const bool contrast = effect.kind == EffectKind::contrast;
  const double* f0 = tile.f0;
  if (rows.weights != nullptr) {  // w_i f and w_i f0: the rows' weighted parts (f0 stays for the next levels)
    for (size_t r = 0; r < count; ++r) {
      tile.wf[r] = rows.weights[start + r] * f[r];
      tile.wf0[r] = contrast ? rows.weights[start + r] * tile.f0[r] : 0.0;
    }
    f = tile.wf;
    f0 = tile.wf0;
  }
  if (group >= 0) {
    double* on_columns = sums.columns_row(static_cast<size_t>(group));
    if (constant_columns(effect.A) && (!contrast || constant_columns(effect.B))) {
      // Columns that are the same in every row (a level's own dummies, v alone): a_j sum f - b_j sum f0.
      const double f_sum = tile_sum(count, [f](size_t r) { return f[r]; });
      const double f0_sum = contrast ? tile_sum(count, [f0](size_t r) { return f0[r]; }) : 0.0;
      for (size_t j = 0; j < c; ++j) {
        on_columns[j] += contrast ? effect.A[j][0] * f_sum - effect.B[j][0] * f0_sum : effect.A[j][0] * f_sum;
      }
      return;
    }
    for (size_t j = 0; j < c; ++j) {
      const StridedColumn level = effect.A[j].from(start);
      if (contrast) {
        const StridedColumn base = effect.B[j].from(start);
        on_columns[j] += tile_sum(count, [&](size_t r) { return f[r] * level[r] - f0[r] * base[r]; });
      } else {
        on_columns[j] += tile_sum(count, [&](size_t r) { return f[r] * level[r]; });
      }
    }
    return;
  }
  for (size_t r = 0; r < count; ++r) {
    const double code = rows.group[start + r];
    if (!(code >= 0.0)) continue;
    double* on_columns = sums.columns_row(static_cast<size_t>(code));
    for (size_t j = 0; j < c; ++j) {
      on_columns[j] += contrast ? f[r] * effect.A[j][start + r] - f0[r] * effect.B[j][start + r]
                                : f[r] * effect.A[j][start + r];
    }
  }
}

// The group of every row of the tile, or -1 when they differ or are left out.
double tile_group(const double* group, size_t count) {
  const double first = group[0];
  const bool one = first >= 0.0 && std::all_of(group, group + count, [first](double code) { return code == first; });
  return one ? first : -1.0;
}

}  // namespace

// A slope whose derivative is the same in every row (every column of A one
// value for all rows: v alone): its sums are t = d'b_c times the sums of f
// and of -z f x_i, shared by every such slope.
bool constant_slope(const EffectColumns& effect, size_t n) {
  return effect.kind == EffectKind::slope && n > 0 && constant_columns(effect.A);
}

// The sums of a constant slope from the shared ones (common: values the sum
// of f, gradients that of -z f x_i): value t sum f, gradient t sum(-z f x_i),
// plus d_j sum f on its columns.
EffectGroupSums scaled_sums(const EffectGroupSums& common, const EffectColumns& effect, const std::vector<double>& b) {
  double t = 0.0;
  for (size_t j = 0; j < effect.columns.size(); ++j) t += effect.A[j][0] * b[j];
  EffectGroupSums out{Vector(common.values.size()), Matrix(common.gradients.rows(), common.gradients.cols())};
  for (size_t g = 0; g < common.values.size(); ++g) {
    out.values[g] = t * common.values[g];
    for (size_t m = 0; m < common.gradients.cols(); ++m) out.gradients(g, m) = t * common.gradients(g, m);
    for (size_t j = 0; j < effect.columns.size(); ++j) {
      out.gradients(g, effect.columns[j]) += effect.A[j][0] * common.values[g];
    }
  }
  return out;
}

std::vector<EffectGroupSums> effect_group_sums(bool link, const EffectRows& rows, const Vector& beta,
                                               InterruptCheck interrupt) {
  const size_t n = rows.rows(), k = rows.cols();
  if (beta.size() != k) shape_failure("effect rows", n, k, beta.size(), 1);
  std::vector<GroupedSums> sums;
  std::vector<std::vector<double>> b;  // per effect, the coefficients of its columns
  sums.reserve(rows.effects.size());
  b.reserve(rows.effects.size());
  bool predicts = false;
  for (const EffectColumns& effect : rows.effects) {
    for (size_t column : effect.columns) {
      if (column >= k) shape_failure("effect columns", n, k, column, 1);
    }
    sums.emplace_back(rows.groups, k, effect.columns.size());
    b.emplace_back(effect.columns.size());
    for (size_t j = 0; j < effect.columns.size(); ++j) b.back()[j] = beta[effect.columns[j]];
    predicts = predicts || effect.kind == EffectKind::prediction;
  }
  const size_t effects = rows.effects.size();
  std::vector<size_t> summed;  // the effects summed row by row; `effects` stands for the shared sums
  for (size_t e = 0; e < effects; ++e) {
    if (!constant_slope(rows.effects[e], n)) summed.push_back(e);
  }
  const bool shared = summed.size() < effects;
  if (shared) {
    summed.push_back(effects);
    sums.emplace_back(rows.groups, k, 0);
  }
  std::vector<std::vector<double>> weights(effects + 1, std::vector<double>(2 * kTileRows));
  TileScratch scratch;
  Tile tile;
  size_t unchecked = 0;
  for (size_t start = 0; start < n; start += kTileRows) {
    if (unchecked >= kInterruptRows) {
      interrupt();
      unchecked = 0;
    }
    const size_t count = std::min(kTileRows, n - start);
    unchecked += count;
    const TileRows x = rows.X.tile(start, count, scratch);
    tile_linear_index(x, beta.data(), tile.z);  // every storage of X, the same sums
    response(tile.z, predicts ? tile.F : nullptr, tile.f, count, link);  // shared by the effects
    tile.base = nullptr;
    const double group = tile_group(rows.group + start, count);
    for (size_t e : summed) {
      if (e < effects) tile_effect(rows, rows.effects[e], b[e], link, start, x, group, tile, sums[e], weights[e]);
    }
    if (shared) {  // f and -z f
      for (size_t r = 0; r < count; ++r) {
        weights[effects][r] = tile.f[r];
        weights[effects][kTileRows + r] = link ? 0.0 : -tile.z[r] * tile.f[r];
      }
      if (rows.weights != nullptr) {
        for (size_t r = 0; r < count; ++r) {
          weights[effects][r] *= rows.weights[start + r];
          weights[effects][kTileRows + r] *= rows.weights[start + r];
        }
      }
    }
    // Every effect's w x_i, each sum adding its rows in row order: a tile of
    // one group at once, else row by row.
    if (group >= 0.0) {
      for (size_t e : summed) {
        sums[e].add_tile(static_cast<size_t>(group), weights[e].data(), weights[e].data() + kTileRows, x);
      }
      continue;
    }
    for (size_t r = 0; r < count; ++r) {
      const double code = rows.group[start + r];
      if (!(code >= 0.0)) continue;
      const auto g = static_cast<size_t>(code);
      for (size_t e : summed) sums[e].add(g, weights[e][r], weights[e][kTileRows + r], x, r);
    }
  }
  const EffectGroupSums common = shared ? sums[effects].finish({}, false) : EffectGroupSums{};
  std::vector<EffectGroupSums> out;
  out.reserve(effects);
  for (size_t e = 0; e < effects; ++e) {
    const EffectColumns& effect = rows.effects[e];
    out.push_back(constant_slope(effect, n) ? scaled_sums(common, effect, b[e])
                                            : sums[e].finish(effect.columns, effect.kind == EffectKind::contrast));
  }
  return out;
}

}  // namespace kestrum
