// BFGS on the inverse Hessian of the log-likelihood, started from the exact
// inverse Hessian at beta = 0, with a step-halving line search.
//
// At beta = 0 every eta_i is 0, so w_i = (eta_i + lambda_i) lambda_i is
// lambda_i^2 and the Hessian there is minus the outer product of the scores,
// sum_i (x_i lambda_i)(x_i lambda_i)'. That form is exactly symmetric and is
// accumulated at about half the cost; only the starting matrix comes from it.
//
// H approximates the inverse of the (negative definite) Hessian of l, so the
// direction d = -H g is an ascent direction. After a move s with gradient
// change y (sy = y.s < 0 on this concave objective), the textbook inverse
// update (Nocedal & Wright, Numerical Optimization, eq. 6.17) is
//   H <- (I - rho s y') H (I - rho y s') + rho s s',   rho = 1 / sy,
// which expands, with Hy = H y and yHy = y'H y, to
//   H <- H - rho (s Hy' + Hy s') + (rho^2 yHy + rho) s s'.
#include "estimation/bfgs.hpp"

#include <cmath>

#include "estimation/evaluation.hpp"
#include "numeric/invert.hpp"

namespace kestrum {

namespace {

// The update is made only when the curvature condition holds with a margin.
constexpr double kCurvatureThreshold = -1e-14;
constexpr int kMaxHalvings = 10;

// Near the optimum the change in l shrinks superlinearly, roughly as
// d_next = d^2 / d_previous. When that prediction is below this multiple of
// tol, the step's pass also computes what the covariance needs, which saves a
// pass over X when the step is indeed the last; a wrong guess costs only the
// extra arithmetic, and the sums are then computed again at the estimate.
constexpr double kLastStepMargin = 100.0;

bool predicted_last(double change, double previous_change, double tol) {
  if (previous_change == 0.0) return false;
  return std::fabs(change * change / previous_change) < kLastStepMargin * tol;
}

// The sums handed on with the estimate: only those of the pass that produced
// it, when that pass computed them.
std::optional<Evaluation> kept(bool valid, Evaluation&& sums) {
  if (!valid) return std::nullopt;
  return std::move(sums);
}

Matrix starting_inverse_hessian(const Probit& problem, const Matrix& hessian) {
  if (auto inverse = invert_matrix(hessian)) return std::move(*inverse);
  Matrix h = Matrix::identity(problem.k());
  for (size_t a = 0; a < problem.k(); ++a) h(a, a) = -1.0;
  return h;
}

Vector step_to(const Vector& beta, const Vector& direction, double step) {
  Vector trial(beta.size());
  for (size_t j = 0; j < beta.size(); ++j) trial[j] = beta[j] + direction[j] * step;
  return trial;
}

void update_inverse_hessian(Matrix& h, const Vector& s, const Vector& y, double sy) {
  const double rho = 1.0 / sy;
  const Vector hy = multiply(h, y);
  const double yhy = dot(y, hy);
  const double ss_scale = rho * rho * yhy + rho;
  for (size_t a = 0; a < h.rows(); ++a) {
    for (size_t b = 0; b < h.cols(); ++b) {
      h(a, b) = h(a, b) - rho * (s[a] * hy[b] + hy[a] * s[b]) + ss_scale * (s[a] * s[b]);
    }
  }
}

bool all_finite(const Vector& v) {
  for (size_t j = 0; j < v.size(); ++j) {
    if (!std::isfinite(v[j])) return false;
  }
  return true;
}

}  // namespace

FitOutcome fit_bfgs(const Probit& problem, uint64_t max_iter, double tol, unsigned final_quantities,
                    InterruptCheck interrupt) {
  const size_t k = problem.k();
  Vector beta(k);
  if (max_iter == 0) {
    const double loglike = probit_log_likelihood(problem, beta);
    return FitOutcome{std::move(beta), loglike, 0, false, std::nullopt};
  }
  Evaluation start = evaluate_probit(problem, beta, kLogLikelihood | kGradient | kRobustMeat);
  double loglike_old = start.loglike;
  Vector gradient = std::move(start.gradient);
  Matrix h = starting_inverse_hessian(problem, negated(start.meat));

  double loglike_new = loglike_old;
  double change = 0.0, previous_change = 0.0;  // in l, over the last two steps
  Evaluation final_sums;                       // at the trial point, when
  bool has_final_sums = false;                 // its pass computed them
  for (uint64_t it = 0; it < max_iter; ++it) {
    interrupt();
    Vector direction = multiply(h, gradient);
    for (size_t j = 0; j < k; ++j) direction[j] = -direction[j];

    // The full step is usually accepted, so its gradient is computed in the
    // same pass as its log-likelihood; after a halving it is computed anew.
    double step = 1.0;
    Vector trial = step_to(beta, direction, step);
    const bool last_expected = predicted_last(change, previous_change, tol);
    Evaluation first =
        evaluate_probit(problem, trial, kLogLikelihood | kGradient | (last_expected ? final_quantities : 0u));
    loglike_new = first.loglike;
    Vector gradient_new = std::move(first.gradient);
    has_final_sums = last_expected;
    if (last_expected) final_sums = std::move(first);
    if (loglike_old > loglike_new) {
      has_final_sums = false;
      for (int halving = 0; halving < kMaxHalvings && loglike_old > loglike_new; ++halving) {
        step *= 0.5;
        trial = step_to(beta, direction, step);
        loglike_new = probit_log_likelihood(problem, trial);
      }
      gradient_new = probit_gradient(problem, trial);
    }

    Vector s(k), y(k);
    for (size_t j = 0; j < k; ++j) {
      s[j] = trial[j] - beta[j];
      y[j] = gradient_new[j] - gradient[j];
    }
    const double sy = dot(y, s);
    if (sy < kCurvatureThreshold) update_inverse_hessian(h, s, y, sy);

    beta = std::move(trial);
    gradient = std::move(gradient_new);
    if (std::fabs(loglike_new - loglike_old) < tol && all_finite(beta)) {
      return FitOutcome{std::move(beta), loglike_new, it, true, kept(has_final_sums, std::move(final_sums))};
    }
    previous_change = change;
    change = loglike_new - loglike_old;
    loglike_old = loglike_new;
  }
  return FitOutcome{std::move(beta), loglike_new, max_iter - 1, false, kept(has_final_sums, std::move(final_sums))};
}

}  // namespace kestrum
