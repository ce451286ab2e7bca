"""Probit models from formulas and DataFrames, fitted on every core.

    import kestrum_frames as kf
    res = kf.fit_probit("inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6", data)
    res.params, res.bse, res.cov_params(), print(res.summary())
    kf.ame(res)

The estimator is kestrum's own (the same maximiser, covariances and
marginal effects); the rows are visited in partitions that Dask's scheduler
runs in parallel.
"""

from __future__ import annotations

from . import arguments
from .design import Design
from .estimation import estimate
from .frames import Columns
from .margins import ame
from .model_data import build_model_data
from .results import ProbitModel, ProbitResults

__all__ = ["fit_probit", "ame", "ProbitResults"]


def fit_probit(
    formula: str,
    data,
    robust: bool = False,
    cluster=None,
    max_iter: int = 35,
    tol: float = 1e-6,
    npartitions: int | None = None,
) -> ProbitResults:
    """Fit a probit model by maximum likelihood.

    formula: "outcome ~ terms" in formulaic's syntax; the outcome is a 0/1
        column, C(x) expands a categorical term, I(...) evaluates an expression.
    data: a pandas or polars DataFrame. Rows with a missing value in any
        column the model uses (outcome, regressors, cluster) are dropped.
    robust: True for the heteroskedasticity-robust (HC0) covariance.
    cluster: a column name or a list of them: the cluster-robust covariance,
        a cluster being a distinct combination of their values.
    max_iter, tol: as kestrum.fit_probit.
    npartitions: how many row partitions the passes are split into (None:
        one per 262144 rows); the same partitioning gives the same bits on
        any number of threads.
    """
    robust = arguments.boolean(robust, "robust")
    cluster = arguments.column_names(cluster, "cluster")
    max_iter = arguments.integer(max_iter, "max_iter", 0)
    tol = arguments.real(tol, "tol")
    npartitions = arguments.integer(npartitions, "npartitions", 1, optional=True)

    columns = Columns(data)
    design = Design.from_formula(formula, columns)
    model_data = build_model_data(design, columns, cluster, npartitions)
    fitted = estimate(model_data, max_iter, tol, robust)
    return ProbitResults(ProbitModel(design, model_data, cluster), fitted)
