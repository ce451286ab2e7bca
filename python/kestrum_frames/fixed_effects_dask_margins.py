"""kf.ame and the bias correction of a fixed-effects fit on a Dask DataFrame.

The quantities are those of fixed_effects_margins.py (its module text gives
the formulas), formed from passes over the partitions at the fit's state
(fixed_effects_dask.py): each projection on the fixed effects, P_D v with
some weights, is one pass giving the level sums of the weighted v, the
level weights and (for weights other than the fit's) the pairs' weights,
then the sweeps on the client from 0; a second pass then uses the projection,
sum_f D_f psi_f, in the partitions.
"""

from __future__ import annotations

import numpy as np
from scipy import linalg

from .fixed_effects import SMALLEST_STEP, loglike_rounding, probit_derivatives, step_taken
from .fixed_effects_dask import Estimate, _between, _decrement, _kept_columns, _residuals, project
from .fixed_effects_dask_data import PanelPartition, _added, _index, _map, level_totals, merged_totals
from .fixed_effects_margins import (
    MAX_EFFECT_ITERATIONS, EffectSums, _density, _expected_weights, level_ratio_sums, unconverged_effects,
)


def _spread(part: PanelPartition, coefficients: list[np.ndarray]) -> np.ndarray:
    """sum_f D_f psi_f at the partition's rows (one column)."""
    values = np.zeros(part.y.shape[0])
    for codes, c in zip(part.codes, coefficients):
        values += c[codes, 0]
    return values


# The effects and their variances


def _effect_pass(part: PanelPartition, state: tuple, kept, coefficients: list[np.ndarray]) -> tuple:
    """sum phi_i, sum Delta_eta,i x~_i / beta_v (Delta_eta / beta_v = -eta phi), and the level sums of
    v = Delta_eta / (w beta_v), which Psi projects with the fit's weights w (whose pairs the fit has)."""
    eta = _index(part, *state)
    _, _, w = probit_derivatives(eta, part.y)
    phi = _density(eta)
    slope = -eta * phi
    k = coefficients[0].shape[1]
    demeaned = _residuals(part, None, _kept_columns(part, kept), w, coefficients, k, False)[0] if eta.size else \
        np.zeros((0, k))
    return float(phi.sum()), np.einsum("i,ij->j", slope, demeaned), level_totals(part, (slope / w)[:, None], w, False)


def _psi_pass(part: PanelPartition, state: tuple, kept, coefficients: list[np.ndarray], psi: list[np.ndarray],
              vcov: str, nobs: int, cluster_count: int) -> tuple:
    """With Psi / beta_v = sum_f D_f psi_f: sum w Psi^2; for HC, X~' Lambda^2 Psi / n and sum (lambda Psi /
    n)^2; for CR, the clusters' sums of lambda Psi / n (all over beta_v)."""
    eta = _index(part, *state)
    _, lam, w = probit_derivatives(eta, part.y)
    values = _spread(part, psi)
    if vcov == "nonrobust":
        return float((w * values * values).sum()), None, None, None
    lam_psi = lam * values / nobs
    if vcov.startswith("HC"):
        k = coefficients[0].shape[1]
        demeaned = _residuals(part, None, _kept_columns(part, kept), w, coefficients, k, False)[0] if eta.size else \
            np.zeros((0, k))
        return None, np.einsum("ij,i->j", lam[:, None] * demeaned, lam_psi), float((lam_psi * lam_psi).sum()), None
    return None, None, None, np.bincount(part.cluster, weights=lam_psi, minlength=cluster_count)


def effect_sums(estimate: Estimate, vcov: str, tol: float) -> EffectSums:
    """fixed_effects_margins.EffectSums from two passes, Psi's projection swept on the client between them."""
    newton, panel = estimate.newton, estimate.newton.panel
    n = panel.nobs
    parts = _map(panel.partitions, _effect_pass, estimate.state, newton.kept, estimate.coefficients)
    sums, _, scale = merged_totals(panel, [p[2] for p in parts], estimate.level.cross)
    psi = project(panel, sums, estimate.level.cross, scale, tol)
    effects = EffectSums(n, _added([p[0] for p in parts]) / n, _added([p[1] for p in parts]) / n)
    rows = _map(panel.partitions, _psi_pass, estimate.state, newton.kept, estimate.coefficients, psi, vcov, n,
                panel.cluster_count)
    newton.passes += 2
    if vcov == "nonrobust":
        effects.psi_square = _added([r[0] for r in rows])
    elif vcov.startswith("HC"):
        effects.meat, effects.cross = estimate.meat, _added([r[1] for r in rows])
        effects.lam_psi_square = _added([r[2] for r in rows])
    else:
        effects.score_sums, effects.psi_sums = estimate.score_sums, _added([r[3] for r in rows])
    return effects


# The bias correction


def _expected_pass(part: PanelPartition, state: tuple, kept) -> tuple:
    """For X~^E, X demeaned with w^E: the level sums of w^E X, of w^E and the pairs' w^E."""
    eta = _index(part, *state)
    return level_totals(part, _kept_columns(part, kept), _expected_weights(eta))


def _beta_bias_pass(part: PanelPartition, state: tuple, kept, coefficients: list[np.ndarray]) -> tuple:
    """H^E = X~^E' W^E X~^E and, per fixed effect, the level sums of zeta x~^E (zeta = eta w^E)."""
    k = coefficients[0].shape[1]
    if part.y.shape[0] == 0:
        return np.zeros((k, k)), [np.zeros((i.shape[0], k)) for i in part.indicators]
    eta = _index(part, *state)
    w = _expected_weights(eta)
    demeaned, gram = _residuals(part, None, _kept_columns(part, kept), w, coefficients, k, True)
    zeta_x = (eta * w)[:, None] * demeaned
    return gram, [indicator @ zeta_x for indicator in part.indicators]


def corrected_beta(results) -> np.ndarray:
    """beta~ = beta^ - (H^E)^-1 b_beta over the kept regressors."""
    estimate, tol = results._estimate, results._demean_tol
    newton, panel = estimate.newton, estimate.newton.panel
    parts = _map(panel.partitions, _expected_pass, estimate.state, newton.kept)
    sums, cross, scale = merged_totals(panel, parts)
    coefficients = [np.ascontiguousarray(c) for c in project(panel, sums, cross, scale, tol)]
    parts = _map(panel.partitions, _beta_bias_pass, estimate.state, newton.kept, coefficients)
    newton.passes += 2
    hessian = _added([p[0] for p in parts])
    level_sums = [_added([p[1][f] for p in parts]) for f in range(len(sums))]
    bias = 0.5 * level_ratio_sums(level_sums, [s[:, -1] for s in sums])
    return results._fit.beta - linalg.solve(hessian, bias, assume_a="pos")


def _offset_pass(part: PanelPartition, state: tuple, offset: np.ndarray, previous: tuple | None) -> tuple:
    """l at the state and the level sums of w (z - X beta~), z = eta + lambda / w, for the Newton step on
    the fixed effects alone; with the previous state, the decrement sum w_previous (eta - eta_previous)^2."""
    eta = _index(part, *state)
    loglike, lam, w = probit_derivatives(eta, part.y)
    working = eta + lam / w - np.einsum("ij,j->i", part.X, offset)
    return loglike, level_totals(part, working[:, None], w), _decrement(part, eta, previous)


def _effects_at(results, beta: np.ndarray) -> tuple:
    """The state with beta (all k, 0 where collinear) held and the fixed effects at their maximum, by
    Newton steps on the fixed effects alone from the fit's (fixed_effects_margins._effects_at):
    eta' = X beta + P_D(z - X beta)."""
    estimate, tol, demean_tol = results._estimate, results._tol, results._demean_tol
    newton, panel = estimate.newton, estimate.newton.panel

    def evaluated(state, previous=None):
        parts = _map(panel.partitions, _offset_pass, state, beta, previous)
        newton.passes += 1
        sums, cross, scale = merged_totals(panel, [p[1] for p in parts])
        return _added([p[0] for p in parts]), (sums, cross, scale), _added([p[2] for p in parts])

    state = (beta, estimate.state[1])
    loglike, totals, _ = evaluated(state)
    for _ in range(MAX_EFFECT_ITERATIONS):
        target = (beta, [c[:, 0] for c in project(panel, *totals, demean_tol)])
        trial, trial_totals, decrement = evaluated(target, previous=state)
        if decrement < max(tol, loglike_rounding(loglike)):
            return state
        t = 1.0
        while not (step_taken(trial, loglike) or t < SMALLEST_STEP):
            t *= 0.5
            trial, trial_totals, _ = evaluated(_between(state, target, t))
        state = target if t == 1.0 else _between(state, target, t)
        loglike, totals = trial, trial_totals
    raise unconverged_effects()


def _curvature_pass(part: PanelPartition, state: tuple) -> tuple:
    """sum phi and the level sums of v = Delta_eta / (w^E beta_v) with w^E (and its pairs), for Psi^E."""
    eta = _index(part, *state)
    phi = _density(eta)
    w = _expected_weights(eta)
    return float(phi.sum()), level_totals(part, (-eta * phi / w)[:, None], w)


def _effect_bias_pass(part: PanelPartition, state: tuple, psi: list[np.ndarray]) -> list[np.ndarray]:
    """Per fixed effect, the level sums of Delta_eta,eta / beta_v + Psi^E zeta / beta_v."""
    eta = _index(part, *state)
    phi = _density(eta)
    w = _expected_weights(eta)
    values = ((eta * eta - 1.0) * phi + _spread(part, psi) * eta * w)[:, None]
    return [indicator @ values for indicator in part.indicators]


def corrected_effects(results, positions: list[int]) -> np.ndarray:
    """delta~ of each v at positions (fixed_effects_margins._corrected_effects)."""
    estimate, demean_tol = results._estimate, results._demean_tol
    newton, panel = estimate.newton, estimate.newton.panel
    kept = results._fit.kept
    corrected = corrected_beta(results)
    beta = np.zeros(estimate.state[0].shape[0])
    beta[kept] = corrected
    state = _effects_at(results, beta)
    n = panel.nobs
    parts = _map(panel.partitions, _curvature_pass, state)
    sums, cross, scale = merged_totals(panel, [p[1] for p in parts])
    psi = project(panel, sums, cross, scale, demean_tol)
    level_sums = _map(panel.partitions, _effect_bias_pass, state, psi)
    newton.passes += 2
    values = [_added([p[f] for p in level_sums]) for f in range(len(sums))]
    bias = 0.5 * level_ratio_sums(values, [s[:, -1] for s in sums])[0]
    return corrected[positions] * (_added([p[0] for p in parts]) / n - bias / n)
