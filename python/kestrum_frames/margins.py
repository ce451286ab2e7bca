"""Average marginal effects over partitions.

Each partition gives the core's additive AME sums with the 0/1 status of
every column (one pass over its rows); the native finishing step adds them
in partition order and applies the delta method. The table is the one
``kestrum.ame`` returns.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import _native, arguments
from .model_data import ModelData, array_model_data
from .results import ProbitResults

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]


def _effect_sums(partition, params, excluded, block_rows):
    return _native.effect_sums(partition.X, params, excluded, block_rows)


def significance(p: float) -> str:
    """'***' below 0.01, '**' below 0.05, '*' below 0.1 (as kestrum.ame)."""
    return "***" if p < 0.01 else "**" if p < 0.05 else "*" if p < 0.1 else ""


def is_constant_name(name: str) -> bool:
    """A constant term is known by its name alone, as in kestrum.ame."""
    return name.lower() in ("const", "intercept")


def _fitted_model(result) -> tuple[ModelData, np.ndarray, np.ndarray]:
    """The rows, coefficients and covariance of a fitted model."""
    if isinstance(result, ProbitResults):
        if result.model.data.weighting is not None:
            raise NotImplementedError(
                "ame of a weighted fit is not available yet: its effects must be weighted averages; refit without "
                "weights (frequency weights: on the repeated rows) for the unweighted effects"
            )
        return result.model.data, result.params.to_numpy(), result.cov_params().to_numpy()
    model = getattr(result, "model", None)
    if model is None or not all(hasattr(result, a) for a in ("params", "cov_params")):
        raise TypeError(
            "result must be a kestrum_frames result, or a fitted probit with params, cov_params(), "
            f"model.exog and model.exog_names (a statsmodels Probit result); got {type(result).__qualname__}"
        )
    kind = type(model).__name__
    if type(model).__module__.startswith("statsmodels") and kind != "Probit":
        raise TypeError(f"result must be a probit fit; this statsmodels result is of a {kind} model")
    params = np.asarray(result.params, dtype=np.float64)
    cov = np.asarray(result.cov_params(), dtype=np.float64)
    exog = np.asarray(model.exog, dtype=np.float64)
    names = [str(name) for name in model.exog_names]
    k = params.shape[0] if params.ndim == 1 else -1
    if exog.ndim != 2 or exog.shape[1] != k or cov.shape != (k, k) or len(names) != k:
        raise ValueError(
            f"result.params has shape {params.shape}, result.cov_params() {cov.shape}, "
            f"result.model.exog {exog.shape} and result.model.exog_names {len(names)} names: "
            "they must describe the same k regressors"
        )
    return array_model_data(exog, names, None), params, cov


def ame(result, chunk_size: int | None = None) -> pd.DataFrame:
    """Average marginal effects of a fitted probit, with delta-method standard
    errors, z statistics and two-sided p-values, indexed by term; the
    intercept (a term named Intercept or const) is left out. A 0/1 column
    gets the discrete change from 0 to 1, any other the average derivative.

    result: a ``kestrum_frames.fit_probit`` result or a statsmodels Probit
    result (fitted on arrays, pandas objects or by formula).
    chunk_size: rows per block within a partition (None: whole partitions);
    smaller blocks bound the temporary memory and change only the last bits.
    """
    chunk_size = arguments.integer(chunk_size, "chunk_size", 1, optional=True)
    data, params, cov = _fitted_model(result)
    excluded = [is_constant_name(name) for name in data.names]
    block_rows = chunk_size if chunk_size is not None else max(data.nobs, 1)
    parts = data.map(_effect_sums, params, excluded, block_rows)
    effects = _native.finish_effects(parts, cov)

    kept = [j for j, out in enumerate(excluded) if not out]
    table = pd.DataFrame(
        {
            "dy/dx": effects["effect"][kept],
            "Std. Err": effects["std_error"][kept],
            "z": effects["z"][kept],
            "Pr(>|z|)": effects["p"][kept],
            "Significance": [significance(p) for p in effects["p"][kept]],
        },
        index=[data.names[j] for j in kept],
    )
    return table[COLUMNS]
