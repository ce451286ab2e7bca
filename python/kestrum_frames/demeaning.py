"""Weighted demeaning within the levels of one or more fixed effects.

With D the dummies of every level of every fixed effect and W = diag(w),
the residual of the weighted projection of a column m on the span of D is

    m~ = m - D (D'WD)^- D'W m.

It is found without forming D by alternating projections (the method of
Gauss-Seidel over the fixed effects): each sweep subtracts from m, fixed
effect by fixed effect, its weighted mean within each level,

    m <- m - mean_w(m | level of f),   f = 1, ..., F,

which converges to m~ from any start in m + span(D): the sweeps keep the
coefficients of each level, and a Newton step starts from the last step's.
One fixed effect needs one sweep; with several, the sweeps stop when the largest change a sweep
makes (a level mean it subtracts, the change of that level's coefficient),
relative to the largest |value| of its column, is below the tolerance (the
change of a sweep underestimates the distance left by the factor
1 / (1 - rate) when the sweeps converge slowly).

The sweeps run in the core (src/estimation/demeaning.cpp) on the
coefficients rather than the rows: a sweep of fixed effect f sets its
coefficients a_f = (b_f - sum_{h != f} C_fh a_h) / W_f, with b_f the level
sums of w m, W_f the level weights and C_fh the weight of the rows in each
pair of levels of f and h, the same iterates as the sweep over the rows at
the cost of the pairs of levels present (a firm's 20 years, not its rows).
The rows are read twice per call, for b and for the residuals and their
Gram matrix, in blocks of whole levels of the first fixed effect (the rows
are sorted by it), and a sweep's update of a fixed effect in ranges of its
levels (each depends on the other fixed effects' coefficients alone): both
share the machine's cores (THREADS), the interpreter lock released, with the
same bits on any number of threads. A Newton step keeps only z~'s residuals
(its Gram matrix gives X~'WX~ and X~'Wz~). Levels also offers the level sums
in NumPy, for the sums of the bias correction and the estimated effects.
"""

from __future__ import annotations

import functools
import warnings
from dataclasses import dataclass

import numpy as np
from scipy import sparse

from . import _native
from .progress import THREADS

# Sweeps of the alternating projections before giving up with a warning.
MAX_SWEEPS = 10_000


@dataclass
class Levels:
    """The fixed effects of the rows (sorted by the first fixed effect):
    per fixed effect the level of each row (0..G-1) and G; the runs of the
    first one; a sparse level-by-row indicator for each other one."""

    names: list[str]
    codes: list[np.ndarray]
    counts: list[int]

    def __post_init__(self):
        first = self.codes[0]
        self.starts = np.flatnonzero(np.r_[True, first[1:] != first[:-1]])  # first is sorted
        self.lengths = np.diff(np.r_[self.starts, first.shape[0]])
        self.run_lengths = self.lengths.astype(np.float64)
        # int64, which the core reads with a cheaper check than float64 whole numbers.
        self.other_levels = [(np.ascontiguousarray(codes, dtype=np.int64), count)
                             for codes, count in zip(self.codes[1:], self.counts[1:])]

    @functools.cached_property
    def indicators(self) -> list:
        """Per fixed effect after the first, its level-by-row 0/1 matrix (sparse)."""
        n = self.rows
        return [sparse.csr_matrix((np.ones(n), (codes, np.arange(n))), shape=(count, n))
                for codes, count in zip(self.codes[1:], self.counts[1:])]

    @property
    def rows(self) -> int:
        return self.codes[0].shape[0]

    def level_sums(self, f: int, values: np.ndarray) -> np.ndarray:
        """Per level of fixed effect f, the sum of values (n, or n x p) over its rows."""
        if f == 0:
            return np.add.reduceat(values, self.starts, axis=0)
        return self.indicators[f - 1] @ values

    def spread(self, f: int, per_level: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
        """Each row's value of its level of fixed effect f (into out when given)."""
        if out is not None:
            return np.take(per_level, self.codes[f], axis=0, out=out)
        if f == 0:
            return np.repeat(per_level, self.lengths, axis=0)
        return per_level[self.codes[f]]


@dataclass
class Demeaned:
    residuals: np.ndarray  # n x p (or the first columns asked for)
    coefficients: list  # per fixed effect, levels x p: values - residuals = sum_f D_f coefficients[f]
    gram: np.ndarray | None  # p x p: residuals' W residuals (None when not asked for)
    sweeps: int
    change: float  # the last sweep's largest change, relative to its column's largest |value|


def demean(levels: Levels, values: np.ndarray, weights: np.ndarray, tol: float,
           leading: np.ndarray | None = None, coefficients: list | None = None, threads: int | None = None,
           returned: int | None = None, gram: bool = True) -> Demeaned:
    """The residuals m~ of the columns (leading, when given, then those of
    values, n x k) from their weighted projection on the fixed effects.
    coefficients: a warm start, the fixed effects' coefficients of an earlier
    call (the last Newton step's), from which the sweeps reach m~ sooner.
    threads: at most this many (default THREADS); the result does not depend on it.
    returned: keep the residuals of the first this many columns only (the
    Gram matrix is of all): a Newton step needs z~ and the Gram matrix alone.
    gram: form the Gram matrix (a pass of products over the rows); a projection alone needs none."""
    values = values.reshape(values.shape[0], -1)
    columns = values.shape[1] + (leading is not None)
    demeaned = _demean_levels(levels, values, weights, leading, coefficients, tol, MAX_SWEEPS, threads,
                              columns if returned is None else returned, gram)
    if len(levels.codes) > 1 and not demeaned.change < tol:
        warn_unfinished_sweeps(levels.names, tol, demeaned.change)
    return demeaned


def warn_unfinished_sweeps(names: list[str], tol: float, change: float) -> None:
    warnings.warn(
        f"the demeaning within the fixed effects {', '.join(names)} did not reach the tolerance "
        f"{tol:g} in {MAX_SWEEPS} sweeps (last change {change:.3g}): the estimates are approximate",
        RuntimeWarning,
        stacklevel=5,
    )


def residuals_of(levels: Levels, values: np.ndarray, weights: np.ndarray, coefficients: list) -> Demeaned:
    """values - sum_f D_f coefficients[f] (n x k), without sweeps (and without the Gram matrix)."""
    return _demean_levels(levels, values, weights, None, coefficients, 0.5, 0, None, values.shape[1], False)


def _demean_levels(levels, values, weights, leading, coefficients, tol, max_sweeps, threads, returned,
                   gram) -> Demeaned:
    residuals, coefficients, gram, sweeps, change = _native.demean_levels(
        None if leading is None else np.ascontiguousarray(leading, dtype=np.float64), values,
        np.ascontiguousarray(weights, dtype=np.float64), levels.run_lengths, levels.other_levels, coefficients,
        float(tol), max_sweeps, THREADS if threads is None else threads, returned, gram,
    )
    return Demeaned(residuals, coefficients, gram, sweeps, change)
