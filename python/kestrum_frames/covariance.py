"""The covariance of the estimate under a chosen convention.

    V = B M B,  B = (-H)^-1

H is the observed Hessian of the (weighted) log-likelihood at the estimate
(information="observed") or the expected one, -sum w_i phi_i^2 / (Phi_i (1 -
Phi_i)) x_i x_i' (information="expected", as R's glm). Without a meat
(vcov="nonrobust") V = B. The meats and their small-sample factors:

    HC0  M = sum_i s_i s_i'                         (probability weights: sum_i (w_i s_i)(w_i s_i)')
    HC1  HC0 times N / (N - 1)                      Stata's vce(robust)
    CR0  M = sum_c g_c g_c', g_c = sum_{i in c} w_i s_i
    CR1  CR0 times G / (G - 1)                      Stata's vce(cluster g)

N is nobs (the sum of frequency weights, the rows otherwise) and G the number
of clusters, neither counting rows of weight 0. A frequency weight counts
its row w_i times, so that s_i s_i' enters w_i times.

Multi-way clustering (cluster=["firm", "year"]): Cameron, Gelbach and
Miller's inclusion-exclusion sum over the non-empty subsets S of the
clusterings, each grouping the rows by the combination of its columns,

    M = sum_S (-1)^(|S| + 1) c_S M_S,   c_S = G_S / (G_S - 1) for CR1, 1 for CR0,

each term with the factor of its own number of clusters (as
sandwich::vcovCL(cadjust=TRUE) does, and unlike fixest's default, which
takes the smallest G for every term). Such a V need not be positive
semi-definite; when it is not, its negative eigenvalues are set to 0 (V =
U max(Lambda, 0) U', as Cameron, Gelbach and Miller suggest) and a
RuntimeWarning says so. The core forms V from these sums
(_native.covariance, src/estimation/covariance_estimate.cpp), dropping the
columns that depend on the others, and composes the warnings' texts.
"""

from __future__ import annotations

import itertools
import warnings
from dataclasses import dataclass

import numpy as np

from . import _native
from .weights import Weighting

VCOV_TYPES = ("nonrobust", "HC0", "HC1", "CR0", "CR1")
INFORMATION_TYPES = ("observed", "expected")


@dataclass(frozen=True)
class CovarianceSpec:
    vcov: str
    # Each clustering is a combination of columns (one cluster per distinct
    # combination of their values); several clusterings: multi-way.
    clusterings: tuple[tuple[str, ...], ...] = ()
    information: str = "observed"

    @property
    def robust(self) -> bool:
        return self.vcov != "nonrobust"

    @property
    def heteroskedastic(self) -> bool:
        return self.vcov in ("HC0", "HC1")

    @property
    def cluster_names(self) -> list[str]:
        """Every column a clustering reads, in order of first mention."""
        return list(dict.fromkeys(name for clustering in self.clusterings for name in clustering))


def clusterings_argument(cluster) -> tuple[tuple[str, ...], ...]:
    """cluster=: None; a column name; a tuple of names (one clustering by
    their combination); or a list of names and tuples (multi-way)."""
    if cluster is None:
        return ()
    entries = [cluster] if isinstance(cluster, (str, tuple)) else cluster
    if not isinstance(entries, list) or not entries:
        raise TypeError(f"cluster must be a column name, a tuple of them or a list of those, not {cluster!r}")
    clusterings = []
    for entry in entries:
        names = (entry,) if isinstance(entry, str) else entry
        if not isinstance(names, tuple) or not names or not all(isinstance(name, str) for name in names):
            raise TypeError(
                f"cluster must be a column name, a tuple of them (their combination) or a list of those "
                f"(multi-way), not {cluster!r}"
            )
        clusterings.append(names)
    if len(set(clusterings)) != len(clusterings):
        raise ValueError(f"cluster names the same clustering twice: {cluster!r}")
    return tuple(clusterings)


def covariance_spec(vcov, cluster, information, robust: bool, weights: Weighting | None) -> CovarianceSpec:
    """The convention asked for. Without vcov: CR1 with clusters, else HC1
    when robust or with probability weights, else nonrobust (as Stata)."""
    clusterings = clusterings_argument(cluster)
    if information not in INFORMATION_TYPES:
        raise ValueError(f"information must be 'observed' or 'expected', not {information!r}")
    probability = weights is not None and not weights.frequency
    if vcov is None:
        vcov = "CR1" if clusterings else "HC1" if robust or probability else "nonrobust"
    elif vcov not in VCOV_TYPES:
        raise ValueError(f"vcov must be one of {', '.join(map(repr, VCOV_TYPES))}, not {vcov!r}")
    if vcov.startswith("CR") and not clusterings:
        raise ValueError(f"vcov={vcov!r} is cluster-robust: name the cluster columns with cluster=")
    if clusterings and not vcov.startswith("CR"):
        raise ValueError(f"cluster= asks for a cluster-robust covariance: vcov must be 'CR0' or 'CR1', not {vcov!r}")
    if robust and vcov == "nonrobust":
        raise ValueError("robust=True contradicts vcov='nonrobust'")
    if probability and vcov == "nonrobust":
        raise ValueError(
            "probability weights need a sandwich covariance (the inverse Hessian of a weighted likelihood is "
            "not the estimate's variance): use vcov='HC0', 'HC1' or a cluster-robust one"
        )
    return CovarianceSpec(vcov, clusterings, information)


def inclusion_exclusion(convention: CovarianceSpec, names: list[str]) -> list[tuple[tuple[int, ...], int]]:
    """The groupings of the multi-way sum and their signs: per non-empty
    subset of the clusterings, the positions (among the cluster columns
    names) of the columns it combines, and (-1)^(|S| + 1)."""
    terms = []
    for size in range(1, len(convention.clusterings) + 1):
        for subset in itertools.combinations(convention.clusterings, size):
            columns = {name for clustering in subset for name in clustering}
            terms.append((tuple(j for j, name in enumerate(names) if name in columns), 1 if size % 2 else -1))
    return terms


def describe(convention: CovarianceSpec, clusters: tuple[int, ...] | None) -> str:
    """The convention in words, as cov_type and the summary show it."""
    def label(clustering):
        return clustering[0] if len(clustering) == 1 else "(" + ", ".join(clustering) + ")"

    information = "expected information (as R's glm)" if convention.information == "expected" else "observed information"
    if convention.vcov == "nonrobust":
        return f"nonrobust: inverse of the {information}"
    bread = "" if convention.information == "observed" else "; bread from the expected information"
    if convention.vcov == "HC0":
        return f"HC0: heteroskedasticity-robust, no small-sample factor{bread}"
    if convention.vcov == "HC1":
        return f"HC1: heteroskedasticity-robust, N/(N-1) as Stata's vce(robust){bread}"
    ways = len(convention.clusterings)
    by = " and ".join(label(c) for c in convention.clusterings)
    counts = ", ".join(str(g) for g in clusters) if clusters else "?"
    kind = "cluster-robust" if ways == 1 else f"{ways}-way cluster-robust (inclusion-exclusion)"
    factor = "no small-sample factor" if convention.vcov == "CR0" else (
        "G/(G-1) as Stata's vce(cluster)" if ways == 1 else "each term G/(G-1) with its own G"
    )
    return f"{convention.vcov}: {kind} by {by} ({counts} clusters), {factor}{bread}"


def _row_sums(partition, beta, expected: bool, meat: bool, probability: bool) -> dict:
    """The expected Hessian and the HC0 meat of one partition, as asked."""
    weights = partition.weights
    quantities = _native.EXPECTED_HESSIAN if expected else 0
    if meat and not probability:
        quantities |= _native.ROBUST_MEAT
    sums = {}
    if quantities:
        sums = _native.probit_sums(partition.y, partition.X.source, beta, quantities, weights)
    if meat and probability:  # (w_i s_i)(w_i s_i)' = w_i^2 s_i s_i'
        squared = _native.probit_sums(partition.y, partition.X.source, beta, _native.ROBUST_MEAT, weights * weights)
        sums["meat"] = squared["meat"]
    return sums


def _in_order(parts: list[dict], key: str) -> np.ndarray:
    total = parts[0][key]
    for part in parts[1:]:
        total = total + part[key]  # partition order: the same bits on any scheduler
    return total


@dataclass
class Covariance:
    params: np.ndarray  # beta, NaN for a column dropped as dependent on the others
    cov: np.ndarray
    cov_type: str  # the convention in words
    clusters: tuple[int, ...] | None  # G of each clustering


def nobs_for_factor(data) -> float:
    """N of N/(N-1): the sum of frequency weights, else the rows used."""
    weights = data.weighting
    return data.weight_sum if weights is not None and weights.frequency else data.nobs


def covariance(data, beta: np.ndarray, convention: CovarianceSpec, hessian: np.ndarray, meat=None) -> Covariance:
    """V under convention at the estimate beta. hessian: the observed Hessian
    there; meat: the HC0 meat there when the fit's last pass computed it
    (unweighted or frequency weights). Needs at most one more pass over the
    rows (two for the expected information with clusters)."""
    probability = data.weighting is not None and not data.weighting.frequency
    need_meat = convention.heteroskedastic and (meat is None or probability)
    if convention.information == "expected" or need_meat:
        parts = data.map(_row_sums, beta, convention.information == "expected", need_meat, probability)
        if convention.information == "expected":
            hessian = _in_order(parts, "expected_hessian")
        if need_meat:
            meat = _in_order(parts, "meat")
    if not convention.heteroskedastic:
        meat = None

    clusters = None
    groupings = None
    if convention.clusterings:
        terms = inclusion_exclusion(convention, data.cluster_names)
        unique = list(dict.fromkeys(grouping for grouping, _ in terms))
        meats = dict(zip(unique, data.cluster_meats(beta, unique)))
        clusters = tuple(meats[grouping][1] for grouping, _ in terms[: len(convention.clusterings)])
        groupings = [(*meats[grouping], sign) for grouping, sign in terms]
    nobs = nobs_for_factor(data) if convention.vcov == "HC1" else None
    result = _native.covariance(hessian, meat, groupings, convention.vcov, nobs, beta, data.names)
    for text in result["warnings"]:
        warnings.warn(text, RuntimeWarning, stacklevel=4)
    return Covariance(result["params"], result["cov"], describe(convention, clusters), clusters)
