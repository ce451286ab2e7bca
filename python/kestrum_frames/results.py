"""Fitted probit models, named by term as statsmodels names them."""

from __future__ import annotations

import numpy as np
import pandas as pd
from scipy import special

from .dask_data import is_dask_frame
from .design import Design
from .estimation import Estimate
from .frames import Columns
from .model_data import ModelData, partition_block


def _probabilities(X: np.ndarray, params: np.ndarray) -> np.ndarray:
    return special.ndtr(X @ params)  # Phi(x'beta)


def _fitted(partition, params):
    return _probabilities(partition_block(partition.X), params)


class ProbitModel:
    """What was fitted: the formula, the term names and the rows used, held
    in partitions."""

    def __init__(self, design: Design, data: ModelData, cluster: list[str]):
        self.design = design
        self.data = data
        self.cluster = cluster

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


class ProbitResults:
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
        self.cov_type = estimate.cov_type
        self.passes = estimate.passes  # passes over the rows the fit made

    # Counts

    @property
    def nobs(self) -> int:
        """Rows used in the fit."""
        return self.model.data.nobs

    @property
    def n_dropped(self) -> int:
        """Rows of the data left out because a value the model uses is missing."""
        return self.model.data.dropped

    @property
    def n_clusters(self) -> int | None:
        return self.model.data.clusters

    @property
    def df_model(self) -> int:
        """Regressors besides the intercept."""
        return len(self.params) - (1 if "Intercept" in self.params.index else 0)

    @property
    def df_resid(self) -> int:
        return self.nobs - len(self.params)

    # Inference

    def cov_params(self) -> pd.DataFrame:
        return self._cov.copy()

    @property
    def bse(self) -> pd.Series:
        return pd.Series(np.sqrt(np.diag(self._cov.to_numpy())), index=self.params.index, name="std err")

    @property
    def zvalues(self) -> pd.Series:
        return (self.params / self.bse).rename("z")

    tvalues = zvalues

    @property
    def pvalues(self) -> pd.Series:
        """Two-sided, from the standard normal."""
        return pd.Series(2.0 * special.ndtr(-np.abs(self.zvalues.to_numpy())), index=self.params.index, name="P>|z|")

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        """Normal-theory intervals: params -/+ z_(1 - alpha/2) bse."""
        half = special.ndtri(1.0 - alpha / 2.0) * self.bse
        return pd.DataFrame({0: self.params - half, 1: self.params + half})

    # Likelihoods

    @property
    def llf(self) -> float:
        return self.loglike

    @property
    def llnull(self) -> float:
        """l of the model with an intercept only, in closed form: its fitted
        probability is the share of ones, p, so l0 = n (p ln p + (1 - p) ln(1 - p))."""
        n = self.nobs
        p = self.model.data.outcome_sum / n
        return float(n * (special.xlogy(p, p) + special.xlogy(1.0 - p, 1.0 - p)))

    @property
    def prsquared(self) -> float:
        """McFadden's pseudo R-squared, 1 - l / l0."""
        return 1.0 - self.loglike / self.llnull

    # Predictions

    def predict(self, newdata=None):
        """Fitted probabilities Phi(x'beta): of the rows used in the fit
        (NumPy array) when newdata is None, else of each row of newdata (a
        pandas Series on its index for a pandas frame, an array for polars,
        a lazy Dask Series for a Dask frame), NaN where a value the
        regressors need is missing. A fit on a Dask frame predicts every row
        of that frame, lazily."""
        params = self.params.to_numpy()
        if newdata is None:
            if is_dask_frame(getattr(self.model.data, "frame", None)):
                return self.predict(self.model.data.frame)
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
        cov_type = results.cov_type + (f" ({results.n_clusters} clusters)" if results.cov_type == "cluster" else "")
        self.facts = [
            ("Dep. Variable:", results.model.endog_names, "No. Observations:", results.nobs),
            ("Model:", "Probit", "Rows dropped (missing):", results.n_dropped),
            ("Covariance Type:", cov_type, "Df Model:", results.df_model),
            ("Log-Likelihood:", f"{results.loglike:.4f}", "LL-Null:", f"{results.llnull:.4f}"),
            ("Converged:", results.converged, "Pseudo R-squ.:", f"{results.prsquared:.4f}"),
            ("Iterations:", results.iterations, "Passes over the data:", results.passes),
        ]
        self.formula = results.model.formula

    def as_text(self) -> str:
        half = self.WIDTH // 2
        lines = ["Probit Regression Results".center(self.WIDTH), "=" * self.WIDTH]
        for left, left_value, right, right_value in self.facts:
            lines.append(f"{left:<18}{str(left_value):>{half - 20}}  {right:<24}{str(right_value):>{half - 24}}")
        lines.append(f"Formula: {self.formula}")
        lines.append("=" * self.WIDTH)
        body = self.table.to_string(float_format=lambda v: f"{v:.4f}")
        head, *rows = body.splitlines()
        lines += [head, "-" * self.WIDTH, *rows, "=" * self.WIDTH]
        return "\n".join(lines)

    __str__ = as_text

    def __repr__(self) -> str:
        return self.as_text()
