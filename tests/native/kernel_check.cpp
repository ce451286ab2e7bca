// The numeric core on fixed data, for scripts/check_platforms.sh: checks what
// must hold on any processor, then prints every result, one value a line,
//
//   <class> <quantity> <index> <bits of the double, 16 hex digits> <value>
//
// for compare_values.py to set against the same driver built elsewhere.
// class "exact": only +, -, *, / and sqrt on the same inputs (the tile
// kernels; factorisation, inverse and covariance of a matrix formed from X
// alone), which IEEE arithmetic without contraction makes identical on every
// processor and every path. class "libm": through exp, log and erfc of the C
// library or of libmvec, which differ between libraries by a few ulp.
//
// The data come from an integer generator and exact operations, so every
// build starts from the same bits. Exits 1 when a check fails.
#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "estimation/covariance.hpp"
#include "estimation/evaluation.hpp"
#include "margins/ame_kernel.hpp"
#include "numeric/symmetric_factor.hpp"
#include "numeric/tile_kernels.hpp"

namespace {

using kestrum::Matrix;
using kestrum::MatrixView;
using kestrum::TileRows;
using kestrum::Vector;

int failures = 0;

void fail(const std::string& what) {
  std::fprintf(stderr, "kernel_check: FAILED: %s\n", what.c_str());
  ++failures;
}

void print(const char* kind, const std::string& quantity, size_t index, double value) {
  std::printf("%s %s %zu %016" PRIx64 " %.17g\n", kind, quantity.c_str(), index, std::bit_cast<uint64_t>(value),
              value);
}
void print(const char* kind, const std::string& quantity, const Vector& v) {
  for (size_t i = 0; i < v.size(); ++i) print(kind, quantity, i, v[i]);
}
void print(const char* kind, const std::string& quantity, const Matrix& m) {
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) print(kind, quantity, i * m.cols() + j, m(i, j));
  }
}

// Vector and Matrix own their storage and do not copy implicitly.
Vector copy_of(const Vector& v) {
  Vector copy(v.size());
  for (size_t i = 0; i < v.size(); ++i) copy[i] = v[i];
  return copy;
}
Matrix copy_of(const Matrix& m) {
  Matrix copy(m.rows(), m.cols());
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) copy(i, j) = m(i, j);
  }
  return copy;
}

// A 64-bit linear congruential generator; uniform() has 53 random bits.
struct Generator {
  uint64_t state;
  double uniform() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1.0p-53;
  }
  double centred() { return (uniform() + uniform() + uniform()) - 1.5; }  // bell-shaped on (-1.5, 1.5)
};

// One data set: X (a constant, a 0/1 column and columns of scales from 0.01
// to 100) stored in a chosen layout, y from a latent index, and two points:
// one inside the data's range of indices and one far in the tails.
struct Case {
  std::string name;
  size_t n, k;
  std::vector<double> storage;
  MatrixView X, y;
  std::vector<double> outcomes;
  Vector beta, far_beta;
};

enum class Layout { row_major, column_major, reversed_rows };

Case make_case(std::string name, size_t n, size_t k, Layout layout, uint64_t seed) {
  Generator random{seed};
  std::vector<double> x(n * k);  // row-major
  const double scales[] = {1.0, 0.01, 100.0, 0.5, 4.0};
  for (size_t i = 0; i < n; ++i) {
    x[i * k] = 1.0;
    if (k > 1) x[i * k + 1] = random.uniform() < 0.4 ? 1.0 : 0.0;
    for (size_t j = 2; j < k; ++j) x[i * k + j] = random.centred() * scales[j % 5];
  }
  Case c{std::move(name), n, k, {}, {}, {}, std::vector<double>(n), Vector(k), Vector(k)};
  for (size_t j = 0; j < k; ++j) {
    const double size = j < 2 ? 0.5 : 1.0 / scales[j % 5];
    c.beta[j] = (random.uniform() - 0.5) * size;
    c.far_beta[j] = c.beta[j] * 16.0;
  }
  for (size_t i = 0; i < n; ++i) {
    double index = 0.0;
    for (size_t j = 0; j < k; ++j) index += x[i * k + j] * c.beta[j];
    c.outcomes[i] = index + random.centred() > 0.0 ? 1.0 : 0.0;
  }
  c.storage.resize(n * k);
  const auto rows = static_cast<ptrdiff_t>(n), cols = static_cast<ptrdiff_t>(k);
  switch (layout) {
    case Layout::row_major:
      c.storage = x;
      c.X = MatrixView{c.storage.data(), n, k, cols, 1};
      break;
    case Layout::column_major:
      for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) c.storage[j * n + i] = x[i * k + j];
      }
      c.X = MatrixView{c.storage.data(), n, k, 1, rows};
      break;
    case Layout::reversed_rows:  // row i stored at row n - 1 - i
      for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) c.storage[(n - 1 - i) * k + j] = x[i * k + j];
      }
      c.X = MatrixView{c.storage.data() + (n - 1) * k, n, k, -cols, 1};
      break;
  }
  c.y = MatrixView{c.outcomes.data(), n, 1, 1, 0};
  return c;
}

// Exact row weights: small integers, some zero, some negative.
double weight(size_t i) { return static_cast<double>(static_cast<int>(i % 7) - 3); }

// The tile kernels against plain loops that add in the order their contract
// states; every path (AVX2, AVX-512, portable) must match them bit for bit.
void check_tiles(const Case& c) {
  Vector eta(c.n), gradient(c.k), twice_scaled(c.k);
  kestrum::ProductAccumulator symmetric(c.k, true), general(c.k, false);
  kestrum::ScaledTile scaled(c.k);
  constexpr size_t kClusters = 23;
  const auto cluster = [](size_t i) { return (i * 7) % kClusters; };
  std::vector<double> cluster_sums(kClusters * c.k, 0.0);
  std::vector<double> weights(c.n), halves(c.n);
  for (size_t i = 0; i < c.n; ++i) {
    weights[i] = weight(i);
    halves[i] = 0.5 * weight(i + 3);
  }
  for (size_t start = 0; start < c.n; start += kestrum::kTileRows) {
    const TileRows rows{c.X, start, std::min(kestrum::kTileRows, c.n - start)};
    kestrum::tile_linear_index(rows, c.beta.data(), eta.data() + start);
    kestrum::add_scaled_rows(gradient.data(), rows, weights.data() + start);
    kestrum::add_scaled_rows(twice_scaled.data(), rows, weights.data() + start, halves.data() + start);
    symmetric.add(rows, weights.data() + start, weights.data() + start);
    general.add(rows, weights.data() + start, nullptr);
    scaled.assign(rows, weights.data() + start);
    double* targets[kestrum::kTileRows];
    for (size_t b = 0; b < rows.count; ++b) targets[b] = cluster_sums.data() + cluster(start + b) * c.k;
    scaled.add_to(targets);
  }
  const Matrix weighted_square = symmetric.result(), weighted_cross = general.result();

  bool same = true;
  for (size_t i = 0; i < c.n; ++i) {
    double sum = 0.0;
    for (size_t j = 0; j < c.k; ++j) sum += c.X(i, j) * c.beta[j];
    same = same && std::bit_cast<uint64_t>(sum) == std::bit_cast<uint64_t>(eta[i]);
  }
  for (size_t j = 0; j < c.k; ++j) {
    double g = 0.0, t = 0.0;
    for (size_t i = 0; i < c.n; ++i) {
      g = c.X(i, j) * weights[i] + g;
      t = (c.X(i, j) * weights[i]) * halves[i] + t;
    }
    same = same && g == gradient[j] && t == twice_scaled[j];
    for (size_t m = 0; m < c.k; ++m) {
      double square = 0.0, cross = 0.0;
      for (size_t i = 0; i < c.n; ++i) {
        square = square + (c.X(i, j) * weights[i]) * (c.X(i, m) * weights[i]);
        cross = cross + (c.X(i, j) * weights[i]) * c.X(i, m);
      }
      same = same && square == weighted_square(j, m) && cross == weighted_cross(j, m);
    }
  }
  std::vector<double> expected_sums(kClusters * c.k, 0.0);
  for (size_t i = 0; i < c.n; ++i) {
    for (size_t j = 0; j < c.k; ++j) {
      double& sum = expected_sums[cluster(i) * c.k + j];
      sum = sum + c.X(i, j) * weights[i];
    }
  }
  same = same && expected_sums == cluster_sums;
  if (!same) fail(c.name + ": a tile kernel differs from its reference loop");

  print("exact", c.name + ".eta", eta);
  print("exact", c.name + ".scaled_rows", gradient);
  print("exact", c.name + ".twice_scaled_rows", twice_scaled);
  print("exact", c.name + ".weighted_square", weighted_square);
  print("exact", c.name + ".weighted_cross", weighted_cross);
  for (size_t e = 0; e < cluster_sums.size(); ++e) print("exact", c.name + ".scaled_tile_sums", e, cluster_sums[e]);
}

double max_abs(const Matrix& m) {
  double largest = 0.0;
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) largest = std::fmax(largest, std::fabs(m(i, j)));
  }
  return largest;
}

// The factorisation of X'X and of a matrix of rank k - 1, the inverse and the
// sandwich, from X alone.
void check_factor(const Case& c) {
  kestrum::ProductAccumulator products(c.k, false);
  const std::vector<double> unit(c.n, 1.0);
  for (size_t start = 0; start < c.n; start += kestrum::kTileRows) {
    const TileRows rows{c.X, start, std::min(kestrum::kTileRows, c.n - start)};
    products.add(rows, unit.data() + start, nullptr);
  }
  const Matrix cross = products.result();
  const kestrum::SymmetricFactor factor(cross);
  const Matrix inverse = factor.inverse();
  Matrix residual = kestrum::multiply(cross, inverse);
  for (size_t j = 0; j < c.k; ++j) residual(j, j) -= 1.0;
  if (!factor.full_rank() || !(max_abs(residual) < 1e-9)) fail(c.name + ": X'X (X'X)^-1 is not the identity");

  // The Gram matrix with column 1 of X replaced by column 0 plus column 2: rank k - 1.
  Matrix dependent = copy_of(cross);
  for (size_t j = 0; j < c.k; ++j) dependent(1, j) = cross(0, j) + cross(2, j);
  for (size_t j = 0; j < c.k; ++j) dependent(j, 1) = dependent(1, j);
  dependent(1, 1) = cross(0, 0) + cross(2, 2) + (cross(0, 2) + cross(0, 2));
  const kestrum::SymmetricFactor singular(dependent);
  if (singular.rank() != c.k - 1) fail(c.name + ": the rank of a dependent matrix is not k - 1");

  Vector ones(c.k);
  for (size_t j = 0; j < c.k; ++j) ones[j] = 1.0;
  const kestrum::CovarianceOutcome sandwich = kestrum::covariance_from_hessian(kestrum::negated(cross), &cross);

  print("exact", c.name + ".cross", cross);
  print("exact", c.name + ".inverse", inverse);
  print("exact", c.name + ".solve", factor.solve(ones));
  print("exact", c.name + ".sandwich", sandwich.cov);
  print("exact", c.name + ".rank_dependent", 0, static_cast<double>(singular.rank()));
  const std::vector<size_t> involved = singular.columns_involved();
  for (size_t i = 0; i < involved.size(); ++i) {
    print("exact", c.name + ".columns_involved", i, static_cast<double>(involved[i]));
  }
}

// The likelihood, its derivatives and the covariance at a point, and the
// marginal effects there.
void check_likelihood(const Case& c, const Vector& beta, const std::string& at) {
  const kestrum::Probit problem{c.y, kestrum::TileSource(c.X)};
  const std::string name = c.name + "." + at;
  const unsigned all = kestrum::kLogLikelihood | kestrum::kGradient | kestrum::kHessian | kestrum::kRobustMeat;
  const kestrum::Evaluation sums = kestrum::evaluate_probit(problem, beta, all);

  // The gradient against central differences of l, with steps that move the
  // index by at most 1e-5: the truncation and rounding errors stay far below
  // 1e-6 of sum_i |x_ij|, the size of entry j (|lambda_i| is about 1), and a
  // wrong score term is far above.
  for (size_t j = 0; j < c.k; ++j) {
    double size = 0.0, largest = 0.0;
    for (size_t i = 0; i < c.n; ++i) {
      size += std::fabs(c.X(i, j));
      largest = std::fmax(largest, std::fabs(c.X(i, j)));
    }
    const double step = 1e-5 / largest;
    Vector up = copy_of(beta), down = copy_of(beta);
    up[j] += step;
    down[j] -= step;
    const double difference =
        (kestrum::evaluate_probit(problem, up, kestrum::kLogLikelihood).loglike -
         kestrum::evaluate_probit(problem, down, kestrum::kLogLikelihood).loglike) / (2.0 * step);
    if (!(std::fabs(difference - sums.gradient[j]) <= 1e-6 * size)) {
      fail(name + ": gradient entry " + std::to_string(j) + " disagrees with the difference quotient of l");
    }
  }

  std::vector<uint32_t> cluster_of(c.n);
  for (size_t i = 0; i < c.n; ++i) cluster_of[i] = static_cast<uint32_t>((i * 7) % 23);
  const Matrix clustered = kestrum::cluster_meat(problem, beta, cluster_of, 23);
  const kestrum::CovarianceOutcome nonrobust = kestrum::covariance_from_hessian(sums.hessian, nullptr);
  const kestrum::CovarianceOutcome robust = kestrum::covariance_from_hessian(sums.hessian, &sums.meat);

  const std::vector<kestrum::RegressorKind> kinds(c.k, kestrum::RegressorKind::indicator_if_binary);
  const auto effects = kestrum::average_marginal_effects(kestrum::TileSource(c.X), beta, nonrobust.cov, kinds, 300);
  Vector effect(c.k), std_error(c.k), z(c.k), p(c.k);
  for (size_t j = 0; j < c.k; ++j) {
    effect[j] = effects[j].effect;
    std_error[j] = effects[j].std_error;
    z[j] = effects[j].z;
    p[j] = effects[j].p;
  }

  print("libm", name + ".loglike", 0, sums.loglike);
  print("libm", name + ".gradient", sums.gradient);
  print("libm", name + ".hessian", sums.hessian);
  print("libm", name + ".near_certain_hessian", sums.near_certain_hessian);
  print("libm", name + ".near_certain", 0, static_cast<double>(sums.near_certain));
  print("libm", name + ".meat", sums.meat);
  print("libm", name + ".cluster_meat", clustered);
  print("libm", name + ".cov", nonrobust.cov);
  print("libm", name + ".cov_robust", robust.cov);
  print("libm", name + ".ame", effect);
  print("libm", name + ".ame_se", std_error);
  print("libm", name + ".ame_z", z);
  print("libm", name + ".ame_p", p);
}

}  // namespace

int main() {
  const Case cases[] = {
      make_case("rows7", 1000, 7, Layout::row_major, 1),
      make_case("columns19", 600, 19, Layout::column_major, 2),
      make_case("reversed5", 333, 5, Layout::reversed_rows, 3),
  };
  for (const Case& c : cases) {
    check_tiles(c);
    check_factor(c);
    check_likelihood(c, c.beta, "near");
    check_likelihood(c, c.far_beta, "far");
  }
  if (failures > 0) {
    std::fprintf(stderr, "kernel_check: %d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
