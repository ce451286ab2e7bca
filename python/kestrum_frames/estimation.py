"""The probit fit over partitions.

The iteration is the core's own ProbitMaximizer (the one ``kestrum.fit_probit``
runs in memory), BFGS from 0 or Newton from the fit on a sample of the
partitions (strategy.py chooses): it asks for the sums of one pass at a
point, and this loop answers each request with one Dask computation of the
partitions' sums, which the maximiser adds in partition order. The covariance (covariance.py)
comes from the Hessian at the estimate, with the HC0 meat of the same pass
or the meats of one more pass. Each pass is logged (logger ``kestrum_frames``, INFO).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np

from . import _native
from .covariance import Covariance, CovarianceSpec, covariance, describe
from .progress import logger
from .strategy import Strategy, plan


def _probit_sums(partition, beta, quantities):
    return _native.probit_sums(partition.y, partition.X.source, beta, quantities, partition.weights)


def maximize(
    data, max_iter: int, tol: float, final_quantities: int, start: np.ndarray | None = None, log: bool = True
) -> dict:
    """The maximiser's outcome: beta, loglike, iterations, converged,
    perfectly_predicted, out_of_range, and the Hessian (and meat) at beta.
    BFGS from 0, or Newton's iteration from start when one is given.
    log: each pass logged (not the passes over a sample)."""
    maximizer = _native.Maximizer(data.k, max_iter, tol, final_quantities, start)
    previous = None
    while not maximizer.finished:
        point = maximizer.point
        parts = data.map_sums(_probit_sums, point, maximizer.quantities)
        if log and parts[0]["loglike"] is not None:
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
    convention: CovarianceSpec  # the covariance convention
    cov_type: str  # that convention in words
    clusters: tuple[int, ...] | None  # G of each clustering
    passes: int  # passes over the rows: the iteration's and the covariance's
    strategy: Strategy  # the iteration, and the sample of Newton's start
    hessian: np.ndarray  # the observed Hessian at params, for another covariance
    meat: np.ndarray | None  # the HC0 meat at params, when the last pass computed it


def estimate(data, max_iter: int, tol: float, convention: CovarianceSpec, method: str = "auto") -> Estimate:
    # The last pass of the iteration also gives the HC0 meat, where it is
    # the sum of s_i s_i' over the (repeated) rows.
    probability = data.weighting is not None and not data.weighting.frequency
    meat_in_last_pass = convention.heteroskedastic and not probability
    final_quantities = _native.ROBUST_MEAT if meat_in_last_pass else 0
    start, strategy = plan(method, data, maximize, max_iter)
    logger.info("iteration: %s", strategy.describe(data.npartitions))
    outcome = maximize(data, max_iter, tol, final_quantities, start)
    for text in _native.fit_warnings(outcome["perfectly_predicted"], outcome["out_of_range"], data.names):
        warnings.warn(text, RuntimeWarning, stacklevel=3)

    beta = outcome["beta"]
    meat = outcome["meat"] if meat_in_last_pass else None
    if outcome["out_of_range"]:
        result = Covariance(beta, np.full((data.k, data.k), np.nan), describe(convention, None), None)
    else:
        result = covariance(data, beta, convention, outcome["hessian"], meat)
    logger.info(
        "%s at iteration %d (counting from 0), after %d passes: log-likelihood %.10g",
        "converged" if outcome["converged"] else "not converged",
        outcome["iterations"],
        data.passes,
        outcome["loglike"],
    )
    return Estimate(
        params=result.params,
        cov=result.cov,
        loglike=outcome["loglike"],
        iterations=outcome["iterations"],
        converged=outcome["converged"],
        convention=convention,
        cov_type=result.cov_type,
        clusters=result.clusters,
        passes=data.passes,
        strategy=strategy,
        hessian=outcome["hessian"],
        meat=meat,
    )
