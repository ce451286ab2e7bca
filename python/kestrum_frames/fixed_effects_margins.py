"""Average partial effects of a probit with fixed effects, their delta-method
standard errors, and the analytical correction of their incidental-parameter bias.

The effect of a numeric regressor v (entering as a plain column) is

    delta_v = (1/n) sum_i Delta_i,   Delta_i = phi(eta_i) beta_v,   eta_i = x_i'beta + alpha_i,

averaged over the n rows of the fit: rows of perfectly classified levels
are left out (their alpha is infinite and their partial effect 0, so counting
them would only scale delta by n / (n + dropped rows)).

Standard errors (Fernandez-Val 2009, section 4; Fernandez-Val and Weidner
2016, section 4.2). The estimated fixed effects move with beta,
d alpha^(beta) / d beta' = -(D'WD)^- D'WX, so d eta_i / d beta = x~_i (the
regressors demeaned with the observed weights w), and the Jacobian of delta is

    J_v = (1/n) sum_i [phi_i e_v + Delta_eta,i x~_i],   Delta_eta,i = -eta_i phi_i beta_v.

The fixed effects' own sampling error adds (1/n) sum_i Psi_i lambda_i, with
Psi = P_D(Delta_eta / w), the w-weighted projection on the fixed effects.
So delta^ - delta ~ sum_i lambda_i a_i, a_i = x~_i' H~^-1 J_v + Psi_i / n, and

    nonrobust   Var = J_v' V J_v + (1/n^2) sum_i w_i Psi_i^2
    HC          Var = c sum_i (lambda_i a_i)^2
    CR          Var = c sum_g (sum_{i in g} lambda_i a_i)^2

with c the fit's small-sample factor: the delta method on beta and the
dummies' coefficients together, in the fit's convention, without forming
the dummies. (Clustered by a fixed effect, the sum of lambda_i within each of
its levels is 0 at the estimate, and its Psi part drops out.)

Bias correction (Fernandez-Val 2009, eqs. 4.4-4.6 for one fixed effect;
Fernandez-Val and Weidner 2016, section 4.1, for two, each fixed effect adding
its own term). beta^ and delta^ are biased by O(1/T) for T rows per level.
With the expected weights w^E = phi^2 / (Phi (1 - Phi)), zeta = eta w^E,
x~^E the regressors demeaned with w^E and H^E = X~^E' W^E X~^E,

    b_beta  = 1/2 sum_f sum_{g in f} [sum_{i in g} zeta_i x~^E_i] / [sum_{i in g} w^E_i]
    beta~   = beta^ - (H^E)^-1 b_beta

then the fixed effects are estimated again with beta~ held (alpha~), and at
(beta~, alpha~), with Psi^E = P^E_D(Delta_eta / w^E) and
Delta_eta,eta = (eta^2 - 1) phi beta_v,

    b_delta = 1/2 sum_f sum_{g in f} [sum_{i in g} (Delta_eta,eta,i + Psi^E_i zeta_i)] / [sum_{i in g} w^E_i]
    delta~  = delta(beta~, alpha~) - b_delta / n.

The corrected effects keep the standard errors of the uncorrected ones
(the correction moves them by O(1/T)). The formulas assume strictly
exogenous regressors (no lagged outcome: no spectral term).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd
from scipy import linalg, special

from . import _native
from .demeaning import demean
from .fixed_effects import (SMALLEST_STEP, loglike_rounding, probit_derivatives, score_sums, small_sample_factor,
                            step_taken)

_LOG_SQRT_2PI = 0.5 * math.log(2.0 * math.pi)
# Newton steps for the fixed effects at the corrected beta.
MAX_EFFECT_ITERATIONS = 100


def _density(eta: np.ndarray) -> np.ndarray:
    return np.exp(-0.5 * eta * eta - _LOG_SQRT_2PI)


def _expected_weights(eta: np.ndarray) -> np.ndarray:
    """w^E = phi^2 / (Phi (1 - Phi)), in logs so that it neither underflows nor divides 0 by 0."""
    return np.exp(-eta * eta - 2.0 * _LOG_SQRT_2PI - special.log_ndtr(eta) - special.log_ndtr(-eta))


def _bias_sums(levels, values: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """sum_f sum_{g in f} [sum_{i in g} values_i] / [sum_{i in g} weights_i], per column of values."""
    return level_ratio_sums([levels.level_sums(f, values) for f in range(len(levels.codes))],
                            [levels.level_sums(f, weights) for f in range(len(levels.codes))])


def level_ratio_sums(value_sums: list[np.ndarray], weight_sums: list[np.ndarray]) -> np.ndarray:
    """sum_f sum_{g in f} value_sums_f[g] / weight_sums_f[g] (levels x columns over levels), per column."""
    total = np.zeros(value_sums[0].shape[1])
    for values, weights in zip(value_sums, weight_sums):
        total += (values / weights[:, None]).sum(axis=0)
    return total


def _projection(levels, values: np.ndarray, weights: np.ndarray, tol: float) -> np.ndarray:
    """P_D values: the w-weighted projection on the fixed effects."""
    residuals = demean(levels, values, weights, tol, gram=False).residuals
    return values.reshape(residuals.shape) - residuals


def corrected_beta(results) -> np.ndarray:
    """beta~ = beta^ - (H^E)^-1 b_beta over the kept regressors."""
    data, fit = results.model.data, results._fit
    eta = fit.eta
    w = _expected_weights(eta)
    X = data.X[:, fit.kept]
    demeaned = demean(data.levels, X, w, results._demean_tol)
    hessian, demeaned = demeaned.gram, demeaned.residuals
    bias = 0.5 * _bias_sums(data.levels, (eta * w)[:, None] * demeaned, w)
    return fit.beta - linalg.solve(hessian, bias, assume_a="pos")


def _effects_at(results, beta: np.ndarray, eta: np.ndarray) -> np.ndarray:
    """The index with beta held and the fixed effects at their maximum,
    by Newton steps from eta (Newton's method on the fixed effects alone:
    eta' = X beta + P_D(z - X beta), z = eta + lambda / w; products over the rows by einsum, as below)."""
    data, tol = results.model.data, results._tol
    offset = np.einsum("ij,j->i", data.X[:, results._fit.kept], beta)
    loglike, lam, w = probit_derivatives(eta, data.y)
    for _ in range(MAX_EFFECT_ITERATIONS):
        working = eta + lam / w - offset
        step = offset + _projection(data.levels, working, w, results._demean_tol)[:, 0] - eta
        decrement = float(np.einsum("i,i,i->", w, step, step))
        if decrement < max(tol, loglike_rounding(loglike)):
            return eta
        t = 1.0
        while True:
            trial = probit_derivatives(eta + t * step, data.y)
            if step_taken(trial[0], loglike) or t < SMALLEST_STEP:
                break
            t *= 0.5
        eta = eta + t * step
        loglike, lam, w = trial
    raise unconverged_effects()


def unconverged_effects() -> RuntimeError:
    return RuntimeError("the fixed effects at the bias-corrected beta did not converge")


@dataclass
class EffectSums:
    """The sums over the rows that the effects and their variances need (see _variances): phi_mean = (1/n)
    sum phi_i, shift = (1/n) sum Delta_eta,i x~_i / beta_v, psi_square = sum w Psi^2 / beta_v^2; for HC,
    meat = X~' Lambda^2 X~, cross = X~' Lambda^2 Psi / (n beta_v) and lam_psi_square = sum (lambda Psi / n)^2
    / beta_v^2; for CR, the clusters' sums of lambda x~ (score_sums) and of lambda Psi / (n beta_v)."""

    nobs: int
    phi_mean: float
    shift: np.ndarray
    psi_square: float | None = None
    meat: np.ndarray | None = None
    cross: np.ndarray | None = None
    lam_psi_square: float | None = None
    score_sums: np.ndarray | None = None
    psi_sums: np.ndarray | None = None


def effect_sums(results) -> EffectSums:
    """EffectSums from the fit's rows (products over the rows by einsum, not BLAS: its threads would spin
    beside the sweeps)."""
    data, fit = results.model.data, results._fit
    n = data.y.shape[0]
    eta, w, lam, demeaned = fit.eta, fit.w, fit.lam, fit.demeaned
    phi = _density(eta)
    slope = -eta * phi  # Delta_eta / beta_v
    sums = EffectSums(n, phi.mean(), np.einsum("i,ij->j", slope, demeaned) / n)
    psi = _projection(data.levels, slope / w, w, results._demean_tol)[:, 0]  # Psi / beta_v
    if results.vcov == "nonrobust":
        sums.psi_square = float((w * psi * psi).sum())
        return sums
    lam_psi = lam * psi / n
    if results.vcov.startswith("HC"):
        scores = lam[:, None] * demeaned  # lambda x~
        sums.meat = scores.T @ scores
        sums.cross = np.einsum("ij,i->j", scores, lam_psi)
        sums.lam_psi_square = float((lam_psi * lam_psi).sum())
    else:
        sums.psi_sums = np.bincount(data.cluster, weights=lam_psi, minlength=data.clusters)
        sums.score_sums = score_sums(fit, data)
    return sums


def _variances(results, beta: np.ndarray, positions: list[int], sums: EffectSums) -> np.ndarray:
    """Var of each delta_v (v at positions among the kept regressors); see the module's text.
    With A = H~^-1 J and s = beta_v, lambda_i a_i = lambda_i x~_i' A + (lambda_i Psi_i / n) s is linear in the
    rows' sums, so the cluster sums are those of lambda x~ and of lambda Psi, and the HC sum of squares is
    A' (X~' Lambda^2 X~) A + 2 (s/n) A' X~' Lambda^2 Psi + (s/n)^2 sum (lambda Psi)^2: no n x m matrix is formed."""
    fit, n = results._fit, sums.nobs
    jacobians = np.zeros((len(beta), len(positions)))
    for m, j in enumerate(positions):
        jacobians[:, m] = beta[j] * sums.shift
        jacobians[j, m] += sums.phi_mean
    scale = beta[positions]
    if results.vcov == "nonrobust":
        cov = results.cov_params().to_numpy()[np.ix_(fit.kept, fit.kept)]
        return np.einsum("jm,jk,km->m", jacobians, cov, jacobians) + scale**2 * sums.psi_square / n**2
    A = linalg.solve(fit.hessian, jacobians, assume_a="pos")
    if results.vcov.startswith("HC"):
        total = (np.einsum("jm,jk,km->m", A, sums.meat, A) + 2.0 * scale * (sums.cross @ A)
                 + scale**2 * sums.lam_psi_square)
    else:
        cluster_sums = np.einsum("gj,jm->gm", sums.score_sums, A) + np.outer(sums.psi_sums, scale)
        total = (cluster_sums * cluster_sums).sum(axis=0)
    return total * small_sample_factor(results.vcov, n, results.model.data.clusters)


def _corrected_effects(results, positions: list[int]) -> np.ndarray:
    """delta~ of each v at positions (see the module's text)."""
    data, fit = results.model.data, results._fit
    beta = corrected_beta(results)
    eta = _effects_at(results, beta, fit.eta + np.einsum("ij,j->i", data.X[:, fit.kept], beta - fit.beta))
    n = eta.shape[0]
    phi = _density(eta)
    w = _expected_weights(eta)
    psi = _projection(data.levels, -eta * phi / w, w, results._demean_tol)[:, 0]  # Psi^E / beta_v
    curvature = (eta * eta - 1.0) * phi  # Delta_eta,eta / beta_v
    bias = 0.5 * _bias_sums(data.levels, (curvature + psi * eta * w)[:, None], w)[0]
    return beta[positions] * (phi.mean() - bias / n)


def fixed_effects_ame(results, variables, bias_correction: bool) -> pd.DataFrame:
    from .margins import effects_table

    data, fit, design = results.model.data, results._fit, results.model.design
    kept_names = [data.names[j] for j in fit.kept]
    plain = set(design.sources or ())
    if design.sources is None:
        raise ValueError(
            "ame of a fit with fixed effects needs every regressor to be a numeric column named in the formula "
            "(terms such as C(x) or I(x**2) are not supported there yet)"
        )
    names = kept_names if variables is None else variables
    for name in names:
        if name not in plain:
            raise ValueError(f"variables: {name!r} is not a regressor of the fit")
        if name not in kept_names:
            raise ValueError(f"variables: {name!r} is collinear with the fixed effects, and has no effect estimated")
    positions = [kept_names.index(name) for name in names]
    beta = fit.beta
    sums = results.effect_sums()
    if bias_correction:
        estimates = results.corrected_effects(positions)
    else:
        estimates = sums.phi_mean * beta[positions]
    variance = _variances(results, beta, positions, sums)
    stats = _native.delta_method(estimates, variances=variance)
    return effects_table(estimates, stats, pd.Index(list(names), name="term"))
