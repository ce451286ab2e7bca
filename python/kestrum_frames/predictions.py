"""Fitted probabilities with delta-method standard errors and intervals, per row.

With xb = x'b and s = sqrt(x'V x) its standard error (V the covariance of
b), the probability Phi(xb) has the standard error phi(xb) s. The interval
maps the linear index's interval through Phi, [Phi(xb - z s), Phi(xb + z s)]
(z the normal quantile), so it stays within [0, 1]; statsmodels' probit
gives the same. The native pass computes xb, s, Phi(xb) and phi(xb) s
together, partition by partition.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from scipy import special

from . import _native
from .dask_data import is_dask_frame
from .frames import Columns

# The per-row quantities the native pass returns, under the names of the frame.
_NATIVE_NAMES = {"probability": "mean", "probability_se": "mean_se", "index": "linpred", "index_se": "linpred_se"}
_META = pd.DataFrame({name: pd.Series([], dtype=np.float64) for name in _NATIVE_NAMES.values()})


def _row_predictions(X, params, cov) -> dict:
    return _native.row_predictions(np.asarray(X, dtype=np.float64), params, cov)


def _partition_predictions(partition, params, cov) -> dict:
    return _row_predictions(partition.X.block(), params, cov)


def _frame(arrays: dict, index=None) -> pd.DataFrame:
    return pd.DataFrame({name: arrays[key] for key, name in _NATIVE_NAMES.items()}, index=index)


def _summary(frame: pd.DataFrame, alpha: float) -> pd.DataFrame:
    low, high = _native.normal_interval(frame["linpred"].to_numpy(dtype=float),
                                        frame["linpred_se"].to_numpy(dtype=float), alpha)
    return pd.DataFrame(
        {
            "mean": frame["mean"],
            "mean_se": frame["mean_se"],
            "mean_ci_lower": special.ndtr(low),
            "mean_ci_upper": special.ndtr(high),
        },
        index=frame.index,
    )


class PredictionResults:
    """The predictions of ``get_prediction``: a pandas frame of them, or a
    lazy Dask frame when the rows are a Dask DataFrame's."""

    def __init__(self, frame):
        self._frame = frame  # columns mean, mean_se, linpred, linpred_se

    @property
    def predicted(self):
        """Phi(x'b) per row (statsmodels' predicted_mean)."""
        return self._frame["mean"]

    predicted_mean = predicted

    @property
    def se(self):
        """phi(x'b) sqrt(x'V x) per row (statsmodels' se_mean)."""
        return self._frame["mean_se"]

    se_mean = se

    @property
    def linpred(self):
        """x'b per row and its standard error sqrt(x'V x), as a frame."""
        return self._frame[["linpred", "linpred_se"]]

    def summary_frame(self, alpha: float = 0.05):
        """mean, mean_se, mean_ci_lower, mean_ci_upper per row: intervals of
        level 1 - alpha (lazy for Dask rows)."""
        alpha = float(alpha)
        if not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must be in (0, 1); got {alpha}")
        if is_dask_frame(self._frame):
            meta = _summary(_META, alpha)
            return self._frame.map_partitions(_summary, alpha, meta=meta)
        return _summary(self._frame, alpha)

    def conf_int(self, alpha: float = 0.05):
        """The intervals as an n x 2 array (lazy frame for Dask rows)."""
        bounds = self.summary_frame(alpha)[["mean_ci_lower", "mean_ci_upper"]]
        return bounds if is_dask_frame(bounds) else bounds.to_numpy()

    def __len__(self) -> int:
        return len(self._frame)


def _new_rows_frame(newdata, design, params, cov) -> pd.DataFrame:
    X, missing = design.new_rows(Columns(newdata, "newdata"))
    frame = _frame(_row_predictions(X, params, cov), newdata.index if isinstance(newdata, pd.DataFrame) else None)
    if missing is not None:
        frame.loc[np.asarray(missing), :] = np.nan
    return frame


def get_prediction(result, newdata=None) -> PredictionResults:
    """Fitted probabilities with standard errors and intervals: of the rows
    used in the fit when newdata is None (every row of the frame, lazily, for
    a fit on a Dask frame), else of each row of newdata (a pandas, polars or
    Dask frame), NaN where a value the regressors need is missing."""
    params, cov = result.index_coefficients()
    data = result.model.data
    if newdata is None:
        if is_dask_frame(getattr(data, "frame", None)):
            return get_prediction(result, data.frame)
        return PredictionResults(pd.concat([_frame(part) for part in data.map(_partition_predictions, params, cov)],
                                           ignore_index=True))
    design = result.model.design
    if is_dask_frame(newdata):
        return PredictionResults(newdata.map_partitions(_new_rows_frame, design, params, cov, meta=_META))
    return PredictionResults(_new_rows_frame(newdata, design, params, cov))
