"""Cluster identity: one rule for every column kind, numbered natively.

A cluster column's values become keys: a numeric column's values by the
core's key rule (values that round alike to four decimals share an int64
key), any other column's values as they are (equal values, one cluster).
Every grouping, a single column or the combination of several, is numbered
by first appearance from int64 codes by one native function: a column's
keys first, then the combination (a, b) of two numbered columns as the code
a G_b + b, dense below G_a G_b, and so on for more columns. The pandas and
the Dask paths both number through here, so that a cluster has the same
number, and its sums the same order, in either.

The score sums are taken per cell of the finest grouping (the combination
of every cluster column a covariance reads): each cluster of any grouping
is a union of cells, so a multi-way fit sums the rows once, into cells, and
each grouping's g_c is the sum of its cells' sums in the cells' order.
"""

from __future__ import annotations

import dask
import numpy as np
import pandas as pd

from . import _native
from .frames import Columns
from .progress import compute


def column_keys(columns: Columns, name: str, keep: np.ndarray | None) -> np.ndarray:
    """The keys of a column's kept rows: int64 core keys for a numeric
    column, else the values (an object array)."""
    if columns.is_numeric(name):
        values = np.asarray(columns.numeric(name), dtype=np.float64)
        return _native.cluster_keys(np.ascontiguousarray(values if keep is None else values[keep]))
    values = columns.series(name).astype(object).to_numpy()
    return values if keep is None else values[keep]


def key_codes(keys: np.ndarray) -> tuple[np.ndarray, int]:
    """The cluster of each row of one column's keys, numbered by first
    appearance (int64), and the number of clusters."""
    if keys.dtype == np.int64:
        return _native.cluster_codes(keys)
    codes, uniques = pd.factorize(keys)  # in order of first appearance, dense
    return _native.cluster_codes(codes.astype(np.int64, copy=False), max(len(uniques), 1))


def combined_codes(numbered: list[tuple[np.ndarray, int]]) -> tuple[np.ndarray, int]:
    """The clusters of the combinations of numbered columns, numbered by
    first appearance: (a, b) is the code a G_b + b (at most G_a G_b <= n^2,
    so int64 holds it)."""
    numbers, count = numbered[0]
    for codes, extent in numbered[1:]:
        numbers, count = _native.cluster_codes(numbers * extent + codes, count * extent)
    return numbers, count


def first_rows(numbers: np.ndarray) -> np.ndarray:
    """The row where each cluster first appears, in the order of the
    clusters' numbers: numbers are handed out in increasing order, so it is
    where the running maximum rises."""
    return np.flatnonzero(np.diff(np.maximum.accumulate(numbers), prepend=-1) > 0)


def finest_grouping(groupings: list[tuple]) -> tuple:
    """The grouping by every cluster column that the groupings read."""
    return tuple(sorted(set().union(*groupings)))


def grouping_meats(totals: np.ndarray, cell_keys: list[np.ndarray], finest: tuple,
                   groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
    """Per grouping, sum_c g_c g_c' and G from the score sums of the cells
    of the finest grouping (totals, a row per cell in the order of their
    numbers). cell_keys: per column of the finest grouping, each cell's key
    (codes or keys, any that number alike). A grouping's clusters are
    numbered by first appearance among the cells, which is their order of
    first appearance among the rows, and g_c adds its cells' sums in order."""
    def meat(grouping):
        if grouping == finest:
            return _native.cluster_meat(totals), len(totals)
        cluster_of, clusters = combined_codes([key_codes(cell_keys[finest.index(j)]) for j in grouping])
        return _native.parts_cluster_meat([(cluster_of, totals)], clusters), clusters

    task = dask.delayed(meat, pure=False)  # the groupings side by side
    return compute([task(grouping) for grouping in groupings], False, in_memory=True)
