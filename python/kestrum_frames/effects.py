"""Average effects of variables and average predictions, with the Jacobian
of each average with respect to beta, summed over the rows of a partition.

With x_i the row's regressors, z_i = x_i'beta, F the response (Phi for
scale="response", the identity for scale="link") and f = F' (phi, or 1):
- slope of a numeric v, d_i = d x_i / d v:
      value  f(z_i) (d_i'beta)
      d/dbeta  f(z_i) d_i + f'(z_i) (d_i'beta) x_i          (phi'(z) = -z phi(z); 0 for the link)
- contrast of a level (or 1 against 0), x1_i and x0_i the rows set to it and to the base:
      value  F(x1_i'beta) - F(x0_i'beta)
      d/dbeta  f(x1_i'beta) x1_i - f(x0_i'beta) x0_i
- prediction: value F(z_i), d/dbeta f(z_i) x_i.
A variable's rows differ from x_i only in the columns it feeds, so only
those are rebuilt, and the index of a counterfactual row is z_i plus the
change in those columns times their coefficients.

The sums are grouped by the values of the ``by`` columns, and the averages
and their Jacobians J (effects x k) are the group sums over the group's
count; the delta method gives the covariance J V J'. With row weights w_i
(a weighted fit) every row's value and gradient are multiplied by w_i and
the count is sum w_i: the averages are sum w_i e_i / sum w_i.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import _native
from .counterfactual import RowBuilder, Variable, constant_column
from .regressors import Regressors

@dataclass
class Effect:
    """One row of the table before it is averaged: a slope, a contrast
    (level against base) or a prediction."""

    label: str
    kind: str  # "slope", "contrast" or "prediction"
    variable: Variable | None = None
    level: object = None
    base: object = None


def plan_effects(builder: RowBuilder, names: list[str] | None) -> list[Effect]:
    """The effects of the named variables (None: every one), in the order
    of the regressors they feed. A numeric variable gets a slope and a
    switch from 0 to 1, summed only over partitions holding only 0 and 1;
    choose_effects keeps one of the two once every partition is seen."""
    variables = builder.variables if names is None else [builder.variable(name) for name in names]
    effects = []
    for variable in variables:
        if variable.categorical:
            for level, label in zip(variable.levels, variable.labels):
                if level != variable.base:
                    effects.append(Effect(f"{variable.name}[{label}]", "contrast", variable, level, variable.base))
        else:
            effects.append(Effect(variable.name, "slope", variable))
            effects.append(Effect(variable.name, "switch", variable, 1.0, 0.0))
    return effects


def choose_effects(effects: list[Effect], binary: dict[str, bool]) -> list[int]:
    """The effects reported: of a numeric variable's pair, the switch from 0
    to 1 when it holds only 0 and 1 in every row, else the slope."""
    return [e for e, effect in enumerate(effects)
            if effect.kind not in ("slope", "switch")
            or (effect.kind == "switch") == binary.get(effect.variable.name, False)]


@dataclass
class GroupSums:
    """Per group (in the order of keys): rows (the sum of their weights),
    and per (scenario, effect) the sum of the values and of their gradients."""

    keys: list
    counts: np.ndarray  # G: rows, or sum w_i
    values: np.ndarray  # S x E x G
    gradients: np.ndarray  # S x E x G x k
    binary: dict  # per variable with a switch: whether every row held 0 or 1


_KIND = {"prediction": 0, "slope": 1, "contrast": 2, "switch": 2}


class _Block:
    """The rows of one block in one scenario: the frame, X (the fit's
    regressors, read in place, or built from the frame), and the base rows of
    the variable whose contrasts are being summed (kept for that variable's
    levels only)."""

    def __init__(self, frame, builder, beta, X=None):
        self.frame, self.builder, self.beta = frame, builder, beta
        if X is None:
            X = Regressors(np.ascontiguousarray(builder.matrix(frame), dtype=np.float64))
        self.X = X
        self._base = (None, None)

    def base_rows(self, effect):
        key = (effect.variable.name, effect.base)
        if self._base[0] != key:
            self._base = (key, self.counterfactual(effect.variable, effect.base))
        return self._base[1]

    def counterfactual(self, variable, value):
        # Any strides: the columns of a level that reads no other variable are one row seen n times.
        return np.asarray(self.builder.at(self.frame, variable, value), dtype=np.float64)


def _effect_rows(effect, block, scales) -> tuple:
    """The native kernel's (kind, columns, A, B) of one effect in a block."""
    variable = effect.variable
    if effect.kind == "prediction":
        return _KIND["prediction"], [], None, None
    if effect.kind == "slope":
        A = [np.asarray(column, dtype=np.float64)
             for column in block.builder.derivative_columns(block.frame, variable, scales[variable.name])]
        return _KIND["slope"], list(variable.columns), A, None
    return _KIND[effect.kind], list(variable.columns), block.counterfactual(variable, effect.level), \
        block.base_rows(effect)


class _Batch:
    """Effects summed by the native kernel in one pass over a block's rows
    (X read once for all of them). Their rows are held for at most about
    twice X's width of columns: the batch is summed when it holds more."""

    def __init__(self, block, link, group, groups, weights, values, gradients):
        self.block, self.link, self.group, self.groups, self.weights = block, link, group, groups, weights
        self.values, self.gradients = values, gradients  # E x G and E x G x k: added to
        self.effects, self.rows, self.held = [], [], {}

    def add(self, e: int, rows: tuple) -> None:
        self.effects.append(e)
        self.rows.append(rows)
        for array in rows[2:]:
            if isinstance(array, list):  # a slope's columns: those of one value seen n times take no room
                self.held[id(array)] = sum(column.strides != (0,) for column in array)
            elif array is not None:
                self.held[id(array)] = array.shape[1]  # a contrast's base rows, shared by its levels, count once
        if sum(self.held.values()) > 2 * self.block.beta.size:
            self.sum()

    def sum(self) -> None:
        if not self.effects:
            return
        block = self.block
        sums = _native.effect_group_sums(self.link, block.X.source, block.beta, self.rows, self.group, self.groups,
                                         self.weights)
        for e, (values, gradients) in zip(self.effects, sums):
            self.values[e] += values
            self.gradients[e] += gradients
        self.effects, self.rows, self.held = [], [], {}


def _mean_magnitude(v: np.ndarray):
    """The mean of |v| (1 without rows), worked out when a derivative by differences first asks for it."""
    return functools.cache(lambda: float(np.abs(v).mean()) if v.size else 1.0)


def _binary(v: np.ndarray) -> bool:
    """Whether every value is 0 or 1 (the first value tells most columns apart at once)."""
    if v.size and v[0] != 0.0 and v[0] != 1.0:
        return False
    return bool(np.all((v == 0.0) | (v == 1.0)))


def partition_sums(frame: pd.DataFrame, builder: RowBuilder, effects: list[Effect], beta: np.ndarray,
                   scenarios: list[dict], by: list[str], link: bool, block_rows: int | None,
                   X: Regressors | None = None, weights: np.ndarray | None = None) -> GroupSums:
    """The group sums of every effect in every scenario (a dict of values
    given to variables for all rows) over the rows of frame, visited in
    blocks of block_rows rows and added in block order. X: the rows'
    regressors as the fit built them, if at hand (used where no scenario
    changes them). weights: the
    rows' weights (None: each row counts once). The derivatives' steps
    scale with the mean of |v| over the partition (unweighted: a step, not
    an estimate)."""
    numeric = {effect.variable.name for effect in effects if effect.kind == "slope"}
    values_of = {name: frame[name].to_numpy(dtype=np.float64) for name in numeric}
    scales = {name: _mean_magnitude(v) for name, v in values_of.items()}
    binary = {name: _binary(v) for name, v in values_of.items()}
    if by:
        keys_of_rows = pd.MultiIndex.from_frame(frame[by]) if len(by) > 1 else frame[by[0]]
        codes, uniques = pd.factorize(keys_of_rows, use_na_sentinel=True)
        keys = list(uniques)
    else:
        codes, keys = np.zeros(len(frame), dtype=np.int64), [None]
    group = codes.astype(np.float64)  # -1: a missing by value, left out
    G, k = len(keys), beta.shape[0]
    counted = codes >= 0
    counts = np.bincount(codes[counted], weights=None if weights is None else weights[counted], minlength=G)
    total = GroupSums(keys, counts.astype(np.float64),
                      np.zeros((len(scenarios), len(effects), G)), np.zeros((len(scenarios), len(effects), G, k)),
                      binary)
    step = max(len(frame), 1) if block_rows is None else block_rows
    for start in range(0, len(frame), step):
        rows = frame.iloc[start:start + step]
        for s, scenario in enumerate(scenarios):
            changed = rows.assign(**{n: constant_column(rows[n], v, len(rows)) for n, v in scenario.items()})
            given = X.rows(start, start + step) if X is not None and not scenario else None
            block = _Block(changed, builder, beta, given)
            batch = _Batch(block, link, group[start:start + step], G,
                           None if weights is None else weights[start:start + step], total.values[s],
                           total.gradients[s])
            for e, effect in enumerate(effects):
                if effect.kind != "switch" or binary[effect.variable.name]:
                    batch.add(e, _effect_rows(effect, block, scales))
            batch.sum()
    return total


def add_group_sums(parts: list[GroupSums]) -> GroupSums:
    """The sums of every group over the partitions, added in partition
    order; groups sorted by their values."""
    keys: dict = {}
    for part in parts:
        for key in part.keys:
            keys.setdefault(key, len(keys))
    order = list(keys)
    S, E = parts[0].values.shape[:2]
    k = parts[0].gradients.shape[3]
    binary = {name: all(part.binary[name] for part in parts) for name in parts[0].binary}
    total = GroupSums(order, np.zeros(len(order)), np.zeros((S, E, len(order))), np.zeros((S, E, len(order), k)),
                      binary)
    for part in parts:
        where = [keys[key] for key in part.keys]
        total.counts[where] += part.counts
        total.values[:, :, where] += part.values
        total.gradients[:, :, where] += part.gradients
    if order != [None]:
        try:
            ranked = sorted(range(len(order)), key=lambda g: order[g])
        except TypeError:  # values that do not compare: first appearance
            ranked = list(range(len(order)))
        total = GroupSums([order[g] for g in ranked], total.counts[ranked], total.values[:, :, ranked],
                          total.gradients[:, :, ranked], binary)
    return total
