"""The one adapter from a DataFrame to what the estimator reads.

``ModelData`` holds the rows of a model as partitions: per partition a
float64 outcome vector, the regressors as row ranges of their float64
columns (views of the frame's own columns where they are plain numeric
columns: X is never copied whole), the rows' weights for a weighted fit
and, for a clustered fit, the partition's cluster numbers under the
finest grouping of the cluster columns the covariance needs (the cells
every grouping's clusters are unions of: clusters.py). Every pass of the
fit and of the marginal effects runs one
small native function per partition and adds the results in partition
order, so the numbers depend on the partitioning but never on how many
threads ran the partitions.

Rows with a missing value in any column the model uses (outcome, regressor
variables, cluster columns, weights) and rows of weight 0 are dropped
first and counted.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import partial
from typing import Callable

import numpy as np

from . import _native
from .design import Design, outcome_values
from .clusters import (
    cell_totals, coarser_clusters, column_codes, combined_codes, finest_grouping, first_rows,
    meats_by_grouping, partition_cell_meats, single_row_meats, single_row_parts,
)
from .frames import Columns
from .progress import in_threads
from .regressors import Regressors
from .weights import Weighting, checked_weights

# Rows per partition when the caller does not choose: large enough that a
# pass over a partition dwarfs the scheduling of its task, small enough that
# a million rows keep two cores busy to the end.
DEFAULT_PARTITION_ROWS = 1 << 18


@dataclass
class Partition:
    y: np.ndarray | None  # (n,) float64; None where only the marginal effects are wanted
    X: Regressors
    weights: np.ndarray | None = None  # (n,) contiguous float64 for a weighted fit
    # Clustered fits: per grouping (a tuple of positions among the cluster
    # columns), the model-wide cluster of each row (int64, a view of the
    # model's numbers).
    groups: dict = field(default_factory=dict)


@dataclass
class ModelData:
    names: list[str]
    partitions: list[Partition]
    nobs: int  # rows used
    dropped: int  # rows of the data left out for a missing value or a zero weight
    outcome_sum: float  # sum w_i y_i
    weight_sum: float | None = None  # sum w_i; None: unweighted (the rows)
    weighting: Weighting | None = None
    cluster_names: list[str] = field(default_factory=list)  # every column any grouping uses (with_vcov may add)
    # Per cluster column: the cluster of each row used, numbered by first appearance, and their number.
    column_clusters: list = field(default_factory=list)
    clusters: dict = field(default_factory=dict)  # G of each grouping numbered so far
    # Per grouping numbered over the rows: the first row of each cluster, or
    # None where every cluster is one row (not summed by cluster: clusters.py).
    cells: dict = field(default_factory=dict)
    verbose: bool = False  # show Dask's progress bar for each pass
    passes: int = 0  # passes over the rows so far
    keep: np.ndarray | None = None  # the rows of the data used (None: all)
    # Set while the regressors have not been looked through for NaN and
    # infinities (build_model_data): the partitions rebuilt with that check,
    # without the rows with a missing value.
    rebuilt_checked: Callable[[], "ModelData"] | None = None

    lazy_frame = None  # the rows are in memory

    @property
    def k(self) -> int:
        return len(self.names)

    @property
    def npartitions(self) -> int:
        return len(self.partitions)

    reads_every_pass = False  # the rows are in memory

    def sample(self, positions: list[int], rows: int) -> "ModelData":
        """The partitions at positions, each cut to its first rows, for a fit
        on them alone (Newton's start: strategy.py)."""
        self._check_regressors()
        partitions = [leading_rows(self.partitions[p], rows) for p in positions]
        return ModelData(
            names=self.names, partitions=partitions, nobs=sum(part.y.shape[0] for part in partitions), dropped=0,
            outcome_sum=float("nan"), weighting=self.weighting,
        )

    def map(self, function, *args) -> list:
        """function(partition, *args) for every partition, on this process's
        threads; the results in partition order."""
        self._check_regressors()
        return self._map(function, args)

    def map_sums(self, function, *args) -> list:
        """map for a function that returns a pass's probit sums (a dict of l,
        the gradient, ...). On partitions not yet looked through, the first
        such pass is the check that every regressor is finite: a sum over the
        rows is finite only when each row's term is (or the sum overflows),
        and a NaN or infinite regressor makes its row's term of l or of the
        gradient NaN or infinite at any beta. So the regressors are read
        once more only when a sum is not finite."""
        parts = self._map(function, args)
        if self.rebuilt_checked is None or all(_finite_sums(part) for part in parts):
            self.rebuilt_checked = None
            return parts
        return self._map(function, args) if self._check_regressors() else parts

    def _map(self, function, args) -> list:
        self.passes += 1
        return in_threads([partial(function, partition, *args) for partition in self.partitions], self.verbose)

    def _check_regressors(self) -> bool:
        """Looks the regressors through if that is still to be done; with a
        NaN or an infinity among them, takes the partitions rebuilt without
        the rows with a missing value (or raises the error for the first bad
        row). Whether the partitions changed."""
        if self.rebuilt_checked is None:
            return False
        rebuilt, self.rebuilt_checked = self.rebuilt_checked, None
        if not any(in_threads([partition.X.nonfinite for partition in self.partitions])):
            return False
        fresh = rebuilt()
        self.partitions, self.nobs, self.dropped = fresh.partitions, fresh.nobs, fresh.dropped
        self.outcome_sum, self.keep = fresh.outcome_sum, fresh.keep
        return True

    def _number(self, grouping: tuple) -> None:
        """Cluster numbers of the rows under a grouping, model-wide and per partition."""
        numbers, self.clusters[grouping], first = combined_codes([self.column_clusters[j] for j in grouping], True)
        if self.clusters[grouping] == self.nobs:
            self.cells[grouping] = None
            return
        self.cells[grouping] = first
        start = 0
        for partition in self.partitions:
            stop = start + partition.y.shape[0]
            partition.groups[grouping] = numbers[start:stop]
            start = stop

    def add_cluster_columns(self, names: list[str], data) -> None:
        """More cluster columns, read from the data at the rows the fit used
        (for another covariance at the estimate). A column without a value
        in one of those rows is refused: the estimate cannot drop rows."""
        columns = Columns(data)
        columns.require(names, grouping=True)
        for name in names:
            missing = columns.missing(name)
            if missing is not None and self.keep is not None:
                missing = missing & self.keep
            if missing is not None and missing.any():
                raise missing_cluster_error(name, columns.row_label(int(np.flatnonzero(missing)[0])))
        self.column_clusters += numbered_columns(columns, names, self.keep)
        self.cluster_names += names

    def cluster_meats(self, beta: np.ndarray, groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
        """Per grouping, sum_c g_c g_c' with g_c the (weighted) score sum of
        cluster c, and G; from one pass summing the scores by cell of the
        finest grouping, each partition giving the parts of the sums of its
        cells, added in partition order (clusters.partition_cell_meats)."""
        finest = finest_grouping(groupings)
        if finest not in self.cells:  # not yet numbered over the rows
            self._number(finest)
        if self.cells[finest] is None:
            return self._single_row_cell_meats(beta, groupings)
        self._check_regressors()
        self.passes += 1
        cells = self.clusters[finest]
        cell_keys = [(self.column_clusters[j][0][self.cells[finest]], self.column_clusters[j][1]) for j in finest]
        coarser = coarser_clusters(cell_keys, finest, groupings)
        partitions = [(part.y, part.X.source, part.weights, part.groups[finest]) for part in self.partitions]
        meats = partition_cell_meats(partitions, beta, cells, coarser)
        results = meats_by_grouping(meats, cells, coarser, finest, groupings)
        for grouping, (_, clusters) in zip(groupings, results):
            self.clusters[grouping] = clusters
        return list(results)

    def _single_row_cell_meats(self, beta: np.ndarray, groupings: list[tuple]) -> list:
        """cluster_meats when every cell of the finest grouping is one row
        (clusters.single_row_meats), from one pass."""
        for grouping in groupings:
            if grouping not in self.cells:
                self._number(grouping)
        summed = [grouping for grouping in groupings if self.cells[grouping] is not None]
        parts = self.map(_single_row_parts, beta, {grouping: self.clusters[grouping] for grouping in summed})
        totals = {grouping: cell_totals([sums[m] for _, sums in parts], self.clusters[grouping])
                  for m, grouping in enumerate(summed)}
        return single_row_meats([meat for meat, _ in parts], totals, self.nobs, groupings)


def leading_rows(partition: Partition, rows: int) -> Partition:
    """The first rows of a partition for a fit (no clusters), copied, so
    that the rest may be freed; the partition itself when it has no more."""
    if partition.y.shape[0] <= rows:
        return partition
    weights = None if partition.weights is None else np.array(partition.weights[:rows])
    return Partition(np.array(partition.y[:rows]), partition.X.rows(0, rows).copy(), weights)




def local_numbers(numbers: np.ndarray, clusters: int) -> tuple[np.ndarray, np.ndarray]:
    """The cluster of each of a partition's rows as a number local to it,
    and the model-wide number of each local cluster (int64 both): by first
    appearance, or the model-wide numbers when clusters are few."""
    if clusters * _native.MODEL_WIDE_ROWS_PER_CLUSTER <= numbers.shape[0]:  # the core's rule for its cells
        return numbers, np.arange(clusters, dtype=np.int64)
    local, _ = _native.cluster_codes(np.ascontiguousarray(numbers), clusters)
    return local, numbers[first_rows(local)]


def _single_row_parts(partition: Partition, beta: np.ndarray, summed: dict) -> tuple:
    """The partition's meat of single rows, and per grouping summed (and its
    number of clusters) the model-wide numbers of its clusters there and
    their score sums (one pass for all of them)."""
    numbered = [local_numbers(partition.groups[grouping], clusters) for grouping, clusters in summed.items()]
    meat, sums = single_row_parts(partition, beta, [(local, len(ids)) for local, ids in numbered])
    return meat, [(ids, part) for (_, ids), part in zip(numbered, sums)]


def partition_bounds(rows: int, npartitions: int) -> list[tuple[int, int]]:
    return [(p * rows // npartitions, (p + 1) * rows // npartitions) for p in range(npartitions)]


def default_npartitions(rows: int) -> int:
    return max(1, -(-rows // DEFAULT_PARTITION_ROWS))


def rows_to_keep(columns: Columns, names: list[str], weights: Weighting | None = None):
    """False where any of the columns has a missing value or the weight is
    0, and the weights of the rows kept (None: unweighted); keep is None
    when every row is kept."""
    missing = columns.missing_in_any(names + ([weights.column] if weights else []))
    keep = None if missing is None else ~missing
    if weights is None:
        return keep, None
    values = checked_weights(columns, weights, keep)
    positive = values != 0.0
    if positive.all():
        return keep, np.ascontiguousarray(values)
    kept = np.flatnonzero(keep) if keep is not None else np.arange(columns.rows)
    keep = np.zeros(columns.rows, dtype=bool)
    keep[kept[positive]] = True
    return keep, np.ascontiguousarray(values[positive])


def missing_cluster_error(name: str, where: str) -> ValueError:
    return ValueError(
        f"cluster column {name!r} has no value in {where}, a row the fit used: another covariance at the same "
        f"estimate cannot leave rows out. Refit with cluster={name!r} (which drops the rows where it is missing)"
    )


def numbered_columns(columns: Columns, names: list[str], keep: np.ndarray | None) -> list[tuple[np.ndarray, int]]:
    """Per cluster column, the cluster of each kept row and their number."""
    return in_threads([partial(column_codes, columns, name, keep) for name in names])


def partition_columns(regressors, start: int, stop: int, check: bool = True) -> tuple[Regressors, bool]:
    """Rows [start, stop) of the regressors as views of their columns (None
    for the intercept), which the kernels read a tile at a time, and (with
    check) whether any of those values is NaN or infinite."""
    if all(column is None for column in regressors):  # the kernels learn the rows from a column
        X, nonfinite = _native.gather_columns(regressors, start, stop)
        return Regressors(X), nonfinite
    X = Regressors([None if column is None else np.require(column[start:stop], requirements="A")
                    for column in regressors])
    return X, check and X.nonfinite()


def _finite_sums(sums: dict) -> bool:
    return all(value is None or np.isfinite(value).all()
               for key, value in sums.items() if key in ("loglike", "gradient", "hessian", "meat"))


def _build_partition(y, regressors, weights, numbers, check, start, stop) -> tuple[Partition, bool]:
    """The partition of rows [start, stop), and (with check) whether a regressor is NaN or infinite there."""
    X, nonfinite = partition_columns(regressors, start, stop, check)
    # Row ranges read in place, as X's columns are: the partitions' own
    # copies cost a page fault every 4 KiB on a process's first fit.
    partition = Partition(np.ascontiguousarray(y[start:stop]), X)
    if weights is not None:
        partition.weights = np.ascontiguousarray(weights[start:stop])
    partition.groups = {g: rows[start:stop] for g, rows in numbers.items()}
    return partition, nonfinite


def nonfinite_regressor_error(design: Design, columns: Columns, regressors, keep: np.ndarray | None) -> ValueError:
    """The error for the first kept row (in row order) where a regressor is
    infinite, or NaN although no value it is made of is missing."""
    first = None  # (row, j)
    for j, column in enumerate(regressors):
        if column is not None:
            bad = np.flatnonzero(~np.isfinite(column))
            if bad.size and (first is None or bad[0] < first[0]):
                first = (int(bad[0]), j)
    if first is None:
        raise AssertionError("every regressor is finite")
    row, j = first
    where = columns.row_label(int(np.flatnonzero(keep)[row]) if keep is not None else row)
    value = float(regressors[j][row])
    if np.isnan(value):
        return ValueError(
            f"regressor {design.names[j]!r} is NaN in {where}, where no value it is made of is missing: is a "
            "transformation in the formula undefined there?"
        )
    return ValueError(f"regressor {design.names[j]!r} must be finite: found {value!r} in {where}")


def _partitioned(design, columns, cluster, groupings, weights, npartitions, keep, values, check: bool):
    """The model's rows without those that keep rules out, in partitions.
    With check, a regressor that is NaN or infinite in a kept row is an
    error (keep then leaves out every row with a missing value); without,
    the regressors are not looked through here (ModelData.map_sums)."""
    y = outcome_values(design, columns, keep)
    nobs = y.shape[0]
    if nobs == 0:
        raise ValueError(
            f"no rows of {columns.argument} are left once rows with a missing value or a zero weight are dropped"
        )
    regressors = design.regressor_columns(columns, keep)

    column_clusters = numbered_columns(columns, cluster, keep)
    numbers, clusters, cells = {}, {}, {}
    if groupings:  # the rows are summed by cell of the finest grouping
        finest = finest_grouping(groupings)
        rows, clusters[finest], first = combined_codes([column_clusters[j] for j in finest], True)
        single_rows = clusters[finest] == nobs  # then nothing is summed by cell (clusters.py)
        cells[finest] = None if single_rows else first
        if not single_rows:
            numbers[finest] = rows

    npartitions = default_npartitions(nobs) if npartitions is None else min(npartitions, nobs)
    built = in_threads([
        partial(_build_partition, y, regressors, values, numbers, check, start, stop)
        for start, stop in partition_bounds(nobs, npartitions)
    ])
    if any(nonfinite for _, nonfinite in built):
        raise nonfinite_regressor_error(design, columns, regressors, keep)
    return ModelData(
        names=list(design.names),
        partitions=[partition for partition, _ in built],
        nobs=nobs,
        dropped=columns.rows - nobs,
        outcome_sum=float(y.sum() if values is None else (y * values).sum()),  # not y @ w: BLAS threads would spin
        weight_sum=None if values is None else float(values.sum()),
        weighting=weights,
        cluster_names=list(cluster),
        column_clusters=column_clusters,
        clusters=clusters,
        cells=cells,
        keep=keep,
    )


def build_model_data(
    design: Design,
    columns: Columns,
    cluster: list[str],
    npartitions: int | None,
    groupings: list[tuple] = (),
    weights: Weighting | None = None,
) -> ModelData:
    """The rows of the model in partitions. cluster: every column a
    grouping reads; groupings: tuples of positions among them, each
    numbered into clusters for the fit's covariance."""
    columns.require(cluster, grouping=True)
    columns.require([weights.column] if weights else [])
    used = [design.outcome, *design.variables, *cluster]
    # Regressors that are plain columns are read as they are, and the fit's
    # first pass tells whether one holds a NaN (or an infinity): only then
    # are the rows with a missing value looked for, and the partitions
    # gathered again without them. Formulas that formulaic evaluates,
    # cluster numbers and weights need the kept rows before anything is built.
    def checked() -> ModelData:
        keep, values = rows_to_keep(columns, used, weights)
        return _partitioned(design, columns, cluster, groupings, weights, npartitions, keep, values, check=True)

    if design.sources is None or cluster or weights is not None:
        return checked()
    keep, _ = rows_to_keep(columns, [design.outcome])
    data = _partitioned(design, columns, cluster, groupings, weights, npartitions, keep, None, check=False)
    data.rebuilt_checked = checked
    return data


def array_model_data(exog: np.ndarray, names: list[str], npartitions: int | None) -> ModelData:
    """The regressors of a fitted model given as one array (a statsmodels
    result's exog), partitioned by row ranges read in place: no copy."""
    nobs = exog.shape[0]
    count = default_npartitions(nobs) if npartitions is None else min(npartitions, max(nobs, 1))
    partitions = [Partition(None, Regressors(exog[start:stop])) for start, stop in partition_bounds(nobs, count)]
    return ModelData(names=list(names), partitions=partitions, nobs=nobs, dropped=0, outcome_sum=float("nan"))
