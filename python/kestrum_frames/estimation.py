"""The probit fit over partitions.

The iteration is the core's own ProbitMaximizer (the one ``kestrum.fit_probit``
runs in memory): it asks for the sums of one pass at a point, and this loop
answers each request with one Dask computation of the partitions' sums,
which the maximiser adds in partition order. The covariance comes from the
Hessian at the estimate, with the HC0 meat of the same pass or the cluster
meat of one more pass. Each pass is logged (logger ``kestrum_frames``, INFO).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np

from . import _native
from .progress import logger


def _probit_sums(partition, beta, quantities):
    return _native.probit_sums(partition.y, partition.X, beta, quantities)


def maximize(data, max_iter: int, tol: float, final_quantities: int) -> dict:
    """The maximiser's outcome: beta, loglike, iterations, converged,
    perfectly_predicted, stalled, out_of_range, and the Hessian (and meat) at beta."""
    maximizer = _native.Maximizer(data.k, max_iter, tol, final_quantities)
    previous = None
    while not maximizer.finished:
        point = maximizer.point
        parts = data.map(_probit_sums, point, maximizer.quantities)
        if parts[0]["loglike"] is not None:
            loglike = math.fsum(part["loglike"] for part in parts)
            if previous is None:
                logger.info("pass %d: log-likelihood %.10g at the start", data.passes, loglike)
            else:
                step = float(np.linalg.norm(point - previous))
                logger.info("pass %d: log-likelihood %.10g, step %.3g", data.passes, loglike, step)
        previous = point
        maximizer.supply(parts)
    return maximizer.outcome()


@dataclass
class Estimate:
    params: np.ndarray
    cov: np.ndarray
    loglike: float
    iterations: int
    converged: bool
    cov_type: str  # "nonrobust", "HC0" or "cluster"
    passes: int  # passes over the rows: the iteration's and the cluster meat's


# The texts of kestrum.fit_probit's warnings, with the names of the terms.
def separation_message(count: int) -> str:
    return (
        f"Perfect separation: {count} observations are perfectly predicted; the maximum likelihood estimate "
        "does not exist and the coefficients diverge. Remove the regressors (or observations) that predict "
        "the outcome perfectly."
    )


SINGLE_CLUSTER = (
    "cluster forms a single cluster, and the cluster-robust covariance from G clusters has rank G - 1: "
    "cov_params() is all NaN. Cluster on a column with at least two distinct values, or leave cluster out "
    "for the HC0 covariance"
)


def out_of_range_message(names: list[str]) -> str:
    return (
        f"Regressors out of range: the sums of squares of columns {', '.join(names)} overflow or underflow a "
        "double, so the fit stops where it found them, not converged, and cov_params() is all NaN. Rescale these "
        "columns (units from 1e-10 to 1e10 are supported)."
    )


def singular_hessian_message(names: list[str]) -> str:
    return (
        f"Hessian singular => NaN for Cov: columns involved: {', '.join(names)}. The coefficients of linearly "
        "dependent (or all-zero) columns are not identified; drop or combine columns."
    )


def estimate(data, max_iter: int, tol: float, robust: bool) -> Estimate:
    clustered = data.clustered
    heteroskedastic = robust and not clustered
    outcome = maximize(data, max_iter, tol, _native.ROBUST_MEAT if heteroskedastic else 0)
    if outcome["perfectly_predicted"] > 0:
        warnings.warn(separation_message(outcome["perfectly_predicted"]), RuntimeWarning, stacklevel=3)

    beta = outcome["beta"]
    meat = outcome["meat"] if heteroskedastic else None
    if clustered:
        meat, data.clusters = data.cluster_meat(beta)
    if outcome["out_of_range"]:
        names = [data.names[j] for j in outcome["out_of_range"]]
        warnings.warn(out_of_range_message(names), RuntimeWarning, stacklevel=3)
        cov = np.full((data.k, data.k), np.nan)
    elif clustered and data.clusters == 1:
        warnings.warn(SINGLE_CLUSTER, RuntimeWarning, stacklevel=3)
        cov = np.full((data.k, data.k), np.nan)
    else:
        cov, involved = _native.covariance(outcome["hessian"], meat)
        if involved:
            warnings.warn(singular_hessian_message([data.names[j] for j in involved]), RuntimeWarning, stacklevel=3)
    logger.info(
        "%s after %d iterations and %d passes: log-likelihood %.10g",
        "converged" if outcome["converged"] else "not converged",
        outcome["iterations"],
        data.passes,
        outcome["loglike"],
    )
    return Estimate(
        params=beta,
        cov=cov,
        loglike=outcome["loglike"],
        iterations=outcome["iterations"],
        converged=outcome["converged"],
        cov_type="cluster" if clustered else "HC0" if heteroskedastic else "nonrobust",
        passes=data.passes,
    )
