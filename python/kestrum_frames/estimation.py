"""The probit fit over partitions.

The iteration is the core's own ProbitMaximizer (the one ``kestrum.fit_probit``
runs in memory): it asks for the sums of one pass at a point, and this loop
answers each request with one Dask computation of the partitions' sums,
which the maximiser adds in partition order. The covariance comes from the
Hessian at the estimate, with the HC0 meat of the same pass or the cluster
meat of one more pass.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from . import _native
from .model_data import ModelData


def _probit_sums(partition, beta, quantities):
    return _native.probit_sums(partition.y, partition.X, beta, quantities)


def _cluster_score_sums(partition, beta):
    sums = _native.cluster_score_sums(
        partition.y, partition.X, beta, partition.cluster_of, len(partition.cluster_ids)
    )
    return partition.cluster_ids, sums


def maximize(data: ModelData, max_iter: int, tol: float, final_quantities: int) -> dict:
    """The maximiser's outcome: beta, loglike, iterations, converged,
    perfectly_predicted, stalled, and the Hessian (and meat) at beta."""
    maximizer = _native.Maximizer(data.k, max_iter, tol, final_quantities)
    while not maximizer.finished:
        maximizer.supply(data.map(_probit_sums, maximizer.point, maximizer.quantities))
    return maximizer.outcome()


def cluster_meat(data: ModelData, beta: np.ndarray) -> np.ndarray:
    """sum_c g_c g_c' with g_c the score sum of cluster c: each partition
    gives the parts of the g_c of its clusters, added in partition order."""
    score_sums = np.zeros((data.clusters, data.k))
    for ids, sums in data.map(_cluster_score_sums, beta):
        score_sums[ids] += sums  # ids are distinct within a partition
    return _native.cluster_meat(score_sums)


@dataclass
class Estimate:
    params: np.ndarray
    cov: np.ndarray
    loglike: float
    iterations: int
    converged: bool
    cov_type: str  # "nonrobust", "HC0" or "cluster"


# The texts of kestrum.fit_probit's warnings, with the names of the terms.
def separation_message(count: int) -> str:
    return (
        f"Perfect separation: {count} observations are perfectly predicted; the maximum likelihood estimate "
        "does not exist and the coefficients diverge. Remove the regressors (or observations) that predict "
        "the outcome perfectly."
    )


def singular_hessian_message(names: list[str]) -> str:
    return (
        f"Hessian singular => NaN for Cov: columns involved: {', '.join(names)}. The coefficients of linearly "
        "dependent (or all-zero) columns are not identified; drop or combine columns."
    )


def estimate(data: ModelData, max_iter: int, tol: float, robust: bool) -> Estimate:
    clustered = data.clusters is not None
    heteroskedastic = robust and not clustered
    outcome = maximize(data, max_iter, tol, _native.ROBUST_MEAT if heteroskedastic else 0)
    if outcome["perfectly_predicted"] > 0:
        warnings.warn(separation_message(outcome["perfectly_predicted"]), RuntimeWarning, stacklevel=3)

    beta = outcome["beta"]
    if clustered:
        meat = cluster_meat(data, beta)
    else:
        meat = outcome["meat"] if heteroskedastic else None
    cov, involved = _native.covariance(outcome["hessian"], meat)
    if involved:
        warnings.warn(singular_hessian_message([data.names[j] for j in involved]), RuntimeWarning, stacklevel=3)
    return Estimate(
        params=beta,
        cov=cov,
        loglike=outcome["loglike"],
        iterations=outcome["iterations"],
        converged=outcome["converged"],
        cov_type="cluster" if clustered else "HC0" if heteroskedastic else "nonrobust",
    )
