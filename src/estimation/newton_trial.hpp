// One pass over the rows for a Newton step of the probit with absorbed fixed
// effects: the step to the Newton index and, at its full length, the
// probit's per-row quantities there.
#pragma once

#include <cstddef>
#include <vector>

#include "estimation/demeaning.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

struct NewtonTrialInput {
  const double* working;    // z = eta + lambda / w
  const double* projected;  // z~, z's residual from its w-weighted projection on the fixed effects
  const double* eta;        // the index now
  const double* weights;    // w at eta
  const double* y;          // the outcomes, 0 or 1
  MatrixView X;             // n x k
  const double* target;     // b', the Newton step's beta (k)
  // Per fixed effect, the product of its levels' coefficients of X with b' (one value per level).
  std::vector<const double*> level_products;
};

struct NewtonTrialOutput {
  double* step;                    // n: the step to the Newton index
  double* trial_eta = nullptr;     // n, or null: eta + step, with lambda and w there
  double* trial_lambda = nullptr;  // n
  double* trial_weights = nullptr; // n
};

struct NewtonTrialSums {
  double decrement = 0.0;  // sum_i w_i step_i^2
  double loglike = 0.0;    // l at eta + step (0 without a trial)
};

// step_i = (z_i - z~_i) + x_i'b' - sum_f c_f[level_f(i)] - eta_i, the new index
// z - (z~ - X~ b') less eta, with X~ b' = X b' - sum_f D_f (A_f b'); with the
// trial outputs, eta + step and the probit's lambda and w there (the rules of
// probit_index.hpp), in the same pass. Rows in blocks of whole runs of the
// first fixed effect, the blocks' sums added in order: the same bits on any
// number of threads.
NewtonTrialSums newton_trial(const NewtonTrialInput& in, const FixedEffectLevels& levels, NewtonTrialOutput& out,
                             size_t threads);

}  // namespace kestrum
