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

import numpy as np
import pandas as pd

from . import _native
from .frames import Columns
from .progress import THREADS


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


def column_codes(columns: Columns, name: str, keep: np.ndarray | None) -> tuple[np.ndarray, int]:
    """key_codes(column_keys(...)): the cluster of each kept row of a
    column, numbered by first appearance, and their number; a numeric
    column's keys are not formed (int64 values are read as the float64
    they convert to, as column_keys reads them)."""
    if not columns.is_numeric(name):
        return key_codes(column_keys(columns, name, keep))
    values = np.asarray(columns.numeric(name))
    if values.dtype != np.int64:
        values = values.astype(np.float64, copy=False)
    return _native.value_codes(values if keep is None else values[keep])


def combined_codes(numbered: list[tuple[np.ndarray, int]], with_first_rows: bool = False) -> tuple:
    """The clusters of the combinations of numbered columns, numbered by
    first appearance: (a, b) is the code a G_b + b (at most G_a G_b <= n^2,
    so int64 holds it), numbered natively without forming the codes; with
    first rows, also the row where each cluster first appears (first_rows),
    found as the clusters are numbered."""
    if len(numbered) == 1:
        return (*numbered[0], first_rows(numbered[0][0])) if with_first_rows else numbered[0]
    return _native.combined_codes(numbered, with_first_rows)


def first_rows(numbers: np.ndarray) -> np.ndarray:
    """The row where each cluster first appears, in the order of the
    clusters' numbers: numbers are handed out in increasing order, so it is
    where the running maximum rises."""
    return _native.first_rows(np.asarray(numbers, dtype=np.int64))


def finest_grouping(groupings: list[tuple]) -> tuple:
    """The grouping by every cluster column that the groupings read."""
    return tuple(sorted(set().union(*groupings)))


# The finest grouping's meat is formed in pieces of consecutive cells side
# by side (natively): as many as this many cells make one piece. The pieces
# depend on G alone, not on the threads, so neither do the bits.
CELLS_PER_PIECE = 1 << 17


def cell_totals(parts: list[tuple[np.ndarray, np.ndarray]], cells: int) -> np.ndarray:
    """The score sum of every cell (a row each) from the partitions' parts
    (per partition the model-wide numbers of its cells and their sums), each
    cell's parts added in partition order, in one sweep (memory bound: two
    threads would only share the bandwidth)."""
    return _native.parts_cluster_sums(parts, cells)


def coarser_clusters(cell_keys: list, finest: tuple, groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
    """Per grouping other than the finest, in order, the cluster of each
    cell of the finest grouping and their number. cell_keys: per column of
    the finest grouping, each cell's key (codes or keys, any that number
    alike), or a pair (codes, count) of codes that already number the cells
    by first appearance (a column's numbers at the cells' first rows). A
    grouping's clusters are numbered by first appearance among the cells,
    which is their order of first appearance among the rows."""
    def numbered(j):
        keys = cell_keys[finest.index(j)]
        return keys if isinstance(keys, tuple) else key_codes(keys)

    return [combined_codes([numbered(j) for j in grouping]) for grouping in groupings if grouping != finest]


def meats_by_grouping(meats: list[np.ndarray], cells: int, clusters: list[tuple[np.ndarray, int]], finest: tuple,
                      groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
    """Per grouping, its meat and G, from the native list of meats (the
    finest grouping's first, then the coarser ones in order) and the coarser
    groupings' clusters (coarser_clusters)."""
    coarser = iter(zip(meats[1:], (count for _, count in clusters)))
    return [(meats[0], cells) if grouping == finest else next(coarser) for grouping in groupings]


def partition_cell_meats(partitions: list[tuple], beta: np.ndarray, cells: int,
                         clusters: list[tuple[np.ndarray, int]]) -> list[np.ndarray]:
    """grouping_meats' native meats (the finest grouping's, then the coarser
    ones', clusters as coarser_clusters gives them) straight from the rows:
    per partition (y, X, weights or None, the model-wide cell of each row).
    Each partition's rows are summed by its own cells and those sums added
    in partition order, as cell_totals adds the parts a Dask fit sends, so
    that no cells x k array is kept or handed back (_native.cell_score_meats)."""
    return _native.cell_score_meats(partitions, beta, cells, clusters, CELLS_PER_PIECE, THREADS)


def grouping_meats(totals: np.ndarray, cell_keys: list, finest: tuple,
                   groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
    """Per grouping, sum_c g_c g_c' and G from the score sums of the cells
    of the finest grouping (a row per cell in the order of their numbers:
    cell_totals; cell_keys as coarser_clusters reads them): each coarser
    cluster's g_c adds its cells' sums in order, in one sweep over the
    cells beside the finest grouping's meat, which adds the meats of its
    pieces in order (_native.cell_meats)."""
    clusters = coarser_clusters(cell_keys, finest, groupings)
    meats = _native.cell_meats(totals, clusters, CELLS_PER_PIECE, THREADS)
    return meats_by_grouping(meats, len(totals), clusters, finest, groupings)


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
    score sums of its clusters (cell_totals), whose meat is formed
    as a one-way clustering's. Any other grouping (the finest, or one whose
    clusters are single rows too) has the rows' product sum."""
    single_rows = meats[0]
    for meat in meats[1:]:
        single_rows = single_rows + meat  # partition order: the same bits on any scheduler
    results = {grouping: grouping_meats(totals, [], grouping, [grouping])[0]
               for grouping, totals in summed_totals.items()}
    return [results.get(grouping, (single_rows, nobs)) for grouping in groupings]
