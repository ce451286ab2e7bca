"""Pictures of fits with matplotlib (imported only when a plot is drawn).

Each function draws on ``ax`` (a new figure's when None) and returns the
Axes: estimates as points or lines, their 1 - alpha intervals as bars or
bands. An interval is the table's own "[0.025" / "0.975]" columns when
alpha is 0.05 and the table has them, else estimate -/+ z SE.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import _native, arguments
from .tables import merged_order

GRID_POINTS = 25  # points of a condition's default grid


def _axes(ax):
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("kestrum_frames' plots need matplotlib: pip install matplotlib") from None
    return plt.subplots(layout="constrained")[1]


def _alpha(alpha) -> float:
    alpha = arguments.real(alpha, "alpha")
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must be in (0, 1); got {alpha}")
    return alpha


def _interval(table: pd.DataFrame, estimate: str, alpha: float) -> tuple[np.ndarray, np.ndarray]:
    for column in (estimate, "Std. Err"):
        if column not in table.columns:
            raise ValueError(f"the table has no {column!r} column; its columns are {list(table.columns)}")
    if alpha == 0.05 and {"[0.025", "0.975]"} <= set(table.columns):
        return table["[0.025"].to_numpy(dtype=float), table["0.975]"].to_numpy(dtype=float)
    return _native.normal_interval(table[estimate].to_numpy(dtype=float), table["Std. Err"].to_numpy(dtype=float), alpha)


def _group_label(key) -> str:
    return ", ".join(map(str, key)) if isinstance(key, tuple) else str(key)


def plot_ame(table, by=None, alpha: float = 0.05, ax=None):
    """Average marginal effects as points with interval bars, one row per
    term. table: an ``ame`` table, or a fit result (its ``ame(result, by=by)``
    is drawn). A table with a MultiIndex (from by= or at=) draws one series
    per value of its levels other than "term" (or of the levels named by
    by), side by side on each term's row, with a legend."""
    alpha = _alpha(alpha)
    if not isinstance(table, pd.DataFrame):
        from .margins import ame

        table = ame(table) if by is None else ame(table, by=by)
    ax = _axes(ax)
    low, high = _interval(table, "dy/dx", alpha)
    table = table.assign(_low=low, _high=high)

    index = table.index
    if isinstance(index, pd.MultiIndex):
        term_level = "term" if "term" in index.names else index.nlevels - 1
        levels = [name for name in index.names if name != term_level] if by is None else (
            [by] if isinstance(by, str) else list(by)
        )
        groups = list(table.groupby(level=levels if len(levels) > 1 else levels[0], sort=False))
        term_of = lambda part: part.index.get_level_values(term_level)  # noqa: E731
        terms = merged_order([list(term_of(part)) for _, part in groups])
    else:
        terms, groups, levels = list(index), [(None, table)], []
        term_of = lambda part: part.index  # noqa: E731

    row = {term: len(terms) - 1 - r for r, term in enumerate(terms)}  # first term at the top
    width = 0.6
    for g, (key, part) in enumerate(groups):
        offset = 0.0 if len(groups) == 1 else width * (0.5 - g / (len(groups) - 1))  # first group on top
        y = np.array([row[term] for term in term_of(part)], dtype=float) + offset
        effect = part["dy/dx"].to_numpy(dtype=float)
        errors = [effect - part["_low"].to_numpy(), part["_high"].to_numpy() - effect]
        label = None if key is None else _group_label(key)
        ax.errorbar(effect, y, xerr=errors, fmt="o", capsize=3, label=label)
    ax.axvline(0.0, color="0.6", linewidth=0.8, zorder=0)
    ax.set_yticks([row[term] for term in terms], [str(term) for term in terms])
    ax.set_xlabel(f"average marginal effect, {1 - alpha:.0%} interval")
    if levels:
        ax.legend(title=", ".join(map(str, levels)))
    return ax


def _condition_grid(result, condition: str, points: int) -> np.ndarray:
    """Evenly spaced values from the smallest to the largest of a regressor
    over the rows used in the fit (one pass)."""
    names = list(result.model.exog_names)
    if condition not in names:
        raise ValueError(
            f"condition {condition!r} is not a term of the model ({names}): give its values with grid="
        )
    j = names.index(condition)
    ranges = result.model.data.map(_column_range, j)
    low, high = min(r[0] for r in ranges), max(r[1] for r in ranges)
    return np.linspace(low, high, points)


def _column_range(partition, j: int) -> tuple[float, float]:
    column = partition.X.column(j)
    return float(column.min()), float(column.max())


def _lines_along(ax, table: pd.DataFrame, estimate: str, condition: str, groups_of, alpha: float, label_title):
    """One line with a band per group of rows, along the condition."""
    low, high = _interval(table, estimate, alpha)
    table = table.assign(_low=low, _high=high)
    others = [name for name in table.index.names if name != condition] if groups_of is None else groups_of
    parts = [(None, table)] if not others else list(
        table.groupby(level=others if len(others) > 1 else others[0], sort=False)
    )
    for key, part in parts:
        x = part.index.get_level_values(condition).to_numpy(dtype=float)
        order = np.argsort(x, kind="stable")
        (line,) = ax.plot(x[order], part[estimate].to_numpy(dtype=float)[order], marker=".",
                          label=None if key is None else _group_label(key))
        ax.fill_between(x[order], part["_low"].to_numpy()[order], part["_high"].to_numpy()[order],
                        color=line.get_color(), alpha=0.2, linewidth=0)
    ax.set_xlabel(condition)
    if others:
        ax.legend(title=label_title if label_title is not None else ", ".join(map(str, others)))
    return ax


def plot_predictions(result, condition: str, by=None, grid=None, alpha: float = 0.05, ax=None):
    """The average predicted probability along a variable, with its interval
    band: ``avg_predictions(result, at={condition: grid}, by=by)``, one line
    per by group. grid: the condition's values (default: GRID_POINTS values
    over the range of the regressor of that name in the fit)."""
    from . import margins

    alpha = _alpha(alpha)
    grid = _condition_grid(result, condition, GRID_POINTS) if grid is None else np.asarray(grid)
    table = margins.avg_predictions(result, at={condition: grid}, by=by)
    ax = _axes(ax)
    _lines_along(ax, table, "Prediction", condition, None, alpha, None)
    ax.set_ylabel(f"average predicted probability, {1 - alpha:.0%} interval")
    return ax


def plot_slopes(result, variable: str, condition: str, grid=None, alpha: float = 0.05, ax=None):
    """The average marginal effect of a variable along another, with its
    interval band: ``ame(result, variables=[variable], at={condition: grid})``,
    one line per effect of the variable (one per level of a categorical)."""
    from . import margins

    alpha = _alpha(alpha)
    grid = _condition_grid(result, condition, GRID_POINTS) if grid is None else np.asarray(grid)
    table = margins.ame(result, variables=[variable], at={condition: grid})
    term_level = "term" if "term" in table.index.names else table.index.nlevels - 1
    ax = _axes(ax)
    _lines_along(ax, table, "dy/dx", condition, [term_level], alpha, "effect of")
    ax.axhline(0.0, color="0.6", linewidth=0.8, zorder=0)
    ax.set_ylabel(f"average marginal effect of {variable}, {1 - alpha:.0%} interval")
    return ax
