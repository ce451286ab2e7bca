"""kestrum_frames.fit_probit for a formula with fixed effects after '|'."""

from __future__ import annotations

import warnings

from . import arguments
from .dask_data import is_dask_frame
from .fixed_effects import maximize, panel_data, split_formula, vcov_choice
from .fixed_effects_results import FixedEffectsModel, FixedEffectsResults
from .frames import Columns

__all__ = ["fit_fixed_effects", "split_formula"]


def separated_message(data) -> str:
    counts = ", ".join(f"{count} of {name}" for name, count in data.separated_levels.items() if count)
    return (
        f"fixed effects: {counts} levels have an outcome that never varies (perfectly classified: their "
        f"coefficient is infinite); their {data.separated_rows} rows are dropped, and say nothing about beta"
    )


def fit_fixed_effects(split, data, vcov, cluster, robust, max_iter, tol, demean_tol) -> FixedEffectsResults:
    formula, fixed_effects = split
    robust = arguments.boolean(robust, "robust")
    max_iter = arguments.integer(max_iter, "max_iter", 0)
    tol = arguments.real(tol, "tol")
    demean_tol = arguments.real(demean_tol, "demean_tol")
    if not 0.0 < demean_tol < 1.0:
        raise ValueError(f"demean_tol must be between 0 and 1, not {demean_tol!r}")
    vcov, cluster = vcov_choice(vcov, cluster, robust, fixed_effects)
    dask = is_dask_frame(data)
    if dask:
        from .fixed_effects_dask import dask_results
        from .fixed_effects_dask_data import dask_panel

        design, panel = dask_panel(formula, data, fixed_effects, cluster)
    else:
        design, panel = panel_data(formula, Columns(data), fixed_effects, cluster)
    if panel.separated_rows:
        warnings.warn(separated_message(panel), RuntimeWarning, stacklevel=3)
    if vcov.startswith("CR") and panel.clusters < 2:
        raise ValueError(f"cluster {cluster!r} has a single level among the rows used: a cluster-robust "
                         "covariance needs at least two; choose vcov='HC1' or another cluster")
    if dask:
        results = dask_results(design, panel, data, fixed_effects, vcov, cluster, max_iter, tol, demean_tol)
    else:
        fit = maximize(panel, max_iter, tol, demean_tol)
        model = FixedEffectsModel(design, panel, fixed_effects, cluster, data)
        results = FixedEffectsResults(model, fit, vcov)
    results._tol, results._demean_tol = tol, demean_tol
    return results
