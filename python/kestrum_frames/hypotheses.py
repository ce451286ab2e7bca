"""Wald and likelihood-ratio tests, and information criteria, of probit fits.

    res.wald_test("age = 0, educ = 0")       # linear hypotheses R b = q by term name
    res.wald_test(R, q)                      # the same as a matrix (q = 0 when left out)
    kf.lr_test(restricted, unrestricted)     # 2 (l_u - l_r), models nested by term name

Both statistics are chi-squared under the hypothesis, with p-values from its
upper tail.
"""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass

import numpy as np
from formulaic.utils.constraints import LinearConstraints



def _chi2_sf(statistic, df) -> float:
    from scipy import stats  # imported when a test is asked for: scipy.stats takes a quarter of a second

    return float(stats.chi2.sf(statistic, df))


@dataclass(frozen=True)
class ChiSquareTest:
    """A test statistic with a chi-squared reference distribution."""

    test: str
    statistic: float
    df: int
    pvalue: float

    def __str__(self) -> str:
        return f"{self.test} test: chi2({self.df}) = {self.statistic:.4f}, Prob > chi2 = {self.pvalue:.4g}"


def _unary_minus_as_difference(hypotheses: str) -> str:
    """'age = -0.05' as 'age = 0 - 0.05': formulaic reads a minus sign only
    between two operands, so one after '=', ',', '(' or at the start gets a 0
    before it."""
    return re.sub(r"(^|[=,(])\s*-", r"\1 0 -", hypotheses)


def _constraints(hypotheses, values, names: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """R (m x k) and q (m) of the hypotheses R b = q."""
    if isinstance(hypotheses, str):
        if values is not None:
            raise ValueError("values is for a matrix of hypotheses; a string states its own right-hand sides")
        try:
            parsed = LinearConstraints.from_spec(_unary_minus_as_difference(hypotheses), variable_names=names)
        except Exception as error:  # formulaic's parse errors carry the reason
            raise ValueError(f"hypotheses {hypotheses!r} cannot be read with the terms {names}: {error}") from error
        return np.asarray(parsed.constraint_matrix, dtype=np.float64), np.asarray(
            parsed.constraint_values, dtype=np.float64
        )
    R = np.atleast_2d(np.asarray(hypotheses, dtype=np.float64))
    if R.ndim != 2 or R.shape[1] != len(names):
        raise ValueError(f"hypotheses as a matrix must have one column per term ({len(names)}); got shape {R.shape}")
    q = np.zeros(R.shape[0]) if values is None else np.atleast_1d(np.asarray(values, dtype=np.float64))
    if q.shape != (R.shape[0],):
        raise ValueError(f"values must have one entry per hypothesis ({R.shape[0]}); got shape {q.shape}")
    return R, q


def wald_test(result, hypotheses, values=None) -> ChiSquareTest:
    """W = (R b - q)' (R V R')^-1 (R b - q) ~ chi2(m), V the result's covariance.

    hypotheses: a string of comma-separated linear equations in the term
        names ("age = 0, educ = 0", "2*kidslt6 = kidsge6"), or a matrix R with
        one row per hypothesis and one column per term (a 1-D array is one
        hypothesis); values: q for a matrix (zeros when left out).
    """
    names = list(result.params.index)
    R, q = _constraints(hypotheses, values, names)
    if not (np.isfinite(R).all() and np.isfinite(q).all()):
        raise ValueError("hypotheses and values must be finite")
    m = R.shape[0]
    params = result.params.to_numpy()
    identified = ~np.isnan(params)  # a column dropped as dependent on the others has NaN
    dropped = [names[j] for j in np.flatnonzero(~identified) if (R[:, j] != 0).any()]
    if dropped:
        raise ValueError(f"the hypotheses involve {', '.join(dropped)}, dropped as dependent on the other columns")
    R = R[:, identified]
    difference = R @ params[identified] - q
    middle = R @ result.cov_params().to_numpy()[np.ix_(identified, identified)] @ R.T
    if not np.isfinite(middle).all():
        raise ValueError("the covariance of the terms the hypotheses involve is not finite (a singular Hessian?)")
    if np.linalg.matrix_rank(middle) < m:
        raise ValueError(
            f"the {m} hypotheses are linearly dependent, or involve terms whose estimates have no variance: "
            "R V R' is singular"
        )
    statistic = float(difference @ np.linalg.solve(middle, difference))
    return ChiSquareTest("Wald", statistic, m, _chi2_sf(statistic, m))


# Rows are the same when these sums agree to this relative precision: the
# partitions of two fits may add them in different orders.
FINGERPRINT_TOLERANCE = 1e-9


def _row_sums(partition, columns: list[int]) -> tuple[int, np.ndarray, np.ndarray]:
    """For v_i = (y_i, x_ij for j in columns): n, sum_i v_i and sum_i i v_i,
    i counted from the partition's first row."""
    values = np.column_stack([partition.y, partition.X.block()[:, columns]])
    position = np.arange(values.shape[0], dtype=np.float64)
    return values.shape[0], values.sum(axis=0), position @ values


def row_fingerprint(result, names: list[str]) -> np.ndarray:
    """Sums of the outcome and of the named regressors over the rows used,
    plain and weighted by row position: cheap (one pass), and different for
    nearly any other set or order of rows."""
    data = result.model.data
    columns = [data.names.index(name) for name in names]
    plain = np.zeros(len(columns) + 1)
    weighted = np.zeros(len(columns) + 1)
    offset = 0
    for rows, sums, position_sums in data.map(_row_sums, columns):
        plain += sums
        weighted += position_sums + offset * sums  # positions counted over all rows
        offset += rows
    return np.concatenate([plain, weighted])


def lr_test(restricted, unrestricted) -> ChiSquareTest:
    """LR = 2 (l_unrestricted - l_restricted) ~ chi2(k_u - k_r).

    The restricted model's terms must be among the unrestricted model's, and
    both must be fitted to the same outcome on the same rows (same count,
    same sums of the outcome and of the shared regressors).
    """
    for argument, result in (("restricted", restricted), ("unrestricted", unrestricted)):
        if not all(hasattr(result, a) for a in ("llf", "params", "nobs", "model")):
            raise TypeError(f"{argument} must be a kestrum_frames fit result; got {type(result).__qualname__}")
    small, large = list(restricted.params.index), list(unrestricted.params.index)
    extra = [name for name in small if name not in large]
    if extra:
        raise ValueError(f"the models are not nested: the restricted model's terms {extra} are not in the unrestricted")
    df = len(large) - len(small)
    if df <= 0:
        raise ValueError("the restricted model must have fewer terms than the unrestricted one")
    if restricted.model.endog_names != unrestricted.model.endog_names:
        raise ValueError(
            f"the models explain different outcomes: {restricted.model.endog_names!r} and "
            f"{unrestricted.model.endog_names!r}"
        )
    if restricted.nobs != unrestricted.nobs:
        raise ValueError(
            f"the models were fitted on different rows: {restricted.nobs} and {unrestricted.nobs} observations "
            "(a term of the larger model has missing values?); fit both on the same rows"
        )
    a, b = row_fingerprint(restricted, small), row_fingerprint(unrestricted, small)
    if not np.allclose(a, b, rtol=FINGERPRINT_TOLERANCE, atol=0.0):
        raise ValueError(
            f"the models were fitted on different rows: both have {restricted.nobs} observations, but the "
            "outcome or the shared regressors differ; fit both on the same rows"
        )
    if restricted.cov_type != "nonrobust" or unrestricted.cov_type != "nonrobust":
        warnings.warn(
            "the likelihood-ratio test assumes a correctly specified likelihood, which a robust covariance "
            "doubts: a Wald test with that covariance is the robust alternative",
            stacklevel=2,
        )
    statistic = 2.0 * (unrestricted.llf - restricted.llf)
    if statistic < 0.0:
        warnings.warn(
            "the restricted model fits better than the unrestricted one (LR < 0): has the unrestricted fit "
            "converged?",
            RuntimeWarning,
            stacklevel=2,
        )
    return ChiSquareTest("Likelihood-ratio", float(statistic), df, _chi2_sf(statistic, df))


class FitCriteria:
    """Information criteria and the test against the intercept-only model, as
    statsmodels names them (k = number of identified coefficients: a column
    dropped as dependent on the others does not count; n = nobs)."""

    @property
    def _identified(self) -> int:
        return int(self.params.notna().sum())

    @property
    def aic(self) -> float:
        """-2 l + 2 k."""
        return -2.0 * self.llf + 2.0 * self._identified

    @property
    def bic(self) -> float:
        """-2 l + ln(n) k."""
        return -2.0 * self.llf + np.log(self.nobs) * self._identified

    @property
    def llr(self) -> float:
        """2 (l - l0), the likelihood ratio against the intercept-only model."""
        return 2.0 * (self.llf - self.llnull)

    @property
    def llr_pvalue(self) -> float:
        """P(chi2(k - 1) > llr): the intercept-only model has one coefficient."""
        return _chi2_sf(self.llr, self._identified - 1)

    def wald_test(self, hypotheses, values=None) -> ChiSquareTest:
        """The Wald test of linear hypotheses R b = q: see hypotheses.wald_test."""
        return wald_test(self, hypotheses, values)
