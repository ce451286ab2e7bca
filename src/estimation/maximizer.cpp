#include "estimation/maximizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kestrum {

namespace {

// Sufficient increase (Armijo): l(beta + t d) >= l(beta) + c t g'd.
constexpr double kSufficientIncrease = 1e-4;
// Backtracking takes the maximiser of the quadratic through l(beta), its
// slope and l(beta + t d), kept within [kMinShrink t, kMaxShrink t].
constexpr double kMinShrink = 0.1;
constexpr double kMaxShrink = 0.5;
// A direction from the exact Hessian gets this many cuts before the
// iteration gives up; one from the BFGS approximation gets
// kBacktracksBeforeRefresh before it is replaced by the exact Hessian's.
constexpr unsigned kMaxBacktracks = 40;
constexpr unsigned kBacktracksBeforeRefresh = 4;
// A step cut this many times (or more) leaves H too poor to keep.
constexpr unsigned kBacktracksThatStall = 2;
// A full step whose gain exceeds the quadratic model's promise (half the
// slope) by this factor shows an approximation far too cautious, as when
// the Hessian at 0 is dominated by observations that later saturate.
constexpr double kCautiousGainRatio = 1.5;
// The BFGS update needs s'y < 0 (l is concave) by more than rounding.
constexpr double kCurvatureRatio = 1e-12;
// The rounding of l, rho: the most that rounding alone changes l between
// two evaluations near beta. Each of the two sums has a rounding error of
// variance v, as estimated while it is formed (see evaluation.hpp), so their
// difference has 2 v; rho is kRoundingDeviations standard deviations of it,
// and at least kLoglikeRoundingUlps ulp of l (the terms' own rounding, which
// is what remains of it for a few observations):
//   rho = max(8 eps |l|, 4 sqrt(2 v)).
constexpr double kLoglikeRoundingUlps = 8.0;
constexpr double kRoundingDeviations = 4.0;
// Near the optimum the change in l shrinks superlinearly, roughly as
// d_next = d^2 / d_previous. When that prediction is below this multiple of
// the tolerance, the step's pass also computes what the estimate will need
// (the Hessian and the final quantities), which saves a pass when the step
// is indeed the last; a wrong guess costs only the extra arithmetic.
constexpr double kLastStepMargin = 100.0;

Vector step_to(const Vector& beta, const Vector& direction, double step) {
  Vector trial(beta.size());
  for (size_t j = 0; j < beta.size(); ++j) trial[j] = beta[j] + direction[j] * step;
  return trial;
}

double norm(const Vector& v) { return std::sqrt(dot(v, v)); }

// Textbook BFGS update of the inverse Hessian (Nocedal & Wright, Numerical
// Optimization, eq. 6.17):
//   H <- (I - rho s y') H (I - rho y s') + rho s s',   rho = 1 / s'y,
// which expands, with Hy = H y and yHy = y'H y, to
//   H <- H - rho (s Hy' + Hy s') + (rho^2 yHy + rho) s s'.
// Every entry gets the same update as its mirror, so H stays symmetric.
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

// H = -(-hessian)^+, from the equilibrated, pivoted factorisation.
Matrix inverse_of_hessian(const Matrix& hessian) { return negated(SymmetricFactor(negated(hessian)).inverse()); }

Matrix difference(const Matrix& a, const Matrix& b) {
  Matrix d(a.rows(), a.cols());
  for (size_t r = 0; r < a.rows(); ++r) {
    for (size_t c = 0; c < a.cols(); ++c) d(r, c) = a(r, c) - b(r, c);
  }
  return d;
}

// The columns whose sums of squares a double cannot hold, from a matrix of
// such sums (the Hessian, the meat) and the gradient: a row with an entry
// that is not finite (overflow), or, at beta = 0, a diagonal entry below the
// smallest normal double while the column is not all zero (underflow: a
// zero diagonal with a nonzero gradient, or a subnormal one). At beta = 0
// every weight is 2 / pi, so that diagonal is the column's own magnitude;
// elsewhere the weights of near-certain observations underflow as they
// should. A factor would treat such columns as absent, and the decrement
// would vanish at any point.
std::vector<size_t> out_of_range_columns(const Matrix& m, const Vector& gradient, bool at_start) {
  std::vector<size_t> columns;
  for (size_t j = 0; j < m.rows(); ++j) {
    bool finite = std::isfinite(gradient[j]);
    for (size_t c = 0; c < m.cols(); ++c) finite = finite && std::isfinite(m(j, c));
    const double diagonal = std::fabs(m(j, j));
    const bool underflow = diagonal < std::numeric_limits<double>::min() && (diagonal > 0.0 || gradient[j] != 0.0);
    if (!finite || (at_start && underflow)) columns.push_back(j);
  }
  return columns;
}

}  // namespace

ProbitMaximizer::ProbitMaximizer(size_t k, const MaximizerSettings& settings)
    : k_(k), settings_(settings), beta_(k), gradient_(k) {
  // At beta = 0 every eta_i is 0, so w_i = lambda_i^2 and the Hessian is
  // minus the outer product of the scores: the robust meat, which is
  // exactly symmetric and costs half a Hessian.
  const unsigned at_start = settings.max_iter == 0 ? kLogLikelihood | kHessian | settings.final_quantities
                                                   : kLogLikelihood | kGradient | kRobustMeat;
  request(beta_, at_start, Phase::start);
}

ProbitMaximizer::ProbitMaximizer(const MaximizerSettings& settings, Vector&& start)
    : k_(start.size()), settings_(settings), newton_(true), beta_(std::move(start)), gradient_(k_) {
  request(beta_, kLogLikelihood | kGradient | kHessian | settings.final_quantities, Phase::start);
}

void ProbitMaximizer::request(const Vector& point, unsigned quantities, Phase phase) {
  request_point_ = Vector(point.size());
  for (size_t j = 0; j < point.size(); ++j) request_point_[j] = point[j];
  request_quantities_ = quantities;
  phase_ = phase;
}

void ProbitMaximizer::supply(Evaluation&& sums) {
  switch (phase_) {
    case Phase::start: return on_start(std::move(sums));
    case Phase::trial: return on_trial(std::move(sums));
    case Phase::refresh: return on_refresh(std::move(sums));
    case Phase::confirm: return on_confirm(std::move(sums));
    case Phase::finished: return;
  }
}

double ProbitMaximizer::rounding() const {
  return std::max(kLoglikeRoundingUlps * std::numeric_limits<double>::epsilon() * std::fabs(loglike_),
                  kRoundingDeviations * std::sqrt(2.0 * loglike_variance_));
}

// max(tol, 8 eps |l|): the change in l and the decrement below which an
// iteration that can still show its gains concludes.
double ProbitMaximizer::resolution() const {
  return std::max(settings_.tol, kLoglikeRoundingUlps * std::numeric_limits<double>::epsilon() * std::fabs(loglike_));
}

// The Newton decrement g'(-H)g: twice the increase a Newton step would
// bring, and the squared distance to the optimum in standard errors.
double ProbitMaximizer::decrement() const {
  const Vector hg = multiply(inverse_hessian_, gradient_);
  return -dot(gradient_, hg);
}

void ProbitMaximizer::on_start(Evaluation&& sums) {
  if (newton_) return on_newton_start(std::move(sums));
  loglike_ = sums.loglike;
  loglike_variance_ = sums.loglike_rounding_variance;
  if (settings_.max_iter == 0) {
    sums_at_beta_ = std::move(sums);
    return finish(false);
  }
  outcome_.out_of_range = out_of_range_columns(sums.meat, sums.gradient, /*at_start=*/true);
  if (!outcome_.out_of_range.empty()) return finish(false);
  gradient_ = std::move(sums.gradient);
  const SymmetricFactor start(sums.meat);
  start_rank_ = start.rank();
  inverse_hessian_ = negated(start.inverse());
  fresh_ = true;
  begin_iteration();
}

// Newton: the Hessian at the start gives the first direction and X's rank.
void ProbitMaximizer::on_newton_start(Evaluation&& sums) {
  loglike_ = sums.loglike;
  loglike_variance_ = sums.loglike_rounding_variance;
  sums_at_beta_ = std::move(sums);
  if (settings_.max_iter == 0) return finish(false);
  bool at_zero = true;
  for (size_t j = 0; j < k_; ++j) at_zero = at_zero && beta_[j] == 0.0;
  outcome_.out_of_range = out_of_range_columns(sums_at_beta_->hessian, sums_at_beta_->gradient, at_zero);
  if (!outcome_.out_of_range.empty()) return finish(false);
  gradient_ = std::move(sums_at_beta_->gradient);
  const SymmetricFactor start(negated(sums_at_beta_->hessian));
  start_rank_ = start.rank();
  inverse_hessian_ = negated(start.inverse());
  fresh_ = true;
  begin_iteration();
}

// A trial's sums: Newton's carry the exact Hessian (the next direction) and
// what the estimate needs, so that the point accepted last needs no pass.
unsigned ProbitMaximizer::trial_quantities() const {
  return newton_ ? kLogLikelihood | kGradient | kHessian | settings_.final_quantities
                          : kLogLikelihood | kGradient;
}

void ProbitMaximizer::begin_iteration(bool after_confirmation) {
  if (iteration_ >= settings_.max_iter) return conclude(Conclusion::limit);
  direction_ = multiply(inverse_hessian_, gradient_);
  for (size_t j = 0; j < k_; ++j) direction_[j] = -direction_[j];
  slope_ = dot(gradient_, direction_);
  if (!(slope_ > 0.0) || !std::isfinite(slope_)) {
    // No ascent along -H g: from the exact Hessian this means g vanishes on
    // the column space, so beta is a maximum (l is concave).
    if (!fresh_) return request(beta_, kHessian | settings_.final_quantities, Phase::refresh);
    if (after_confirmation) return finish(false);  // the decrement and the direction disagree
    return conclude(settings_.tol > 0.0 ? Conclusion::candidate : Conclusion::stalled);
  }
  // The most a step along d can gain is about g'd / 2: when g'd is within
  // the rounding of l, no step can show an increase.
  if (slope_ < rounding()) return conclude(settings_.tol > 0.0 ? Conclusion::at_rounding : Conclusion::stalled);
  step_ = 1.0;
  backtracks_ = 0;
  const bool last_expected = settings_.tol > 0.0 && has_change_ && previous_change_ > 0.0 &&
                             last_change_ * last_change_ / previous_change_ < kLastStepMargin * resolution();
  const unsigned extra = last_expected ? kHessian | settings_.final_quantities : 0u;
  request(step_to(beta_, direction_, step_), trial_quantities() | extra, Phase::trial);
}

void ProbitMaximizer::on_trial(Evaluation&& sums) {
  const double gain = sums.loglike - loglike_;
  if (std::isfinite(sums.loglike) && gain >= kSufficientIncrease * step_ * slope_) return accept_trial(std::move(sums));
  // A gain within the rounding of l of zero, from a step whose promise
  // t g'd is within it too, is rounding noise, and every shorter step
  // promises less: beta is the maximum to working precision. A gain that
  // is negative beyond rounding is a true decrease: cut the step.
  if (step_ * slope_ < rounding() && gain > -rounding()) {
    return conclude(settings_.tol > 0.0 ? Conclusion::at_rounding : Conclusion::stalled);
  }

  ++backtracks_;
  if (!fresh_ && backtracks_ > kBacktracksBeforeRefresh) {
    return request(beta_, kHessian | settings_.final_quantities, Phase::refresh);
  }
  if (backtracks_ > kMaxBacktracks) {
    // No increasing step. When even the Newton step's promise is below the
    // rounding of l, beta is the maximum to working precision.
    if (settings_.tol > 0.0 && slope_ < resolution()) return conclude(Conclusion::candidate);
    return conclude(Conclusion::stalled);
  }
  // The maximiser of l + slope t' - c t'^2 through the trial: c = (slope t - gain) / t^2.
  const double curvature = (slope_ * step_ - gain) / (step_ * step_);
  double next = std::isfinite(gain) && curvature > 0.0 ? slope_ / (2.0 * curvature) : kMinShrink * step_;
  next = std::clamp(next, kMinShrink * step_, kMaxShrink * step_);
  step_ = next;
  request(step_to(beta_, direction_, step_), trial_quantities(), Phase::trial);
}

// beta, l and the gradient become the accepted trial's; one more iteration.
void ProbitMaximizer::move_to_trial(Evaluation& sums, double gain) {
  beta_ = std::move(request_point_);
  request_point_ = Vector(k_);
  gradient_ = std::move(sums.gradient);
  loglike_ = sums.loglike;
  loglike_variance_ = sums.loglike_rounding_variance;
  confirmed_at_beta_ = false;
  previous_change_ = last_change_;
  last_change_ = gain;
  has_change_ = true;
  ++iteration_;
}

void ProbitMaximizer::accept_trial(Evaluation&& sums) {
  if (newton_) return accept_newton_trial(std::move(sums));
  Vector s(k_), y(k_);
  for (size_t j = 0; j < k_; ++j) {
    s[j] = request_point_[j] - beta_[j];
    y[j] = sums.gradient[j] - gradient_[j];
  }
  const double sy = dot(s, y);
  const bool curvature = sy < -kCurvatureRatio * norm(s) * norm(y);
  if (curvature) {
    update_inverse_hessian(inverse_hessian_, s, y, sy);
    fresh_ = false;
  }
  const double gain = sums.loglike - loglike_;
  const bool cautious = backtracks_ == 0 && gain > kCautiousGainRatio * 0.5 * slope_;
  const bool refresh = !curvature || backtracks_ >= kBacktracksThatStall || cautious;

  move_to_trial(sums, gain);
  if (request_quantities_ & kHessian) {
    sums_at_beta_ = std::move(sums);
  } else {
    sums_at_beta_.reset();
  }

  if (settings_.tol > 0.0 && gain < resolution() && decrement() < resolution()) {
    return conclude(Conclusion::candidate);
  }
  if (refresh) {
    if (sums_at_beta_) return refresh_from_sums_at_beta();
    return request(beta_, kHessian | settings_.final_quantities, Phase::refresh);
  }
  begin_iteration();
}

// Newton: the trial's exact Hessian is the next direction's, and the sums
// at the new beta for the estimate, should the test conclude there.
void ProbitMaximizer::accept_newton_trial(Evaluation&& sums) {
  const double gain = sums.loglike - loglike_;
  move_to_trial(sums, gain);
  sums_at_beta_ = std::move(sums);
  inverse_hessian_ = inverse_of_hessian(sums_at_beta_->hessian);
  fresh_ = true;
  if (settings_.tol > 0.0 && gain < resolution() && decrement() < resolution()) {
    return conclude(Conclusion::candidate);
  }
  begin_iteration();
}

void ProbitMaximizer::on_refresh(Evaluation&& sums) {
  sums_at_beta_ = std::move(sums);
  refresh_from_sums_at_beta();
}

void ProbitMaximizer::refresh_from_sums_at_beta() {
  if (!sums_at_beta_) return begin_iteration();
  inverse_hessian_ = inverse_of_hessian(sums_at_beta_->hessian);
  fresh_ = true;
  begin_iteration();
}

// The estimate needs the Hessian there in any case (for the covariance), so
// the convergence test and the separation test come at no extra pass.
void ProbitMaximizer::conclude(Conclusion conclusion) {
  conclusion_ = conclusion;
  if (sums_at_beta_) return on_confirm(std::move(*sums_at_beta_));
  request(beta_, kHessian | settings_.final_quantities, Phase::confirm);
}

void ProbitMaximizer::on_confirm(Evaluation&& sums) {
  sums_at_beta_ = std::move(sums);
  const Evaluation& at_beta = *sums_at_beta_;
  const Matrix information = negated(at_beta.hessian);

  // Separation: the maximum likelihood estimate does not exist when the
  // observations the estimate predicts with near certainty are all that
  // identifies some direction of the coefficients, along which l keeps
  // increasing. Their Hessian part removed, the rank then falls below X's.
  bool separated = false;
  if (at_beta.near_certain > 0) {
    const Matrix rest = negated(difference(at_beta.hessian, at_beta.near_certain_hessian));
    separated = SymmetricFactor(rest, information).rank() < start_rank_;
  }
  outcome_.perfectly_predicted = separated ? at_beta.near_certain : 0;
  // A Hessian that overflows factors to rank 0, whose decrement is 0.
  outcome_.out_of_range = out_of_range_columns(at_beta.hessian, gradient_, /*at_start=*/false);
  if (!outcome_.out_of_range.empty()) return finish(false);
  const bool candidate = conclusion_ == Conclusion::candidate || conclusion_ == Conclusion::at_rounding;
  if (separated || !candidate) return finish(false);

  const SymmetricFactor factor(information);
  const double exact_decrement = dot(gradient_, factor.solve(gradient_));
  if (!std::isfinite(exact_decrement)) return finish(false);
  if (exact_decrement < resolution()) return finish(true);
  if (conclusion_ == Conclusion::at_rounding) {
    // No step could show an increase: the decision is the exact decrement's.
    // Half of it is the gain of a Newton step; within the rounding of l, no
    // step can bring more than rounding: a maximum to working precision.
    if (exact_decrement < 2.0 * rounding()) return finish(true);
    // The exact Newton step from here already failed to show its gain.
    if (confirmed_at_beta_) return finish(false);
  }
  if (iteration_ >= settings_.max_iter) return finish(false);
  // The approximation had misjudged the distance: go on from the exact Hessian.
  confirmed_at_beta_ = true;
  inverse_hessian_ = negated(factor.inverse());
  fresh_ = true;
  begin_iteration(/*after_confirmation=*/true);
}

void ProbitMaximizer::finish(bool converged) {
  outcome_.beta = std::move(beta_);
  outcome_.loglike = loglike_;
  outcome_.iterations = iteration_ > 0 ? iteration_ - 1 : 0;
  outcome_.converged = converged;
  if (sums_at_beta_) outcome_.final_sums = std::move(*sums_at_beta_);
  phase_ = Phase::finished;
}

FitOutcome ProbitMaximizer::take_outcome() { return std::move(outcome_); }

}  // namespace kestrum
