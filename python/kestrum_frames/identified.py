"""The coefficients the data identify when columns of X are linearly dependent.

A column that is a linear combination of earlier ones (the dummy trap, a
duplicated variable, a column of zeros) has no coefficient of its own: the
likelihood depends on beta only through X beta. Such columns are dropped,
each one that the rank rule of the core finds dependent on the columns
before it (as R reports NA for an aliased coefficient), and the others get
the estimate and covariance of the model without them.
"""

from __future__ import annotations

import warnings

import numpy as np

from . import _native


def _block(matrix: np.ndarray, rows: list[int], cols: list[int]) -> np.ndarray:
    return np.ascontiguousarray(matrix[np.ix_(rows, cols)])


def dependent_columns(hessian: np.ndarray, involved: list[int]) -> list[int]:
    """The columns among those involved in the singularity that depend on
    the columns before them, by the core's rank rule. Columns not involved
    are independent of every other."""
    kept = [j for j in range(hessian.shape[0]) if j not in involved]
    dropped = []
    for j in involved:
        trial = sorted([*kept, j])
        _, singular = _native.covariance(_block(hessian, trial, trial))
        (dropped if singular else kept).append(j)
    return dropped


def dropped_message(names: list[str], involved: list[int], dropped: list[int]) -> str:
    return (
        f"Hessian singular: dropped {', '.join(names[j] for j in dropped)}, linearly dependent on the other columns "
        f"(columns involved: {', '.join(names[j] for j in involved)}). A dropped column's coefficient and standard "
        "error are NaN; the other coefficients are those of the model without it."
    )


def identified_fit(beta: np.ndarray, hessian: np.ndarray, meat: np.ndarray | None, names: list[str]):
    """beta and its covariance, with NaN for the columns that are dropped as
    dependent on the others (and a RuntimeWarning naming them)."""
    cov, involved = _native.covariance(hessian, meat)
    if not involved:
        return beta, cov
    dropped = dependent_columns(hessian, involved)
    kept = [j for j in range(len(beta)) if j not in dropped]
    warnings.warn(dropped_message(names, involved, dropped), RuntimeWarning, stacklevel=5)
    params = np.full_like(beta, np.nan)
    full_cov = np.full_like(cov, np.nan)
    if kept:
        # With X_D = X_S A, the index is X beta = X_S (beta_S + A beta_D). The
        # Hessian is -X' W X with W > 0, so A = H_SS^-1 H_SD: the model
        # without the dropped columns has its maximum at beta_S + A beta_D,
        # with the same log-likelihood, and H_SS (and the meat's block) as
        # its Hessian (meat) there.
        h_kept = _block(hessian, kept, kept)
        params[kept] = beta[kept] + np.linalg.solve(h_kept, _block(hessian, kept, dropped) @ beta[dropped])
        kept_meat = None if meat is None else _block(meat, kept, kept)
        full_cov[np.ix_(kept, kept)] = _native.covariance(h_kept, kept_meat)[0]
    return params, full_cov
