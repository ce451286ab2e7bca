"""Probit with absorbed fixed effects on a Dask DataFrame: the rows stay in
the partitions, and only per-level quantities travel.

The fit is the Newton loop of fixed_effects.py written on a small state:
beta and one coefficient vector e_f per fixed effect,

    eta_i = x_i'beta + sum_f e_f[level_f(i)].

Every pass sends the state to each partition, which recomputes eta (and l,
lambda, w) from it; the partition's sums, over levels numbered model-wide,
come back to the client, which adds them in partition order (so the numbers
depend on the partitioning alone, never on the scheduler). A Newton step:

  1. at eta, l and, for m = [z X] (z = eta + lambda / w), the level sums
     b_f = D_f'W m, the level weights W_f, the pairs' weights C_fh = D_f'W D_h
     and each column's largest |m| (the sweeps' scale);
  2. on the client, the sweeps of demeaning.py in coefficient space (the core's, _native.sweep_levels),
     a_f <- (b_f - sum_{h != f} C_fh a_h) / W_f, from the last step's
     coefficients and with its stopping rule: [z~ X~] = m - sum_f D_f A_f;
  3. the Gram matrix of [z~ X~] weighted by w (H~ and X~'Wz~), and
     beta' = H~^-1 X~'Wz~.

The Newton index z - z~ + X~ beta' = X beta' + sum_f D_f (A_f[:, 0] -
A_f[:, 1:] beta') is a state again, and the line search's eta + t (eta' - eta)
the two states interpolated. The trial's pass gives its l, the decrement
sum w (eta' - eta)^2 (at the first trial) and the next step's sums (1.).
The covariance comes from a last pass at the estimate: the scores
lambda_i x~_i, x~ = x - sum_f D_f A_f[:, 1:] (A of the last step, at its weights).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd
from scipy import linalg, special

from . import _native
from .dask_data import is_dask_frame
from .demeaning import MAX_SWEEPS, warn_unfinished_sweeps
from .design import Design
from .fixed_effects import (
    SMALLEST_STEP, FixedEffectsFit, _independent, _warn_collinear, _warn_no_ascent, formed_covariance,
    newton_converged, probit_derivatives, step_taken, warn_not_converged,
)
from .fixed_effects_dask_data import (
    DaskPanel, PanelPartition, _added, _index, _map, level_totals, merged_totals,
)
from .fixed_effects_results import FIXEF_MAX_SWEEPS, FIXEF_TOL, FixedEffectsModel, FixedEffectsResults, predicted
from .progress import THREADS


# The passes of the Newton loop


def _stacked(part: PanelPartition, eta: np.ndarray, lam: np.ndarray, w: np.ndarray, kept) -> np.ndarray:
    """m = [z X] of the kept regressors, z = eta + lambda / w."""
    z = np.divide(lam, w)
    z += eta
    X = part.X if kept is None else part.X[:, kept]
    return np.column_stack([z, X])


def _level_pass(part: PanelPartition, state: tuple, kept, previous: tuple | None, first: bool) -> tuple:
    """At the state: l, per fixed effect the level sums of w m and the level weights (G_f x (p + 1)), the
    partition's pairs' weights, each column's largest |m|, X'WX's diagonal (first pass only); and with the
    previous state, the decrement sum w_previous (eta - eta_previous)^2."""
    eta = _index(part, *state)
    loglike, lam, w = probit_derivatives(eta, part.y)
    m = _stacked(part, eta, lam, w, kept)
    raw = np.einsum("ij,i,ij->j", m[:, 1:], w, m[:, 1:]) if first else None
    return loglike, level_totals(part, m, w), raw, _decrement(part, eta, previous)


def _decrement(part: PanelPartition, eta: np.ndarray, previous: tuple | None) -> float:
    """sum w_previous (eta - eta_previous)^2, w at the previous state; 0 without one."""
    if previous is None:
        return 0.0
    before = _index(part, *previous)
    _, _, w_before = probit_derivatives(before, part.y)
    step = eta - before
    return float(np.einsum("i,i,i->", w_before, step, step))


def _residuals(part: PanelPartition, leading, X: np.ndarray, weights: np.ndarray, coefficients: list[np.ndarray],
               returned: int, gram: bool) -> tuple:
    """[leading X] - sum_f D_f A_f by the core's demeaning without sweeps (demeaning.residuals_of), the
    first `returned` columns, and their Gram matrix weighted by weights when gram."""
    start = [np.ascontiguousarray(coefficients[0][part.run_levels]), *coefficients[1:]]
    others = [(codes, c.shape[0]) for codes, c in zip(part.codes[1:], coefficients[1:])]
    residuals, _, product, _, _ = _native.demean_levels(
        leading, X, weights, part.run_lengths, others, start, 0.5, 0, THREADS, returned, gram)
    return residuals, product


def _kept_columns(part: PanelPartition, kept) -> np.ndarray:
    return part.X if kept is None else np.ascontiguousarray(part.X[:, kept])


def _gram_pass(part: PanelPartition, state: tuple, kept, coefficients: list[np.ndarray]) -> np.ndarray:
    """The Gram matrix of [z~ X~] = m - sum_f D_f A_f, weighted by w."""
    p = coefficients[0].shape[1]
    if part.y.shape[0] == 0:
        return np.zeros((p, p))
    eta = _index(part, *state)
    _, lam, w = probit_derivatives(eta, part.y)
    z = np.divide(lam, w)
    z += eta
    return _residuals(part, z, _kept_columns(part, kept), w, coefficients, 0, True)[1]


def _score_pass(part: PanelPartition, state: tuple, kept, coefficients: list[np.ndarray], clustered: bool,
                cluster_count: int) -> np.ndarray:
    """The scores s_i = lambda_i x~_i, x~ = x - sum_f D_f A_f (A_f of X): sum_i s_i s_i' (the Gram matrix
    of x~ weighted by lambda^2), or their sums per cluster (clusters x k) when clustered."""
    k = coefficients[0].shape[1]
    if part.y.shape[0] == 0:
        return np.zeros((cluster_count, k) if clustered else (k, k))
    eta = _index(part, *state)
    _, lam, _ = probit_derivatives(eta, part.y)
    X = _kept_columns(part, kept)
    if not clustered:
        return _residuals(part, None, X, lam * lam, coefficients, 0, True)[1]
    scores, _ = _residuals(part, None, X, lam, coefficients, k, False)
    scores *= lam[:, None]
    return np.column_stack([np.bincount(part.cluster, weights=scores[:, j], minlength=cluster_count)
                            for j in range(k)])


@dataclass
class LevelSums:
    loglike: float
    sums: list[np.ndarray]  # per fixed effect, G_f x (p + 1): b_f, then W_f
    cross: list  # C[f][h], sparse G_f x G_h (None on the diagonal)
    scale: np.ndarray
    raw: np.ndarray
    decrement: float


class DaskNewton:
    """The passes of the loop over a panel's partitions."""

    def __init__(self, panel: DaskPanel):
        self.panel = panel
        self.kept = None  # every regressor, until the first step finds some collinear
        self.passes = 0

    def level_sums(self, state: tuple, previous: tuple | None = None) -> LevelSums:
        parts = _map(self.panel.partitions, _level_pass, state, self.kept, previous, self.passes == 0)
        self.passes += 1
        sums, cross, scale = merged_totals(self.panel, [p[1] for p in parts])
        raw = _added([p[2] for p in parts]) if parts[0][2] is not None else None
        return LevelSums(_added([p[0] for p in parts]), sums, cross, scale, raw, _added([p[3] for p in parts]))

    def gram(self, state: tuple, coefficients: list[np.ndarray]) -> np.ndarray:
        self.passes += 1
        return _added(_map(self.panel.partitions, _gram_pass, state, self.kept, coefficients))

    def scores(self, state: tuple, coefficients: list[np.ndarray], clustered: bool) -> np.ndarray:
        self.passes += 1
        return _added(_map(self.panel.partitions, _score_pass, state, self.kept, coefficients, clustered,
                           self.panel.cluster_count))


def sweep(sums: list[np.ndarray], cross: list, scale: np.ndarray, start: list[np.ndarray] | None,
          tol: float, max_sweeps: int = MAX_SWEEPS) -> tuple[list[np.ndarray], int, float]:
    """The coefficients A_f of m's projection on the fixed effects by the demeaning's sweeps in coefficient
    space (the core's, as demeaning.py's), a_f <- (b_f - sum_{h != f} C_fh a_h) / W_f (sums: [b_f W_f],
    cross: C as sparse matrices), from start (None: 0), until a sweep's largest change relative to its
    column's scale (largest |m|) is below tol (one fixed effect: one sweep); the sweeps and the last change."""
    pairs = [[None if c is None else (c.indptr.astype(np.int64), c.indices.astype(np.int64),
                                      np.ascontiguousarray(c.data, dtype=np.float64)) for c in row] for row in cross]
    coefficients, sweeps, change = _native.sweep_levels(
        [np.ascontiguousarray(s, dtype=np.float64) for s in sums], pairs, np.ascontiguousarray(scale, dtype=np.float64),
        start, float(tol), max_sweeps, THREADS)
    return coefficients, sweeps, change


def project(panel: DaskPanel, sums: list[np.ndarray], cross: list, scale: np.ndarray, tol: float) -> list:
    """The coefficients of a projection swept from 0 (as demeaning.demean starts without a warm start), with
    its warning when the sweeps stop short of tol."""
    coefficients, _, change = sweep(sums, cross, scale, None, tol)
    if len(coefficients) > 1 and not change < tol:
        warn_unfinished_sweeps(panel.levels.names, tol, change)
    return coefficients


def _between(state: tuple, target: tuple, t: float) -> tuple:
    """The state of eta + t (eta' - eta)."""
    beta, effects = state
    return beta + t * (target[0] - beta), [e + t * (n - e) for e, n in zip(effects, target[1])]


def maximize_dask(panel: DaskPanel, max_iter: int, tol: float, demean_tol: float):
    """fixed_effects.maximize on the partitions: the same iterates, rules and warnings; the fit and the
    last step's coefficients of the fixed effects (of [z X])."""
    newton = DaskNewton(panel)
    k = len(panel.names)
    kept = list(range(k))
    state = (np.zeros(k), [np.zeros(count) for count in panel.levels.counts])
    level = newton.level_sums(state)
    loglike = level.loglike
    gain, converged, coefficients, sweeps_total = math.inf, False, None, 0

    def finish(iteration: int, converged: bool):
        fit = FixedEffectsFit(state[0][kept], kept, None, loglike, None, None, None, hessian, iteration, converged,
                              newton.passes + sweeps_total)
        return fit, Estimate(newton, state, [np.ascontiguousarray(c[:, 1:]) for c in coefficients], level)

    for iteration in range(max_iter + 1):
        coefficients, sweeps, change = sweep(level.sums, level.cross, level.scale, coefficients, demean_tol)
        sweeps_total += sweeps
        if len(coefficients) > 1 and not change < demean_tol:
            warn_unfinished_sweeps(panel.levels.names, demean_tol, change)
        gram = newton.gram(state, [np.ascontiguousarray(c) for c in coefficients])
        hessian, moment = gram[1:, 1:], gram[1:, 0]  # H~ = X~'WX~ and X~'Wz~
        if iteration == 0:
            independent = _independent(hessian, level.raw)
            if len(independent) < k:
                _warn_collinear(panel.names, independent)
                if not independent:
                    raise ValueError("every regressor is collinear with the fixed effects: beta is not identified")
                kept = newton.kept = independent
                hessian, moment = hessian[np.ix_(kept, kept)], moment[kept]
                columns = [0, *(j + 1 for j in kept)]
                coefficients = [np.ascontiguousarray(c[:, columns]) for c in coefficients]
        target = linalg.solve(hessian, moment, assume_a="pos")
        beta = np.zeros(k)
        beta[kept] = target
        newton_state = (beta, [c[:, 0] - c[:, 1:] @ target for c in coefficients])
        trial = newton.level_sums(newton_state, previous=state)
        if newton_converged(iteration, gain, trial.decrement, loglike, tol):
            converged = True
            break
        if iteration == max_iter:
            break
        t = 1.0
        while True:
            if step_taken(trial.loglike, loglike):
                break
            t *= 0.5
            if t < SMALLEST_STEP:
                _warn_no_ascent()
                return finish(iteration, False)
            trial = newton.level_sums(_between(state, newton_state, t))
        gain = trial.loglike - loglike
        state = newton_state if t == 1.0 else _between(state, newton_state, t)
        loglike, level = trial.loglike, trial
    if not converged:
        warn_not_converged(max_iter)
    return finish(iteration, converged)


def _partition_predictions(frame: pd.DataFrame, design: Design, estimates: tuple) -> pd.Series:
    params, effects = estimates
    return predicted(design, params, effects, frame)


def _remainder_pass(part: PanelPartition, state: tuple) -> tuple:
    """For the estimated fixed effects: the level sums of eta - X beta, the levels' and pairs' rows, max |eta|."""
    eta = _index(part, *state)
    remainder = eta - np.einsum("ij,j->i", part.X, state[0])
    return level_totals(part, remainder[:, None], np.ones(eta.shape[0])), float(np.abs(eta).max(initial=0.0))


# At the estimate


@dataclass
class Estimate:
    """The loop's end: its state, the last step's coefficients of X (x~ = x - sum_f D_f A_f) and level sums
    (W_f and C_fh at the estimate's weights); the covariance's meat or cluster sums once formed."""

    newton: DaskNewton
    state: tuple
    coefficients: list[np.ndarray]
    level: LevelSums
    meat: np.ndarray | None = None
    score_sums: np.ndarray | None = None

    def scores(self, clustered: bool) -> np.ndarray:
        return self.newton.scores(self.state, self.coefficients, clustered)


# The results


class DaskFixedEffectsModel(FixedEffectsModel):
    nobs = property(lambda self: int(self.data.nobs))


class DaskFixedEffectsResults(FixedEffectsResults):
    """FixedEffectsResults of a fit on a Dask DataFrame: the estimate, its covariance, the counts and the
    summary; what needs the rows at hand is refused."""

    @property
    def llnull(self) -> float:
        n, p = self.model.data.nobs, self.model.data.outcome_sum / self.model.data.nobs
        return float(n * (special.xlogy(p, p) + special.xlogy(1.0 - p, 1.0 - p)))

    def effect_sums(self):
        from .fixed_effects_dask_margins import effect_sums

        return effect_sums(self._estimate, self.vcov, self._demean_tol)

    def corrected_beta(self) -> np.ndarray:
        from .fixed_effects_dask_margins import corrected_beta

        return corrected_beta(self)

    def corrected_effects(self, positions: list[int]) -> np.ndarray:
        from .fixed_effects_dask_margins import corrected_effects

        return corrected_effects(self, positions)

    def fixef(self) -> dict:
        """As FixedEffectsResults.fixef, by its sweeps of level means of eta - X beta, run on the client in
        coefficient space (the unweighted sweep of demeaning.py) from one pass's level sums and counts."""
        if getattr(self, "_effects", None) is None:
            estimate = self._estimate
            panel = estimate.newton.panel
            parts = _map(panel.partitions, _remainder_pass, estimate.state)
            sums, cross, _ = merged_totals(panel, [p[0] for p in parts])
            scale = np.array([max(max(p[1] for p in parts), 1.0)])
            effects, _, _ = sweep(sums, cross, scale, None, FIXEF_TOL, FIXEF_MAX_SWEEPS)
            self._effects = [e[:, 0] for e in effects]
        return self._named_effects(self._effects)

    def predict(self, newdata=None):
        """Phi(x'beta + the row's fixed effects) of each row of newdata (a Dask DataFrame gives a Dask
        Series, partition by partition), NaN where a value is missing or a level was not estimated."""
        if newdata is None:
            raise NotImplementedError("predict() of a fit on a Dask DataFrame needs newdata (the frame itself "
                                      "for the fit's rows): the rows stay in the partitions")
        effects = self.fixef()
        if is_dask_frame(newdata):
            # params and the effects in a tuple: older Dask turns a pandas argument into a collection of its
            # own and aligns its index with the frame's divisions.
            return newdata.map_partitions(_partition_predictions, self.model.design, (self.params, effects),
                                          meta=pd.Series([], dtype=np.float64, name="predicted"))
        return predicted(self.model.design, self.params, effects, newdata)


def dask_results(design: Design, panel: DaskPanel, frame, fixed_effects: list[str], vcov: str, cluster: str | None,
                 max_iter: int, tol: float, demean_tol: float) -> DaskFixedEffectsResults:
    """The fit of a panel's partitions and its covariance under vcov, from a last pass at the estimate."""
    fit, estimate = maximize_dask(panel, max_iter, tol, demean_tol)
    if vcov.startswith("HC"):
        estimate.meat = estimate.scores(False)
    elif vcov.startswith("CR"):
        estimate.score_sums = estimate.scores(True)
    fit.passes += vcov != "nonrobust"
    cov = formed_covariance(fit.hessian, vcov, panel.nobs, estimate.meat, estimate.score_sums, panel.clusters)
    model = DaskFixedEffectsModel(design, panel, fixed_effects, cluster, frame)
    results = DaskFixedEffectsResults(model, fit, vcov, kept_cov=cov)
    results._estimate = estimate
    return results
