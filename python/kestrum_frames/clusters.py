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

Where every cell holds one row (a panel's firm and year, one row each),
the cells' sums are the rows' own scores, and summing them into cells would
only copy the rows: the finest grouping's meat is then the product sum
sum_i (c_i s_i)(c_i s_i)' of the rows (the HC0 meat's kernel with the
squared row weights), and each coarser grouping's meat comes from its own
score sums, as a one-way clustering's (single_row_meats).
"""

from __future__ import annotations

from functools import partial

import numpy as np
import pandas as pd

from . import _native
from .frames import Columns
from .progress import in_threads


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
    return _native.first_rows(np.asarray(numbers, dtype=np.int64))


def finest_grouping(groupings: list[tuple]) -> tuple:
    """The grouping by every cluster column that the groupings read."""
    return tuple(sorted(set().union(*groupings)))


# The cells' sums are handed on in pieces of consecutive cells, so that the
# finest grouping's meat is formed piece by piece side by side: as many as
# this many cells make one piece. The pieces depend on G alone, not on the
# threads, so neither do the bits.
CELLS_PER_PIECE = 1 << 17


def cell_totals(parts: list[tuple[np.ndarray, np.ndarray]], cells: int) -> list[np.ndarray]:
    """The score sum of every cell from the partitions' parts (per partition
    the model-wide numbers of its cells and their sums), each cell's parts
    added in partition order, in one sweep (memory bound: two threads would
    only share the bandwidth); as pieces (views) of consecutive cells."""
    return pieces_of_cells(_native.parts_cluster_sums(parts, cells))


def pieces_of_cells(totals: np.ndarray) -> list[np.ndarray]:
    """The cells' score sums as pieces (views) of consecutive cells."""
    cells = len(totals)
    pieces = max(1, -(-cells // CELLS_PER_PIECE))
    bounds = [piece * cells // pieces for piece in range(pieces + 1)]
    return [totals[first:stop] for first, stop in zip(bounds[:-1], bounds[1:])]


def grouping_meats(pieces: list[np.ndarray], cell_keys: list, finest: tuple,
                   groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
    """Per grouping, sum_c g_c g_c' and G from the score sums of the cells
    of the finest grouping (pieces of consecutive cells, a row per cell in
    the order of their numbers: cell_totals). cell_keys: per column of the
    finest grouping, each cell's key (codes or keys, any that number alike),
    or a pair (codes, count) of codes that already number the cells by first
    appearance (a column's numbers at the cells' first rows). A grouping's
    clusters are numbered by first appearance among the cells, which is
    their order of first appearance among the rows, and g_c adds its cells'
    sums in order; the coarser groupings are summed in one sweep over the
    cells, beside the finest grouping's meat, which adds the pieces' meats
    in order."""
    coarser = [g for g in groupings if g != finest]

    def numbered(j):
        keys = cell_keys[finest.index(j)]
        return keys if isinstance(keys, tuple) else key_codes(keys)

    def coarser_meats():
        clusters = [combined_codes([numbered(j) for j in grouping]) for grouping in coarser]
        return list(zip(_native.grouped_parts_meats(pieces, clusters), (count for _, count in clusters)))

    meats = in_threads([partial(_native.cluster_meat, piece) for piece in pieces] + ([coarser_meats] if coarser else []))
    finest_meat = meats[0]
    for meat in meats[1:len(pieces)]:
        finest_meat = finest_meat + meat  # in piece order
    coarser_results = iter(meats[len(pieces)] if coarser else [])
    cells = sum(len(piece) for piece in pieces)
    return [(finest_meat, cells) if g == finest else next(coarser_results) for g in groupings]


def single_row_parts(partition, beta: np.ndarray, numbered: list[tuple[np.ndarray, int]]) -> tuple:
    """From one pass over a partition's rows: sum_i (c_i s_i)(c_i s_i)', c_i
    the row weights (1 unweighted), the meat of a grouping whose clusters
    are single rows; and the score sums of each grouping numbered (per
    grouping, the cluster of each row and their number)."""
    return _native.cluster_score_sums(partition.y, partition.X.source, beta, [rows for rows, _ in numbered],
                                      [count for _, count in numbered], partition.weights, single_row_meat=True)


def single_row_meats(meats: list[np.ndarray], summed_totals: dict, nobs: int,
                     groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
    """grouping_meats where every cell of the finest grouping is one row:
    meats, per partition its meat of single rows (single_row_parts; added in partition order);
    summed_totals, per coarser grouping with clusters of several rows the
    score sums of its clusters (cell_totals' pieces), whose meat is formed
    as a one-way clustering's. Any other grouping (the finest, or one whose
    clusters are single rows too) has the rows' product sum."""
    single_rows = meats[0]
    for meat in meats[1:]:
        single_rows = single_rows + meat  # partition order: the same bits on any scheduler
    results = {grouping: grouping_meats(totals, [], grouping, [grouping])[0]
               for grouping, totals in summed_totals.items()}
    return [results.get(grouping, (single_rows, nobs)) for grouping in groupings]
