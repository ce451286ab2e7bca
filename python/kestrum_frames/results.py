"""Fitted probit models, named by term as statsmodels names them."""

from __future__ import annotations

import dataclasses

import numpy as np
import pandas as pd
from scipy import special

from . import _native, arguments
from .covariance import clusterings_argument, covariance, covariance_spec, nobs_for_factor
from .dask_data import is_dask_frame
from .design import Design
from .estimation import Estimate
from .frames import Columns
from .adapter import ModelRows
from .results_extras import ResultsExtras


def _probabilities(X: np.ndarray, params: np.ndarray) -> np.ndarray:
    return special.ndtr(X @ params)  # Phi(x'beta)


def _fitted(partition, params):
    return _probabilities(partition.X.block(), params)


_FIT = object()  # with_vcov: the fit's clusters


class ProbitModel:
    """What was fitted: the formula, the term names and the rows used, held
    in partitions."""

    def __init__(self, design: Design, data: ModelRows, cluster: list[str], frame=None):
        self.design = design
        self.data = data
        self.cluster = cluster
        self.frame = frame  # the caller's DataFrame, for the marginal effects' counterfactual rows

    @property
    def formula(self) -> str:
        return self.design.formula

    @property
    def endog_names(self) -> str:
        return self.design.outcome

    @property
    def exog_names(self) -> list[str]:
        return list(self.data.names)

    @property
    def nobs(self) -> int:
        return self.data.nobs


class ProbitResults(ResultsExtras):
    """The estimates of ``kestrum_frames.fit_probit``: Series and DataFrames
    indexed by term, and statistics as statsmodels names them."""

    def __init__(self, model: ProbitModel, estimate: Estimate):
        self.model = model
        names = model.exog_names
        self.params = pd.Series(estimate.params, index=names, name="coef")
        self._cov = pd.DataFrame(estimate.cov, index=names, columns=names)
        self.loglike = estimate.loglike
        self.iterations = estimate.iterations
        self.converged = estimate.converged
        self.cov_type = estimate.cov_type  # the convention in words
        self.vcov = estimate.convention.vcov  # "nonrobust", "HC0", "HC1", "CR0" or "CR1"
        self.passes = estimate.passes  # passes over the rows the fit made
        # "newton" or "bfgs"; Newton's start read a sample of the partitions besides the passes
        self.strategy = estimate.strategy.method
        self._estimate = estimate

    @property
    def iteration_method(self) -> str:
        """How the estimate was reached, in words (the summary's Iteration line)."""
        return self._estimate.strategy.describe(self.model.data.npartitions)

    def with_vcov(self, vcov: str | None = None, cluster=_FIT, information: str | None = None) -> "ProbitResults":
        """The same estimate with another covariance, from one more pass over
        the rows at the estimate (none for nonrobust and HC from the
        observed information); no refit. vcov, cluster and information as
        fit_probit's; left out, each keeps the fit's (a vcov that is not
        cluster-robust leaves the fit's clusters out). cluster may name any
        columns of the data, read at the rows the fit used (one more pass);
        a column without a value in one of those rows is refused with a
        ValueError naming it (refit with that cluster to drop the rows).
        The data must be the fit's, unchanged."""
        fitted = self._estimate.convention
        if cluster is _FIT:
            clusterings = fitted.clusterings if vcov is None or vcov.startswith("CR") else ()
        else:
            clusterings = clusterings_argument(cluster)
        robust = vcov is None and fitted.robust
        if vcov is None and (bool(clusterings) == bool(fitted.clusterings)):
            vcov = fitted.vcov
        information = fitted.information if information is None else information
        data = self.model.data
        convention = covariance_spec(vcov, list(clusterings) or None, information, robust, data.weighting)
        unknown = [name for name in convention.cluster_names if name not in data.cluster_names]
        if unknown:
            data.add_cluster_columns(unknown, self.model.frame)
        before = data.passes
        beta, _ = self.index_coefficients()  # the Hessian and meat hold for any beta of the same index
        result = covariance(data, beta, convention, self._estimate.hessian, self._estimate.meat)
        estimate = dataclasses.replace(
            self._estimate, params=result.params, cov=result.cov, convention=convention, cov_type=result.cov_type, clusters=result.clusters,
            passes=self._estimate.passes + data.passes - before,
        )
        return ProbitResults(self.model, estimate)

    # Counts

    @property
    def nobs(self) -> int:
        """Rows used in the fit; with frequency weights, the sum of the weights
        (the rows of the data with each row repeated)."""
        return int(nobs_for_factor(self.model.data))

    @property
    def n_dropped(self) -> int:
        """Rows of the data left out because a value the model uses is missing
        or the row's weight is 0."""
        return self.model.data.dropped

    @property
    def n_clusters(self) -> int | tuple[int, ...] | None:
        """G of a clustered covariance; per clustering for a multi-way one."""
        clusters = self._estimate.clusters
        return clusters[0] if clusters is not None and len(clusters) == 1 else clusters

    @property
    def df_model(self) -> int:
        """Identified regressors besides the intercept (a column dropped as
        dependent on the others, whose coefficient is NaN, is not counted)."""
        return self._identified - (1 if "Intercept" in self.params.index else 0)

    @property
    def df_resid(self) -> int:
        return self.nobs - self._identified

    def index_coefficients(self) -> tuple[np.ndarray, np.ndarray]:
        """beta and its covariance as the linear index x'beta uses them: a
        column dropped as dependent on the others (NaN) enters at 0 with no
        variance, since the kept coefficients already carry its part."""
        dropped = self.params.isna().to_numpy()
        cov = self._cov.to_numpy(copy=True)
        cov[dropped, :] = 0.0
        cov[:, dropped] = 0.0
        return self.params.fillna(0.0).to_numpy(), cov

    # Inference

    def cov_params(self) -> pd.DataFrame:
        return self._cov.copy()

    def _inference(self, alpha: float = 0.05) -> dict:
        """se, z, two-sided p and the 1 - alpha interval of the coefficients, by
        the rule of kestrum.ame's table (_native.delta_method)."""
        variances = np.diag(self._cov.to_numpy()).copy()
        return _native.delta_method(self.params.to_numpy(dtype=np.float64), variances, alpha=alpha)

    def _series(self, statistic: str, name: str) -> pd.Series:
        return pd.Series(self._inference()[statistic], index=self.params.index, name=name)

    @property
    def bse(self) -> pd.Series:
        return self._series("se", "std err")

    @property
    def zvalues(self) -> pd.Series:
        return self._series("z", "z")

    tvalues = zvalues

    @property
    def pvalues(self) -> pd.Series:
        """Two-sided, from the standard normal."""
        return self._series("p", "P>|z|")

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        """Normal-theory intervals: params -/+ z_(1 - alpha/2) bse."""
        alpha = arguments.real(alpha, "alpha")
        if not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must be between 0 and 1 (0.05 for 95% intervals), not {alpha!r}")
        statistics = self._inference(alpha)
        return pd.DataFrame({0: statistics["low"], 1: statistics["high"]}, index=self.params.index)

    # Likelihoods

    @property
    def llf(self) -> float:
        return self.loglike

    @property
    def llnull(self) -> float:
        """l of the model with an intercept only, in closed form: its fitted
        probability is the share of ones, p, so l0 = n (p ln p + (1 - p) ln(1 - p))."""
        data = self.model.data
        n = data.nobs if data.weight_sum is None else data.weight_sum  # sum w_i: l0 of the weighted likelihood
        p = data.outcome_sum / n
        return float(n * (special.xlogy(p, p) + special.xlogy(1.0 - p, 1.0 - p)))

    @property
    def prsquared(self) -> float:
        """McFadden's pseudo R-squared, 1 - l / l0; NaN when the outcome is
        constant (l0 = 0: nothing is left to explain)."""
        llnull = self.llnull
        return 1.0 - self.loglike / llnull if llnull != 0.0 else float("nan")

    # Predictions

    def predict(self, newdata=None):
        """Fitted probabilities Phi(x'beta): of the rows used in the fit
        (NumPy array) when newdata is None, else of each row of newdata (a
        pandas Series on its index for a pandas frame, an array for polars,
        a lazy Dask Series for a Dask frame), NaN where a value the
        regressors need is missing. A fit on a Dask frame predicts every row
        of that frame, lazily."""
        params, _ = self.index_coefficients()
        if newdata is None:
            if self.model.data.lazy_frame is not None:
                return self.predict(self.model.data.lazy_frame)
            return np.concatenate(self.model.data.map(_fitted, params))
        if is_dask_frame(newdata):
            return newdata.map_partitions(self.predict, meta=pd.Series([], dtype=np.float64, name="predicted"))
        columns = Columns(newdata, "newdata")
        X, missing = self.model.design.new_rows(columns)
        probability = _probabilities(X, params)
        if missing is not None:
            probability[missing] = np.nan
        if isinstance(newdata, pd.DataFrame):
            return pd.Series(probability, index=newdata.index, name="predicted")
        return probability

    def summary(self) -> "Summary":
        return Summary(self)


class Summary:
    """The coefficient table and the facts of the fit, as text."""

    WIDTH = 78

    def __init__(self, results: ProbitResults):
        interval = results.conf_int()
        self.table = pd.DataFrame(
            {
                "coef": results.params,
                "std err": results.bse,
                "z": results.zvalues,
                "P>|z|": results.pvalues,
                "[0.025": interval[0],
                "0.975]": interval[1],
            }
        )
        cov_type = results.vcov
        self.facts = [
            ("Dep. Variable:", results.model.endog_names, "No. Observations:", results.nobs),
            ("Model:", "Probit", "Rows dropped (missing):", results.n_dropped),
            ("Covariance Type:", cov_type, "Df Model:", results.df_model),
            ("Log-Likelihood:", f"{results.loglike:.4f}", "LL-Null:", f"{results.llnull:.4f}"),
            ("Converged:", results.converged, "Pseudo R-squ.:", f"{results.prsquared:.4f}"),
            ("Iterations:", results.iterations, "Passes over the data:", results.passes),
        ]
        self.formula = results.model.formula
        self.covariance = results.cov_type
        self.iteration = results.iteration_method

    def as_text(self) -> str:
        half = self.WIDTH // 2
        lines = ["Probit Regression Results".center(self.WIDTH), "=" * self.WIDTH]
        for left, left_value, right, right_value in self.facts:
            lines.append(f"{left:<18}{str(left_value):>{half - 20}}  {right:<24}{str(right_value):>{half - 24}}")
        lines.append(f"Formula: {self.formula}")
        lines.append(f"Covariance: {self.covariance}")
        lines.append(f"Iteration: {self.iteration}")
        lines.append("=" * self.WIDTH)
        body = self.table.to_string(float_format=lambda v: f"{v:.4f}")
        head, *rows = body.splitlines()
        lines += [head, "-" * self.WIDTH, *rows, "=" * self.WIDTH]
        return "\n".join(lines)

    __str__ = as_text

    def __repr__(self) -> str:
        return self.as_text()
