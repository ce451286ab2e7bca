"""Probit models from formulas and DataFrames, fitted on every core or on a Dask cluster.

    import kestrum_frames as kf
    res = kf.fit_probit("inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6", data)
    res.params, res.bse, res.cov_params(), print(res.summary())
    kf.ame(res)

The estimator is kestrum's own (the same maximiser, covariances and
marginal effects); the rows are visited in partitions that Dask's scheduler
runs in parallel. A Dask DataFrame (from Parquet files larger than memory,
say) is read where its partitions live, on a distributed cluster or the
local threads.
"""

from __future__ import annotations

from . import arguments
from .adapter import model_rows
from .covariance import covariance_spec, inclusion_exclusion
from .estimation import estimate
from .fixed_effects_fit import fit_fixed_effects, split_formula
from .hypotheses import lr_test
from .margins import ame, avg_predictions
from .progress import reporting
from .strategy import method_argument
from .plots import plot_ame, plot_predictions, plot_slopes
from .results import ProbitModel, ProbitResults
from .tables import etable
from .weights import weighting as weights_argument

__all__ = [
    "fit_probit",
    "ame",
    "avg_predictions",
    "ProbitResults",
    "lr_test",
    "etable",
    "plot_ame",
    "plot_predictions",
    "plot_slopes",
]


def fit_probit(
    formula: str,
    data,
    robust: bool = False,
    cluster=None,
    max_iter: int = 35,
    tol: float = 1e-6,
    npartitions: int | None = None,
    persist: bool | None = None,
    verbose: bool = False,
    vcov: str | None = None,
    weights: str | None = None,
    weight_type: str = "frequency",
    information: str = "observed",
    method: str = "auto",
    demean_tol: float = 1e-10,
) -> ProbitResults:
    """Fit a probit model by maximum likelihood.

    formula: "outcome ~ terms" in formulaic's syntax; the outcome is a 0/1
        column, C(x) expands a categorical term, I(...) evaluates an expression.
    data: a pandas, polars or Dask DataFrame. Rows with a missing value in
        any column the model uses (outcome, regressors, cluster, weights)
        are dropped, and so are rows of weight 0.
        A Dask frame is read where its partitions live, one pass per
        iteration (on the distributed client if there is one); C(x) needs
        known categories there (``data.categorize()``).
    robust: True for the heteroskedasticity-robust covariance, HC1 (as
        Stata's vce(robust)) unless vcov says otherwise.
    cluster: the cluster-robust covariance, CR1 (as Stata's vce(cluster))
        unless vcov says otherwise. A column name; a tuple of names, one
        clustering by the combination of their values (cluster=("firm",
        "year"): a cluster per firm-year); or a list of those, multi-way
        clustering (cluster=["firm", "year"]: two-way, Cameron, Gelbach and
        Miller's inclusion-exclusion sum).
    vcov: "nonrobust", "HC0", "HC1", "CR0" or "CR1" (see kestrum_frames.covariance):
        HC1 and CR1 multiply HC0 and CR0 by N/(N-1) and G/(G-1).
    weights: a column of non-negative row weights; weight_type "frequency"
        (integers: each row counts w times, as Stata's fweight) or
        "probability" (sampling weights: the weighted likelihood with a
        sandwich covariance, HC1 or CR1 unless vcov says otherwise, as
        Stata's pweight). Negative, infinite or (frequency) fractional
        weights raise ValueError naming the row.
    information: "observed" (the Hessian at the estimate) or "expected"
        (sum phi^2 / (Phi (1 - Phi)) x x', as R's glm) for the bread of
        every covariance.
    max_iter, tol: as kestrum.fit_probit.
    method: the iteration (kestrum_frames.strategy): "newton" (a start from
        the fit on a few whole partitions spread evenly over the data, then
        Newton steps with the exact Hessian: two or three passes over all
        the rows), "bfgs" (quasi-Newton from 0, as kestrum.fit_probit: cheaper
        passes, more of them) or "auto": Newton where every pass reads the
        data anew (a Dask frame whose rows are not kept in memory), the
        faster of the two in memory. Both have the same convergence test,
        and agree within tol; res.strategy and the summary say which ran.
    npartitions: how many row partitions a pandas or polars frame is split
        into (None: one per 262144 rows); a Dask frame keeps its own. The
        same partitioning gives the same bits on any scheduler.
    persist: for a Dask frame, whether to keep the model's rows in memory
        where the tasks run (the workers') instead of rebuilding them from
        the frame's source (its files) on every pass. None: keep them when
        the first pass finds they take at most half of the free memory.
    verbose: show Dask's progress bar for every pass and log each iteration
        (logger "kestrum_frames", INFO) to standard error.

    Fixed effects: "y ~ x1 + x2 | firm + year" absorbs a coefficient per
    level of each column after '|' (see kestrum_frames.fixed_effects): the
    intercept is absorbed, levels whose outcome never varies are dropped
    (counted in the summary, with a warning), and the default covariance is
    CR1 clustered by the first fixed effect (vcov "nonrobust", "HC0",
    "HC1", "CR0" or "CR1"; cluster= one column; HC1 multiplies by N/(N-1),
    CR1 by G/(G-1)). demean_tol: the alternating projections within the
    levels stop when a sweep changes no value by more than demean_tol times
    its column's largest |value|. Pandas, polars and Dask frames (a Dask
    frame's rows are kept where its partitions live: fixed_effects_dask),
    unweighted, observed information.
    """
    split = split_formula(formula) if isinstance(formula, str) else None
    if split is not None:
        if (weights is not None or information != "observed" or npartitions is not None or persist is not None
                or method != "auto"):
            raise ValueError("a fit with fixed effects takes no weights, information, npartitions, persist or method "
                             "(its Newton steps keep the rows in memory, a Dask frame's where its partitions live)")
        return fit_fixed_effects(split, data, vcov=vcov, cluster=cluster, robust=robust, max_iter=max_iter,
                                 tol=tol, demean_tol=demean_tol)
    robust = arguments.boolean(robust, "robust")
    max_iter = arguments.integer(max_iter, "max_iter", 0)
    tol = arguments.real(tol, "tol")
    npartitions = arguments.integer(npartitions, "npartitions", 1, optional=True)
    persist = None if persist is None else arguments.boolean(persist, "persist")
    verbose = arguments.boolean(verbose, "verbose")
    method = method_argument(method)
    weighting = weights_argument(weights, weight_type)
    convention = covariance_spec(vcov, cluster, information, robust, weighting)
    cluster = convention.cluster_names
    groupings = list(dict.fromkeys(grouping for grouping, _ in inclusion_exclusion(convention, cluster)))

    with reporting(verbose):
        design, model_data = model_rows(formula, data, cluster, npartitions, persist, verbose, groupings, weighting)
        fitted = estimate(model_data, max_iter, tol, convention, method)
    return ProbitResults(ProbitModel(design, model_data, cluster, data), fitted)
