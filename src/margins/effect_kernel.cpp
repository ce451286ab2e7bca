#include "margins/effect_kernel.hpp"

#include <algorithm>

#include "numeric/vector_math.hpp"

namespace kestrum {

namespace {

constexpr size_t kTileRows = 256;
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

class GroupedSums {
 public:
  GroupedSums(size_t groups, size_t k, size_t c) : sums_{Vector(groups), Matrix(groups, k)}, on_columns_(groups, c) {}

  // Row i of group g: value v, w x_i over all columns, and u on the columns c.
  void add(size_t g, double v, double w, const MatrixView& X, size_t i) {
    sums_.values[g] += v;
    double* row = sums_.gradients.row(g);
    if (X.col_stride == 1) {  // a row-major block: a loop the compiler vectorizes
      const double* x = X.origin + static_cast<ptrdiff_t>(i) * X.row_stride;
      for (size_t m = 0; m < X.cols; ++m) row[m] += w * x[m];
      return;
    }
    for (size_t m = 0; m < X.cols; ++m) row[m] += w * X(i, m);
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

}  // namespace

EffectGroupSums effect_group_sums(EffectKind kind, bool link, const EffectRows& rows, const Vector& beta,
                                  InterruptCheck interrupt) {
  const size_t n = rows.X.rows, k = rows.X.cols, c = rows.columns.size();
  if (beta.size() != k) shape_failure("effect rows", n, k, beta.size(), 1);
  for (size_t column : rows.columns) {
    if (column >= k) shape_failure("effect columns", n, k, column, 1);
  }
  GroupedSums sums(rows.groups, k, c);
  std::vector<double> b(c);
  for (size_t j = 0; j < c; ++j) b[j] = beta[rows.columns[j]];

  double F[kTileRows], f[kTileRows], F0[kTileRows], f0[kTileRows], t[kTileRows], z1[kTileRows], z0[kTileRows];
  size_t unchecked = 0;
  for (size_t start = 0; start < n; start += kTileRows) {
    if (unchecked >= kInterruptRows) {
      interrupt();
      unchecked = 0;
    }
    const size_t count = std::min(kTileRows, n - start);
    unchecked += count;
    const double* z = rows.z + start;
    if (kind == EffectKind::contrast) {
      for (size_t r = 0; r < count; ++r) {
        double shift1 = 0.0, shift0 = 0.0;
        for (size_t j = 0; j < c; ++j) {
          const double x = rows.X(start + r, rows.columns[j]);
          shift1 += (rows.A(start + r, j) - x) * b[j];
          shift0 += (rows.B(start + r, j) - x) * b[j];
        }
        z1[r] = z[r] + shift1;
        z0[r] = z[r] + shift0;
      }
      response(z1, F, f, count, link);
      response(z0, F0, f0, count, link);
    } else {
      response(z, kind == EffectKind::slope ? nullptr : F, f, count, link);
    }
    if (kind == EffectKind::slope) {
      for (size_t r = 0; r < count; ++r) {
        double slope = 0.0;
        for (size_t j = 0; j < c; ++j) slope += rows.A(start + r, j) * b[j];
        t[r] = slope;
      }
    }
    for (size_t r = 0; r < count; ++r) {
      const double code = rows.group[start + r];
      if (!(code >= 0.0)) continue;
      const auto g = static_cast<size_t>(code);
      const size_t i = start + r;
      double* on_columns = sums.columns_row(g);
      switch (kind) {
        case EffectKind::prediction:
          sums.add(g, F[r], f[r], rows.X, i);
          break;
        case EffectKind::slope:
          sums.add(g, f[r] * t[r], link ? 0.0 : -z[r] * f[r] * t[r], rows.X, i);
          for (size_t j = 0; j < c; ++j) on_columns[j] += f[r] * rows.A(i, j);
          break;
        case EffectKind::contrast:
          sums.add(g, F[r] - F0[r], f[r] - f0[r], rows.X, i);
          for (size_t j = 0; j < c; ++j) on_columns[j] += f[r] * rows.A(i, j) - f0[r] * rows.B(i, j);
          break;
      }
    }
  }
  return sums.finish(rows.columns, kind == EffectKind::contrast);
}

}  // namespace kestrum
