"""Probit with absorbed fixed effects: ``y ~ x1 + x2 | firm + year``.

The model: Pr(y_i = 1) = Phi(eta_i), eta_i = x_i'beta + alpha_firm(i) +
gamma_year(i), a coefficient per level of each fixed effect. It is fitted
by Newton's method on all coefficients without forming the dummies D: with
the per-row derivatives of l_i = ln Phi(q_i eta_i), q_i = 2 y_i - 1,

    lambda_i = dl_i/deta = q_i r_i,   w_i = -d2l_i/deta2 = r_i (r_i + q_i eta_i),
    r_i = phi(q_i eta_i) / Phi(q_i eta_i),

a Newton step is the weighted least squares of the working response
z = eta + lambda / w on [X D] with weights w. By Frisch-Waugh-Lovell its beta
is the regression of z~ on X~, the residuals of z and X from their
w-weighted projection on D (demeaning.py); the new index is
eta' = z - (z~ - X~ beta'). Each step is halved until l does not fall by more
than its rounding. The fit has converged when the last step gained less than
max(tol, 8 eps |l|) and the Newton decrement of the next one, sum w_i
(eta'_i - eta_i)^2 (over beta and the fixed effects together), is below that
too: the same meaning as kestrum's maximiser.

A level whose rows all have y = 0 (or all y = 1) has its coefficient at
-inf (+inf): its rows say nothing about beta and are dropped, again and again
until no level of any fixed effect is constant (dropping rows of one effect
can leave a level of another constant), with a warning and counts.

Covariances of beta (the beta block of the inverse Hessian of the dummy
model equals the inverse of H~ = X~'WX~, and the dummy model's scores
project to s_i = lambda_i x~_i):

    nonrobust  V = H~^-1
    HC0/HC1    V = H~^-1 (sum_i s_i s_i') H~^-1,       HC1 times N / (N - 1)
    CR0/CR1    V = H~^-1 (sum_c g_c g_c') H~^-1,       g_c = sum_{i in c} s_i, CR1 times G / (G - 1)

with N the rows kept and G the clusters among them. The default is CR1
clustered by the first fixed effect.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
from scipy import linalg, sparse

from .covariance import CovarianceSpec
from .covariance import describe as covariance_words
from . import _native
from .demeaning import Levels, demean, residuals_of
from .design import INTERCEPT, Design, outcome_values
from .frames import Columns
from .model_data import nonfinite_regressor_error, rows_to_keep
from .progress import THREADS

FE_VCOV_TYPES = ("nonrobust", "HC0", "HC1", "CR0", "CR1")
# l's rounding: kestrum's maximiser's rule, 8 ulp of |l|.
LOGLIKE_ROUNDING_ULPS = 8.0
# A regressor whose part left after the fixed effects and the regressors
# before it has at most this share of its own weighted sum of squares is
# collinear with them.
COLLINEAR_SHARE = 1e-10
# The line search halves the step at most down to this.
SMALLEST_STEP = 2.0**-40


def split_formula(formula: str) -> tuple[str, list[str]] | None:
    """The formula before '|' and the fixed-effect columns after it, or
    None when the formula has no '|' outside parentheses and quotes."""
    depth, quote, bars = 0, None, []
    for position, char in enumerate(formula):
        if quote:
            quote = None if char == quote else quote
        elif char in "`'\"":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "|" and depth == 0:
            bars.append(position)
    if not bars:
        return None
    if len(bars) > 1:
        raise ValueError(f"formula {formula!r} has more than one '|': write 'y ~ x1 + x2 | fe1 + fe2'")
    left, right = formula[: bars[0]], formula[bars[0] + 1:]
    names = [part.strip().strip("`") for part in right.split("+")]
    if not all(names) or any(not _is_column_name(name) for name in names):
        raise ValueError(
            f"the fixed effects after '|' in {formula!r} must be column names joined by '+' (as '| firm + year'), "
            f"not {right.strip()!r}; make a combination (firm by year) a column of its own"
        )
    if len(set(names)) != len(names):
        raise ValueError(f"formula {formula!r} names a fixed effect twice")
    return left, names


def _is_column_name(name: str) -> bool:
    return not any(char in name for char in "^*:()~|")


def probit_derivatives(eta: np.ndarray, y: np.ndarray,
                       out: tuple[np.ndarray, np.ndarray] | None = None) -> tuple[float, np.ndarray, np.ndarray]:
    """l = sum ln Phi(q eta), lambda = dl_i/deta and w = -d2l_i/deta2 (see the module's text), in the core
    by kestrum's per-row rules (exact in the tails), on THREADS threads with the same bits on any number;
    lambda and w into the pair of n-vectors out when given."""
    loglike, lam, w = _native.probit_at_index(np.ascontiguousarray(eta, dtype=np.float64), y, THREADS, out)
    return loglike, lam, w


@dataclass
class PanelData:
    """The rows kept, sorted by the level of the first fixed effect."""

    y: np.ndarray
    X: np.ndarray  # n x k, C order
    names: list[str]
    levels: Levels
    labels: list[np.ndarray]  # per fixed effect, the value of each level
    positions: np.ndarray  # each row's position in the caller's frame
    cluster: np.ndarray | None  # cluster number of each row (0..G-1), or None
    clusters: int | None
    dropped_missing: int  # rows with a missing outcome, regressor or cluster value
    separated_levels: dict  # per fixed effect, levels dropped as perfectly classified
    separated_rows: int


def _codes(columns: Columns, name: str, keep: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
    """The level of each kept row (0..G-1, by first appearance) and the levels' values."""
    codes, uniques = pd.factorize(columns.series(name))
    codes = np.asarray(codes, dtype=np.int64)
    return (codes if keep is None else codes[keep]), np.asarray(uniques)


def _present_levels(codes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The codes present (increasing) and each row's position among them:
    np.unique(codes, return_inverse=True) by counting, not sorting."""
    seen = np.bincount(codes) > 0
    return np.flatnonzero(seen), (np.cumsum(seen) - 1)[codes]


def _check_fixed_effects(columns: Columns, names: list[str]) -> None:
    for name in names:
        if name not in columns.names:
            raise KeyError(
                f"fixed effect {name!r} (after '|' in the formula) is not a column of {columns.argument} "
                f"(its columns: {', '.join(columns.names)})"
            )
    columns.require(names, grouping=True)
    for name in names:
        missing = columns.missing(name)
        if missing is not None:
            first = int(np.flatnonzero(missing)[0])
            raise ValueError(
                f"fixed effect {name!r} is missing in {int(missing.sum())} rows of {columns.argument}, first in "
                f"{columns.row_label(first)}: every row needs a level of each fixed effect; drop or fill those rows"
            )


def constant_levels(count: np.ndarray, ones: np.ndarray) -> np.ndarray:
    """The levels present whose outcome never varies: all rows y = 0 or all y = 1."""
    return (count > 0) & ((ones == 0) | (ones == count))


def drop_constant_levels(names: list[str], level_totals, drop) -> dict:
    """Drop every level whose outcome is constant, fixed effect by fixed
    effect, again and again until none is left (dropping the rows of one can
    leave a level of another constant): level_totals(f) gives the rows and
    the sum of y per level of fixed effect f among the rows kept so far,
    drop(f, constant) drops the rows of those levels. Per fixed effect, how
    many levels were dropped."""
    dropped = dict.fromkeys(names, 0)
    changed = True
    while changed:
        changed = False
        for f, name in enumerate(names):
            constant = constant_levels(*level_totals(f))
            if constant.any():
                dropped[name] += int(constant.sum())
                drop(f, constant)
                changed = True
    return dropped


def _drop_perfectly_classified(y: np.ndarray, codes: list[np.ndarray], names: list[str]) -> tuple[np.ndarray, dict]:
    """Rows to keep once every level whose outcome is constant is dropped,
    repeatedly; and per fixed effect how many levels were dropped."""
    keep = np.ones(y.shape[0], dtype=bool)
    every = [True]  # no row dropped yet: the columns are read as they are, not copied through the mask

    def level_totals(f):
        level = codes[f]
        rows, outcome = (level, y) if every[0] else (level[keep], y[keep])
        count = np.bincount(rows, minlength=level.max() + 1 if level.size else 0)
        return count, np.bincount(rows, weights=outcome, minlength=count.shape[0])

    def drop(f, constant):
        keep[:] &= ~constant[codes[f]]
        every[0] = False

    return keep, drop_constant_levels(names, level_totals, drop)


def regressor_terms(design: Design) -> list[int]:
    """The columns of X besides the intercept, which the fixed effects absorb."""
    kept_terms = [j for j, name in enumerate(design.names) if name != INTERCEPT]
    if not kept_terms:
        raise ValueError(f"formula {design.formula!r} has no regressors besides the intercept, which the fixed "
                         "effects absorb")
    return kept_terms


def model_columns(design: Design, columns: Columns, cluster: str | None):
    """keep (None: every row) and y of the rows with no missing outcome, regressor or cluster value, the
    design's regressor columns over those rows, and the positions among them of X's (the intercept left out)."""
    if cluster is not None:
        columns.require([cluster], grouping=True)
    used = [design.outcome, *design.variables, *([cluster] if cluster else [])]
    keep, _ = rows_to_keep(columns, used)
    y = outcome_values(design, columns, keep)
    return keep, y, design.regressor_columns(columns, keep), regressor_terms(design)


def model_rows(design: Design, columns: Columns, cluster: str | None):
    """keep, y and X (n x k, C order, in the rows' order) of model_columns, and X's columns' positions."""
    keep, y, regressors, kept_terms = model_columns(design, columns, cluster)
    X, nonfinite = _native.gather_columns(
        [np.ascontiguousarray(regressors[j], dtype=np.float64) for j in kept_terms], 0, y.shape[0])
    if nonfinite:
        raise nonfinite_regressor_error(design, columns, regressors, keep)
    return keep, y, X, kept_terms


def panel_data(formula: str, columns: Columns, fixed_effects: list[str], cluster: str | None) -> tuple[Design, PanelData]:
    _check_fixed_effects(columns, fixed_effects)
    design = Design.from_formula(formula, columns)
    keep, y, regressors, kept_terms = model_columns(design, columns, cluster)
    positions = np.flatnonzero(keep) if keep is not None else np.arange(columns.rows)
    codes_labels = [_codes(columns, name, keep) for name in fixed_effects]
    # Clustered by a fixed effect (by default the first): its codes below, not a second factorisation.
    cluster_effect = fixed_effects.index(cluster) if cluster in fixed_effects else None
    cluster_codes = _codes(columns, cluster, keep)[0] if cluster and cluster_effect is None else None

    kept, separated = _drop_perfectly_classified(y, [c for c, _ in codes_labels], fixed_effects)
    if not kept.any():
        raise ValueError("every level of the fixed effects has a constant outcome: no rows are left to fit beta")
    order = np.flatnonzero(kept)
    first = codes_labels[0][0][order]
    if (first[1:] < first[:-1]).any():  # else sorted already, which the stable sort would keep
        order = order[np.argsort(first, kind="stable")]
    codes, labels = [], []
    for level, values in codes_labels:
        present, compact = _present_levels(level[order])
        codes.append(compact)
        labels.append(values[present])
    # X in the rows' final order, gathered once from the columns (not copied whole, then again by position); the
    # rows left out as perfectly classified are checked too, as every kept row is.
    regressor_columns = [np.ascontiguousarray(regressors[j], dtype=np.float64) for j in kept_terms]
    in_place = order.shape[0] == y.shape[0] and (order[1:] > order[:-1]).all()  # kept and sorted already
    X, nonfinite = _native.gather_columns(regressor_columns, 0, order.shape[0],
                                          None if in_place else order.astype(np.int64, copy=False), THREADS)
    separated_rows = np.flatnonzero(~kept) if not in_place else order[:0]
    if nonfinite or not all(np.isfinite(column[separated_rows]).all() for column in regressor_columns):
        raise nonfinite_regressor_error(design, columns, regressors, keep)
    clusters = None
    if cluster_effect is not None:
        cluster_codes, clusters = codes[cluster_effect], len(labels[cluster_effect])
    elif cluster_codes is not None:
        present, cluster_codes = _present_levels(cluster_codes[order])
        clusters = int(present.shape[0])
    data = PanelData(
        y=y[order], X=X, names=[design.names[j] for j in kept_terms],
        levels=Levels(list(fixed_effects), codes, [len(v) for v in labels]), labels=labels,
        positions=positions[order], cluster=cluster_codes, clusters=clusters,
        dropped_missing=columns.rows - y.shape[0], separated_levels=separated,
        separated_rows=int(y.shape[0] - order.shape[0]),
    )
    return design, data


def _independent(hessian: np.ndarray, raw: np.ndarray) -> list[int]:
    """The regressors, in order, whose part left after the fixed effects
    and the kept regressors before them is more than COLLINEAR_SHARE of
    their weighted sum of squares (raw: X'WX's diagonal)."""
    kept = []
    for j in range(hessian.shape[0]):
        left = hessian[j, j]
        if kept:
            block = hessian[np.ix_(kept, kept)]
            cross = hessian[kept, j]
            left -= cross @ np.linalg.solve(block, cross)
        if left > COLLINEAR_SHARE * raw[j]:
            kept.append(j)
    return kept


@dataclass
class FixedEffectsFit:
    beta: np.ndarray  # over the kept regressors
    kept: list[int]  # positions of the regressors not collinear with the fixed effects
    eta: np.ndarray
    loglike: float
    lam: np.ndarray
    w: np.ndarray  # observed -d2l/deta2 at eta
    demeaned: np.ndarray  # X~ of the kept regressors, demeaned with w
    hessian: np.ndarray  # H~ = X~'WX~
    iterations: int
    converged: bool
    passes: int  # sweeps of the demeaning and evaluations of l
    # Per cluster, the sums of the scores lambda_i x~_i (score_sums): the covariance and the effects' errors share them.
    cluster_score_sums: np.ndarray | None = field(default=None, repr=False)


def maximize(data: PanelData, max_iter: int, tol: float, demean_tol: float) -> FixedEffectsFit:
    y, X, levels = data.y, data.X, data.levels
    n, k = X.shape
    kept = list(range(k))
    beta = np.zeros(k)
    eta = np.zeros(n)
    loglike, lam, w = probit_derivatives(eta, y)
    passes, gain, converged = 1, math.inf, False
    coefficients = None  # the fixed effects' coefficients of the last demeaning, its warm start
    # n-vectors of the steps, filled in place: a new one would cost fresh zeroed pages on every use.
    working, step, trial_eta, trial_lam, trial_w = (np.empty(n) for _ in range(5))

    def finish(iteration: int, converged: bool) -> FixedEffectsFit:
        """The fit, with X~ at the last weights (from the last demeaning's coefficients of X; kept by that
        demeaning, X~ would be a strided view of [z~ X~], which the sums over it would copy)."""
        X_tilde = residuals_of(levels, X, w, [np.ascontiguousarray(c[:, 1:]) for c in coefficients]).residuals
        return FixedEffectsFit(beta, kept, eta, loglike, lam, w, X_tilde, hessian, iteration, converged, passes)

    for iteration in range(max_iter + 1):
        np.divide(lam, w, out=working)
        working += eta  # z = eta + lambda / w
        # l's resolution; a step whose gain was below it is likely the last.
        resolution = max(tol, loglike_rounding(loglike))
        likely_last = iteration == max_iter or (iteration > 0 and gain < resolution)
        # z~ and the Gram matrix of [z~ X~]; X~ itself is not needed for the step (below).
        demeaned = demean(levels, X, w, demean_tol, working, coefficients, returned=1)
        passes += demeaned.sweeps
        coefficients, z_tilde = demeaned.coefficients, demeaned.residuals[:, 0]
        hessian, moment = demeaned.gram[1:, 1:], demeaned.gram[1:, 0]  # H~ = X~'WX~ and X~'Wz~
        if iteration == 0:
            independent = _independent(hessian, np.einsum("ij,i,ij->j", X, w, X))
            if len(independent) < k:
                _warn_collinear(data.names, independent)
                if not independent:
                    raise ValueError("every regressor is collinear with the fixed effects: beta is not identified")
                kept = independent
                X = np.ascontiguousarray(X[:, kept])
                beta = beta[kept]
                hessian, moment = hessian[np.ix_(kept, kept)], moment[kept]
                columns = [0, *(j + 1 for j in kept)]
                coefficients = [np.ascontiguousarray(c[:, columns]) for c in coefficients]
        target = linalg.solve(hessian, moment, assume_a="pos")
        # The Newton index z - (z~ - X~ b') = (z - z~) + X~ b', z - z~ being z's part in span(D), with
        # X~ b' = X b' - sum_f D_f (A_f b'), A_f the fixed effects' coefficients of X: the step to it, the
        # decrement sum w step^2 and, unless this step is likely the last, the probit at eta + step, all in one
        # pass over the rows.
        full_trial = not likely_last
        decrement, trial_loglike = _native.newton_trial(
            working, z_tilde, eta, w, y, X, target, levels.run_lengths, levels.other_levels,
            [np.einsum("gj,j->g", c[:, 1:], target) for c in coefficients], THREADS,
            (step, trial_eta, trial_lam, trial_w) if full_trial else (step, None, None, None))
        passes += full_trial
        if newton_converged(iteration, gain, decrement, loglike, tol):
            converged = True
            break
        if iteration == max_iter:
            break
        t = 1.0
        while True:
            if t < 1.0 or not full_trial:
                np.multiply(step, t, out=trial_eta)
                trial_eta += eta  # eta + t step
                trial_loglike, trial_lam, trial_w = probit_derivatives(trial_eta, y, out=(trial_lam, trial_w))
                passes += 1
            if step_taken(trial_loglike, loglike):
                break
            t *= 0.5
            if t < SMALLEST_STEP:
                _warn_no_ascent()
                return finish(iteration, False)
        gain = trial_loglike - loglike
        eta, trial_eta = trial_eta, eta  # eta + t step, the trial accepted
        beta = beta + t * (target - beta)
        loglike, lam, w, trial_lam, trial_w = trial_loglike, trial_lam, trial_w, lam, w
    if not converged:
        warn_not_converged(max_iter)
    return finish(iteration, converged)


def newton_converged(iteration: int, gain: float, decrement: float, loglike: float, tol: float) -> bool:
    """Whether the fit has converged: the last step gained less than max(tol, l's rounding) and the Newton
    decrement of the next one is below that too (the first iteration has taken no step)."""
    resolution = max(tol, loglike_rounding(loglike))
    return iteration > 0 and gain < resolution and decrement < resolution


def step_taken(trial_loglike: float, loglike: float) -> bool:
    """Whether the line search takes a trial: it loses no more of l than l's rounding."""
    return trial_loglike >= loglike - loglike_rounding(loglike)


def loglike_rounding(loglike: float) -> float:
    """The rounding of l: a step may lose this much and still be taken, and the fit has converged when a
    step gains less than max(tol, this) and the Newton decrement of the next is below that too."""
    return LOGLIKE_ROUNDING_ULPS * np.finfo(float).eps * abs(loglike)


def _warn_no_ascent() -> None:
    warnings.warn("the Newton step cannot increase the log-likelihood: the fit stops, not converged",
                  RuntimeWarning, stacklevel=5)


def warn_not_converged(max_iter: int) -> None:
    warnings.warn(f"the fit did not converge in {max_iter} iterations", RuntimeWarning, stacklevel=5)


def _warn_collinear(names: list[str], independent: list[int]) -> None:
    dropped = [name for j, name in enumerate(names) if j not in independent]
    warnings.warn(
        f"regressors {', '.join(dropped)} are collinear with the fixed effects (or with the regressors before "
        "them): they are dropped, their coefficients and standard errors NaN",
        RuntimeWarning,
        stacklevel=5,
    )


def cluster_sums(codes: np.ndarray, count: int, values: np.ndarray, factors: np.ndarray | None = None) -> np.ndarray:
    """Per cluster, the column sums of values (n x p) over its rows, each row
    times factors_i when given: the sparse cluster-by-row matrix of the
    factors times values, so that no n x p product is formed."""
    n = codes.shape[0]
    rows = sparse.csr_matrix((np.ones(n) if factors is None else factors, (codes, np.arange(n))), shape=(count, n))
    return np.asarray(rows @ values)


def score_sums(fit: FixedEffectsFit, data: PanelData) -> np.ndarray:
    """Per cluster, the sums of the scores s_i = lambda_i x~_i, formed once per fit."""
    if fit.cluster_score_sums is None:
        fit.cluster_score_sums = cluster_sums(data.cluster, data.clusters, fit.demeaned, fit.lam)
    return fit.cluster_score_sums


def small_sample_factor(vcov: str, nobs: int, clusters: int | None) -> float:
    if vcov == "HC1":
        return nobs / (nobs - 1)
    if vcov == "CR1":
        return clusters / (clusters - 1)
    return 1.0


def covariance(fit: FixedEffectsFit, data: PanelData, vcov: str) -> np.ndarray:
    """V of the kept coefficients under vcov (see the module's text)."""
    meat = sums = None
    if vcov.startswith("HC"):
        scores = fit.lam[:, None] * fit.demeaned
        meat = scores.T @ scores
    elif vcov.startswith("CR"):
        sums = score_sums(fit, data)
    return formed_covariance(fit.hessian, vcov, data.y.shape[0], meat, sums, data.clusters)


def formed_covariance(hessian: np.ndarray, vcov: str, nobs: int, meat: np.ndarray | None = None,
                      sums: np.ndarray | None = None, clusters: int | None = None) -> np.ndarray:
    """V from H~ and the meat (HC: sum_i s_i s_i'; CR: from the clusters' score sums), formed by the
    core as every fit's covariance is."""
    groupings = None if sums is None else [(sums.T @ sums, clusters, 1)]
    return _native.covariance(-hessian, meat, groupings, vcov, nobs)["cov"]


def describe(vcov: str, cluster: str | None, clusters: int | None) -> str:
    """The convention in the words of every other fit (covariance.describe)."""
    convention = CovarianceSpec(vcov, ((cluster,),) if cluster is not None else ())
    text = covariance_words(convention, (clusters,) if cluster is not None else None)
    return text + ", the fixed effects partialled out" if vcov == "nonrobust" else text


def vcov_choice(vcov, cluster, robust: bool, fixed_effects: list[str]) -> tuple[str, str | None]:
    """The convention and the cluster column. Without vcov: CR1 by cluster
    when given, HC1 when robust, else CR1 by the first fixed effect."""
    if cluster is not None and not isinstance(cluster, str):
        raise TypeError(f"cluster of a fit with fixed effects must be one column name, not {cluster!r}")
    if vcov is None:
        vcov = "HC1" if robust and cluster is None else "CR1"
    if vcov not in FE_VCOV_TYPES:
        raise ValueError(f"vcov must be one of {', '.join(map(repr, FE_VCOV_TYPES))}, not {vcov!r}")
    if robust and vcov == "nonrobust":
        raise ValueError("robust=True contradicts vcov='nonrobust'")
    if vcov.startswith("CR"):
        return vcov, cluster if cluster is not None else fixed_effects[0]
    if cluster is not None:
        raise ValueError(f"cluster= asks for a cluster-robust covariance: vcov must be 'CR0' or 'CR1', not {vcov!r}")
    return vcov, None
