// The probit maximisation as a sequence of evaluation requests.
//
// The maximiser never reads the data itself: it asks for the sums of one
// pass (evaluation.hpp) at a point, and is handed them back. fit_bfgs drives
// it over data in memory; a caller whose data live in partitions drives the
// same iteration by adding up each partition's sums (Evaluation::add) in a
// fixed order before handing them over.
//
// Iteration (quasi-Newton on l, which is concave):
//  - start at beta = 0, from the pseudo-inverse of the exact Hessian there
//    (minus the outer product of the scores), equilibrated so that it
//    respects the columns' scales and rank;
//  - direction d = -H g with H the inverse-Hessian approximation; every
//    accepted step satisfies the sufficient-increase condition
//      l(beta + t d) >= l(beta) + c t g'd,          c = kSufficientIncrease,
//    found by safeguarded backtracking; when no such step exists even from
//    the exact Hessian, the iteration stops with converged = false;
//  - BFGS update of H (Nocedal & Wright, eq. 6.17); when the curvature
//    condition fails or the step had to be cut short, H is refreshed from the
//    exact Hessian at the new point;
//  - rounding: l is a sum of n terms, and its rounding error (estimated as
//    the sum is formed, per tile, per partition and in partition order:
//    evaluation.hpp) makes rho, the most that rounding alone changes l
//    between two nearby points (rho = max(8 eps |l|, 4 sqrt(2 v)), v the
//    variance of that error). When the step's promise t g'd is below rho
//    (before the first trial, or after a cut whose gain was within rho of
//    zero), no step can show an increase: the iteration concludes at beta
//    without further passes; a gain below -rho still cuts the step;
//  - converged means a maximum: the last change in l and the Newton decrement
//    g'(-H)^+ g are both below max(tol, 8 eps |l|), the decrement confirmed
//    with the exact Hessian at the estimate, or, when no step could show an
//    increase, the exact decrement below max(tol, 2 rho) (half of it is the
//    gain of a Newton step, which l cannot resolve); and the estimate is not
//    a point on the way to infinity (separation: see SeparationCheck);
//  - Newton mode (the constructor given a start), for callers whose every pass
//    reads the data anew, so that passes cost more than arithmetic: from a
//    given start (the estimate on a subsample, say), every pass computes the
//    exact Hessian with l and g (and the final quantities), the direction is
//    d = -(-H)^+ g from the Hessian at beta, the same line search guards the
//    step, and the same test concludes, with the exact decrement of the
//    accepted point at no further pass. X's rank (for separation) is then
//    that of the Hessian at the start;
//  - sums that a double cannot hold (a column of magnitude beyond about
//    1e150 or below about 1e-150, whose squares overflow or underflow) stop
//    the iteration where they appear, not converged (FitOutcome::out_of_range):
//    a factor would treat such a column as absent and its decrement as 0.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "estimation/evaluation.hpp"
#include "numeric/matrix.hpp"
#include "numeric/symmetric_factor.hpp"

namespace kestrum {

struct MaximizerSettings {
  uint64_t max_iter = 35;
  double tol = 1e-6;  // tol <= 0 never converges: exactly max_iter iterations run
  // What the caller needs at the estimate besides the Hessian (kRobustMeat
  // or nothing); it is computed in the last pass when that pass is foreseen.
  unsigned final_quantities = 0;
};

struct FitOutcome {
  Vector beta;
  double loglike = 0.0;
  uint64_t iterations = 0;  // zero-based index of the last iteration run
  bool converged = false;
  // The sums at beta: the Hessian (with its near-certain part and count)
  // and the final quantities asked for.
  Evaluation final_sums;
  // Observations whose outcome the estimate predicts with near certainty
  // along a direction in which l keeps increasing: nonzero only when the
  // maximum likelihood estimate does not exist (separation).
  uint64_t perfectly_predicted = 0;
  // Columns whose sums of squares overflow or underflow a double (values of
  // magnitude beyond about 1e150 or below about 1e-150): the fit stops
  // where it found them, not converged, and final_sums are not to be used.
  std::vector<size_t> out_of_range;
};

class ProbitMaximizer {
 public:
  ProbitMaximizer(size_t k, const MaximizerSettings& settings);
  // Newton mode from start, a vector of k doubles.
  ProbitMaximizer(const MaximizerSettings& settings, Vector&& start);

  bool finished() const noexcept { return phase_ == Phase::finished; }
  // The point at which the next sums are wanted, and which quantities.
  const Vector& requested_point() const noexcept { return request_point_; }
  unsigned requested_quantities() const noexcept { return request_quantities_; }
  // The requested quantities at the requested point.
  void supply(Evaluation&& sums);

  FitOutcome take_outcome();

 private:
  enum class Phase { start, trial, refresh, confirm, finished };
  // Why the iteration ends at beta: a candidate maximum to confirm, one at
  // which no step can change l by more than its rounding, the iteration
  // limit, or no increasing step.
  enum class Conclusion { candidate, at_rounding, limit, stalled };

  void request(const Vector& point, unsigned quantities, Phase phase);
  void begin_iteration(bool after_confirmation = false);
  void on_start(Evaluation&& sums);
  void on_newton_start(Evaluation&& sums);
  unsigned trial_quantities() const;
  void on_trial(Evaluation&& sums);
  void on_refresh(Evaluation&& sums);
  void refresh_from_sums_at_beta();
  void on_confirm(Evaluation&& sums);
  void accept_trial(Evaluation&& sums);
  void accept_newton_trial(Evaluation&& sums);
  void move_to_trial(Evaluation& sums, double gain);
  void conclude(Conclusion conclusion);
  void finish(bool converged);
  double rounding() const;
  double resolution() const;
  double decrement() const;

  size_t k_;
  MaximizerSettings settings_;
  bool newton_ = false;
  Phase phase_ = Phase::start;
  Vector request_point_;
  unsigned request_quantities_ = 0;

  Vector beta_, gradient_, direction_;
  Matrix inverse_hessian_;  // H, negative semidefinite
  bool fresh_ = false;      // H is the pseudo-inverse of the exact Hessian at beta
  double loglike_ = 0.0;
  double loglike_variance_ = 0.0;  // of the rounding of loglike_
  double last_change_ = 0.0, previous_change_ = 0.0;
  bool has_change_ = false;
  size_t start_rank_ = 0;   // rank of X (from the Hessian at 0)
  uint64_t iteration_ = 0;  // accepted steps so far
  double step_ = 1.0, slope_ = 0.0;
  unsigned backtracks_ = 0;
  Conclusion conclusion_ = Conclusion::limit;
  bool confirmed_at_beta_ = false;  // the exact Hessian at beta_ has sent the iteration on
  std::optional<Evaluation> sums_at_beta_;  // final-pass sums at beta_, when computed
  FitOutcome outcome_;
};

}  // namespace kestrum
