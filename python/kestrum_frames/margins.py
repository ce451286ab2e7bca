"""Average marginal effects of variables, and average predictions.

``ame`` reports one row per variable of the data (per level of a
categorical one): the average over the model's rows of the effect of that
variable through every regressor made from it, with delta-method standard
errors from the analytic Jacobian of the average (effects.py). The rows are
those of the fit, visited in the fit's partitions (a Dask frame's own);
each partition's sums are added in partition order, so the numbers depend
on the partitioning alone. A weighted fit's effects are weighted averages,
sum w_i e_i / sum w_i, over the rows and with the weights of the fit.

The per-column table (every column of X read as a regressor of its own,
the core's sums) remains: ``columnwise=True``, and for results fitted on
arrays, which keep no variables.
"""

from __future__ import annotations

import itertools
import warnings
from dataclasses import dataclass
from functools import partial

import dask
import numpy as np
import pandas as pd

from . import _native, arguments
from .counterfactual import FormulaicRows, PatsyRows, PlainRows, RowBuilder
from .dask_data import _partitions as frame_partitions
from .dask_data import is_dask_frame
from .effects import Effect, add_group_sums, choose_effects, partition_sums, plan_effects
from .frames import Columns
from .model_data import array_model_data, default_npartitions, partition_bounds, rows_to_keep
from .progress import compute, in_threads
from .results import ProbitResults
from .fixed_effects_margins import fixed_effects_ame
from .fixed_effects_results import FixedEffectsResults
from .weights import Weighting

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance", "[0.025", "0.975]"]
PREDICTION_COLUMNS = ["Prediction", "Std. Err", "z", "Pr(>|z|)", "[0.025", "0.975]"]


def effects_table(estimates: np.ndarray, stats: dict, index: pd.Index) -> pd.DataFrame:
    """The ame table from the estimates and their se, z, p and 95 % interval (_native.delta_method)."""
    return pd.DataFrame({
        "dy/dx": estimates, "Std. Err": stats["se"], "z": stats["z"], "Pr(>|z|)": stats["p"],
        "Significance": _native.significance_labels(stats["p"]), "[0.025": stats["low"], "0.975]": stats["high"],
    }, index=index)[COLUMNS]


# The fitted model, as the effects read it


@dataclass
class Rows:
    """The rows of a fitted model as frames of its variables, one per
    partition, and how to rebuild their regressors."""

    builder: RowBuilder
    used: list[str]  # the columns whose missing values dropped a row from the fit
    nobs: int
    frame: object  # pandas, polars or Dask DataFrame
    npartitions: int | None  # in-memory frames: the fit's partitions
    keep_rows: object = None  # index labels of the rows used (statsmodels), instead of `used`
    model_data: object = None  # the fit's partitions (kestrum_frames results)
    weighting: Weighting | None = None  # the fit's weights column and kind

    def map(self, function, columns: list[str], *args, matrix: bool = False) -> list:
        """function(rows, *args, weights=w) for every partition's kept rows
        (a pandas frame of `columns`; w their weights, None unweighted), in
        partition order. Plain terms are read from
        the fit's own partitions (kept in memory, or rebuilt as in a pass
        of the fit); other formulas from the frame. matrix: also pass the
        fit's X of the partition as X= where it is in memory here."""
        plain = isinstance(self.builder, PlainRows)
        function = _Call(function, args)
        if plain and self.model_data is not None and set(columns) <= set(self.builder.sources):
            return self.model_data.map(_plain_task, self.builder.sources, columns, matrix, function)
        task = dask.delayed(_partition_task, pure=False)
        if is_dask_frame(self.frame):
            weights = [self.weighting.column] if self.weighting is not None else []
            needed = list(dict.fromkeys([*self.used, *weights, *columns]))
            parts = frame_partitions(self.frame, needed)
            return compute([task(part, (self.used, self.weighting), columns, p, function)
                            for p, part in enumerate(parts)], False)
        frame, weights = self._kept(columns)
        bounds = partition_bounds(len(frame), self.npartitions or default_npartitions(len(frame)))

        def given(a, b):
            return {"weights": None if weights is None else weights[a:b]}

        fitted = getattr(self.model_data, "partitions", None) if matrix else None
        if fitted is not None and len(fitted) == len(bounds):
            return in_threads([partial(_partition_task, frame.iloc[a:b], None, columns, p, function, X=part.X,
                                       **given(a, b))
                               for p, ((a, b), part) in enumerate(zip(bounds, fitted))])
        return in_threads([partial(_partition_task, frame.iloc[a:b], None, columns, p, function, **given(a, b))
                           for p, (a, b) in enumerate(bounds)])

    def _kept(self, columns: list[str]) -> tuple[pd.DataFrame, np.ndarray | None]:
        """The rows the fit used, and their weights (None: unweighted)."""
        data = Columns(self.frame)
        data.require(columns)
        frame = data.frame(list(dict.fromkeys(columns)))
        weights = None
        if self.keep_rows is not None:
            frame = frame[frame.index.isin(self.keep_rows)]
        else:
            keep, weights = rows_to_keep(data, self.used, self.weighting)
            frame = frame if keep is None else frame[keep]
        if len(frame) != self.nobs:
            raise ValueError(
                f"the data hold {len(frame)} rows without a missing value where the fit used {self.nobs}: "
                "was the DataFrame changed after the fit?"
            )
        return frame, weights


class _Call:
    """function(rows, *args, **given): the arguments of every partition's
    task in one object, which Dask passes on as it is instead of looking
    through them (the effects and the builder) for collections, task by task."""

    def __init__(self, function, args: tuple):
        self.function, self.args = function, args

    def __call__(self, rows, **given):
        return self.function(rows, *self.args, **given)


def _plain_task(partition, sources, columns, matrix, function):
    """function over the variables of a partition whose X holds them as its columns."""
    at = {name: j for j, name in enumerate(sources) if name is not None}
    values = {name: partition.X.column(at[name]) for name in columns}
    given = {"X": partition.X} if matrix else {}
    return function(pd.DataFrame(values), weights=partition.weights, **given)


def _partition_task(part, kept_by, columns, number, function, **given):
    if kept_by is not None:  # a Dask partition: its rows as the fit kept them (used columns, weights)
        used, weighting = kept_by
        data = Columns(part, f"partition {number} of data")
        keep, given["weights"] = rows_to_keep(data, used, weighting)
        part = part if keep is None else part[keep]
        part = part[list(dict.fromkeys(columns))]
    return function(part, **given)


@dataclass
class Fitted:
    params: np.ndarray
    cov: np.ndarray
    names: list[str]
    converged: bool
    rows: Rows | None  # None: fitted on arrays, no variables known
    exog: np.ndarray | None = None
    dropped: np.ndarray | None = None  # columns dropped as dependent on the others


def _dtypes(frame) -> dict:
    if is_dask_frame(frame):
        return dict(frame.dtypes)
    data = Columns(frame)
    return {name: data.series(name).dtype for name in data.names}


def _fitted_model(result, function: str) -> Fitted:
    if isinstance(result, ProbitResults):
        model = result.model
        design, frame = model.design, model.frame
        params, cov = result.index_coefficients()  # dropped dependent columns at 0
        rows = None
        if frame is not None:
            dtypes = _dtypes(frame)
            builder = (PlainRows(design.sources, dtypes) if design.sources is not None
                       else FormulaicRows(design.model_spec, dtypes))
            used = list(dict.fromkeys([design.outcome, *design.variables, *model.cluster]))
            npartitions = None if model.data.lazy_frame is not None else model.data.npartitions
            rows = Rows(builder, used, model.data.nobs, frame, npartitions, model_data=model.data,
                        weighting=model.data.weighting)
        return Fitted(params, cov, list(model.data.names), bool(result.converged), rows,
                      dropped=result.params.isna().to_numpy())
    model = getattr(result, "model", None)
    if model is None or not all(hasattr(result, a) for a in ("params", "cov_params")):
        raise TypeError(
            f"result must be a kestrum_frames result, or a fitted probit with params, cov_params(), "
            f"model.exog and model.exog_names (a statsmodels Probit result); got {type(result).__qualname__}"
        )
    _native.check_probit_model(model, function, "result")
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
    converged = bool(getattr(result, "mle_retvals", {}).get("converged", True))
    return Fitted(params, cov, names, converged, _statsmodels_rows(model, exog.shape[0]), exog)


def _statsmodels_rows(model, nobs: int) -> Rows | None:
    """The rows of a statsmodels model fitted by formula, rebuilt by the
    formula's own machinery; None for one fitted on arrays."""
    data = getattr(model, "data", None)
    model_spec = getattr(data, "model_spec", None) or getattr(data, "design_info", None)
    frame = getattr(data, "frame", None)
    if model_spec is None or not isinstance(frame, pd.DataFrame) or getattr(model, "formula", None) is None:
        return None
    dtypes = _dtypes(frame)
    if hasattr(model_spec, "term_slices") and hasattr(model_spec, "factor_infos"):  # patsy
        builder = PatsyRows(model_spec, dtypes)
    else:
        builder = FormulaicRows(model_spec, dtypes)
    return Rows(builder, [], nobs, frame, 1, keep_rows=data.row_labels)


# The statistics and the tables


def _warn_if_unreliable(fitted: Fitted, function: str) -> None:
    if not fitted.converged:
        warnings.warn(f"{function}: the fit did not converge, so its effects and standard errors are not those "
                      "of a maximum", RuntimeWarning, stacklevel=3)
    elif np.isnan(fitted.cov).any():
        warnings.warn(f"{function}: the fit's covariance holds NaN (a singular Hessian), so some standard errors "
                      "are NaN", RuntimeWarning, stacklevel=3)


def _statistics(estimates: np.ndarray, jacobians: np.ndarray, cov: np.ndarray) -> dict:
    """Delta method: Var = J V J'; se, z, two-sided p and the 95 % interval."""
    return {"estimate": estimates, **_native.delta_method(estimates, jacobians=jacobians, cov=cov)}


def _survey(rows: pd.DataFrame, names: list[str], weights: np.ndarray | None = None) -> dict:
    """Per numeric variable: rows and the sum of its values (weighted: sum w_i and sum w_i v_i)."""
    if weights is None:
        return {name: (len(rows), float(rows[name].to_numpy(dtype=np.float64).sum())) for name in names}
    return {name: (float(weights.sum()), float(weights @ rows[name].to_numpy(dtype=np.float64))) for name in names}


def _means(fitted: Fitted) -> dict:
    """The (weighted) mean of every numeric variable over the fit's rows (one pass)."""
    numeric = [v.name for v in fitted.rows.builder.variables if not v.categorical]
    if not numeric:
        return {}
    parts = fitted.rows.map(_survey, numeric, numeric)
    return {name: sum(part[name][1] for part in parts) / sum(part[name][0] for part in parts) for name in numeric}


def _scenarios(at, atmeans: bool, means: dict, builder: RowBuilder) -> tuple[list[str], list[dict]]:
    """The at variables and one dict of values per combination of their values."""
    names, values = [], []
    if at is not None:
        if not isinstance(at, dict) or not at:
            raise TypeError("at must be a dict such as {'age': [30, 40]}: variable -> value or list of values")
        for name, given in at.items():
            builder.variable(name)
            listed = list(given) if isinstance(given, (list, tuple, np.ndarray, pd.Series)) else [given]
            if not listed:
                raise ValueError(f"at[{name!r}] holds no value")
            names.append(name)
            values.append(listed)
    fixed = {} if not atmeans else {name: mean for name, mean in means.items() if name not in names}
    return names, [dict(fixed, **dict(zip(names, combo))) for combo in itertools.product(*values)]


def _grouping(by) -> list[str]:
    return arguments.column_names(by, "by")


def _scale(scale) -> bool:
    if scale not in ("response", "link"):
        raise ValueError(f"scale must be 'response' (the probability) or 'link' (the index x'beta), not {scale!r}")
    return scale == "link"


def _averages(fitted: Fitted, effects: list[Effect], by, at, atmeans, scale, chunk_size, function):
    by = _grouping(by)
    link = _scale(scale)
    builder = fitted.rows.builder
    at_names, scenarios = _scenarios(at, atmeans, _means(fitted) if atmeans else {}, builder)
    if effects is None:
        effects = [Effect("overall", "prediction")]
    columns = [v.name for v in builder.variables] + by
    parts = fitted.rows.map(partition_sums, columns, builder, effects, fitted.params, scenarios, by, link,
                            chunk_size, matrix=True)
    total = add_group_sums(parts)
    if not total.keys or np.any(total.counts == 0):
        raise ValueError(f"{function}: no row of the model has a value in the by columns")
    chosen = choose_effects(effects, total.binary)
    effects = [effects[e] for e in chosen]
    values, gradients = total.values[:, chosen], total.gradients[:, chosen]
    estimates = (values / total.counts).transpose(2, 0, 1).reshape(-1)  # groups, scenarios, effects
    jacobians = (gradients / total.counts[:, None]).transpose(2, 0, 1, 3).reshape(-1, fitted.params.size)
    stats = _statistics(estimates, jacobians, fitted.cov)
    if fitted.dropped is not None and fitted.dropped.any():
        # A variable whose every column was dropped as dependent on the others has no effect of its own.
        unidentified = [e.variable is not None and bool(fitted.dropped[e.variable.columns].all()) for e in effects]
        for statistic in stats.values():
            statistic[np.tile(unidentified, len(estimates) // max(len(effects), 1))] = np.nan
    keys = [(() if key is None else key if len(by) > 1 else (key,)) for key in total.keys]
    index = [(*key, *(scenario[n] for n in at_names), effect.label)
             for key in keys for scenario in scenarios for effect in effects]
    return stats, index, [*by, *at_names]


def ame(result, variables=None, by=None, at=None, atmeans: bool = False, scale: str = "response",
        columnwise: bool = False, chunk_size: int | None = None, bias_correction: bool = False) -> pd.DataFrame:
    """Average marginal effects of the variables of a fitted probit, with
    delta-method standard errors, z, two-sided p, significance stars and
    the 95 % interval.

    One row per variable the regressors are made from: a numeric variable
    gets the average of d Pr(y = 1) / d v through every term that uses it
    (v, I(v**2), v:w, np.log(v), ...); one holding only 0 and 1 the average
    change from 0 to 1; a categorical one (C(v), text, categorical, bool) a
    row "v[level]" per level but the formula's reference level, the average
    of Pr(y = 1 | v = level) - Pr(y = 1 | v = base) with every row set to
    each. The intercept never appears.

    result: a ``kestrum_frames.fit_probit`` result, or a statsmodels Probit
        result (by formula: its rows are rebuilt by its own formula; on
        arrays: the per-column table).
    variables: a variable name or a list of them (None: all).
    by: a column or list of columns: the effects within each group of rows
        (indexed by group value, then term).
    at: {variable: value or list of values}: the effects with the variable
        set to each value for every row (indexed by value, then term).
    atmeans: True sets every numeric variable not in `at` to its mean over
        the rows (categorical ones stay as observed).
    scale: "response" (probabilities) or "link" (the index x'beta).
    columnwise: True for the per-column table: each column of X taken as a
        regressor of its own (a 0/1 column switched from 0 to 1, the others
        differentiated), as ``kestrum.ame`` reports it.
    chunk_size: rows per block within a partition (None: whole partitions);
        smaller blocks bound the temporary memory and change only the last bits.
    bias_correction: for a fit with fixed effects ("y ~ x | firm"), True
        corrects the effects' incidental-parameter bias (see
        kestrum_frames.fixed_effects_margins, which also defines the
        effects and standard errors of such fits: numeric regressors only,
        no by, at, atmeans or scale).
    """
    bias_correction = arguments.boolean(bias_correction, "bias_correction")
    if isinstance(result, FixedEffectsResults):
        if by is not None or at is not None or atmeans or scale != "response" or columnwise:
            raise ValueError("ame of a fit with fixed effects takes variables and bias_correction only "
                             "(no by, at, atmeans, scale or columnwise)")
        return fixed_effects_ame(result, arguments.column_names(variables, "variables") or None, bias_correction)
    if bias_correction:
        raise ValueError("bias_correction is for fits with fixed effects ('y ~ x | firm'), which this is not")
    chunk_size = arguments.integer(chunk_size, "chunk_size", 1, optional=True)
    columnwise = arguments.boolean(columnwise, "columnwise")
    atmeans = arguments.boolean(atmeans, "atmeans")
    fitted = _fitted_model(result, "ame")
    _warn_if_unreliable(fitted, "ame")
    if columnwise or fitted.rows is None:
        if variables is not None or by is not None or at is not None or atmeans or scale != "response":
            reason = ("columnwise=True" if columnwise else
                      "a result fitted on arrays (it keeps no variables, only the columns of X)")
            raise ValueError(f"variables, by, at, atmeans and scale need the model's variables, which {reason} "
                             "does not give: leave them out, or fit by formula")
        if isinstance(result, ProbitResults) and result.model.data.weighting is not None:
            raise ValueError("columnwise=True is not available for a weighted fit (its per-column sums count each "
                             "row once): leave columnwise out for the weighted effects of the variables")
        return _columnwise(fitted, result, chunk_size)

    names = None if variables is None else arguments.column_names(variables, "variables")
    builder = fitted.rows.builder
    if names is not None:
        for name in names:
            builder.variable(name)
    stats, index, levels = _averages(fitted, plan_effects(builder, names), by, at, atmeans, scale, chunk_size, "ame")
    if levels:
        rows = pd.MultiIndex.from_tuples(index, names=[*levels, "term"])
    else:
        rows = pd.Index([entry[-1] for entry in index], name="term")
    return effects_table(stats["estimate"], stats, rows)


def avg_predictions(result, by=None, at=None, scale: str = "response", chunk_size: int | None = None) -> pd.DataFrame:
    """The average predicted probability (or index, scale="link") over the
    model's rows, with its delta-method standard error, z, p and the 95 %
    interval: overall, within each group of `by`, at the values of `at`
    ({variable: value or list}, every row set to each), or both."""
    chunk_size = arguments.integer(chunk_size, "chunk_size", 1, optional=True)
    if isinstance(result, FixedEffectsResults):
        raise NotImplementedError("avg_predictions is not available for a fit with fixed effects yet")
    fitted = _fitted_model(result, "avg_predictions")
    _warn_if_unreliable(fitted, "avg_predictions")
    if fitted.rows is None:
        raise ValueError("avg_predictions needs the model's variables, which a result fitted on arrays does not "
                         "keep: fit by formula")
    stats, index, levels = _averages(fitted, None, by, at, False, scale, chunk_size, "avg_predictions")
    table = pd.DataFrame({
        "Prediction": stats["estimate"], "Std. Err": stats["se"], "z": stats["z"], "Pr(>|z|)": stats["p"],
        "[0.025": stats["low"], "0.975]": stats["high"],
    })
    if not levels:
        table.index = pd.Index(["overall"])
    elif len(levels) == 1:
        table.index = pd.Index([entry[0] for entry in index], name=levels[0])
    else:
        table.index = pd.MultiIndex.from_tuples([entry[:-1] for entry in index], names=levels)
    return table[PREDICTION_COLUMNS]


def _effect_sums(partition, params, excluded, block_rows):
    return _native.effect_sums(partition.X.source, params, excluded, block_rows)


def _columnwise(fitted: Fitted, result, chunk_size) -> pd.DataFrame:
    """The per-column table from the core's sums over the fit's partitions."""
    data = result.model.data if isinstance(result, ProbitResults) else array_model_data(fitted.exog, fitted.names,
                                                                                         None)
    excluded = _native.constant_names(data.names)
    block_rows = chunk_size if chunk_size is not None else max(data.nobs, 1)
    parts = data.map(_effect_sums, fitted.params, excluded, block_rows)
    effects = _native.finish_effects(parts, fitted.cov)
    if isinstance(result, ProbitResults):  # a dropped dependent column has no effect of its own
        for statistic in ("effect", "std_error", "z", "p"):
            effects[statistic][result.params.isna().to_numpy()] = np.nan
    kept = [j for j, out in enumerate(excluded) if not out]
    estimate, se = effects["effect"][kept], effects["std_error"][kept]
    low, high = _native.normal_interval(estimate, se)
    stats = {"se": se, "z": effects["z"][kept], "p": effects["p"][kept], "low": low, "high": high}
    return effects_table(estimate, stats, pd.Index([data.names[j] for j in kept], name="term"))
