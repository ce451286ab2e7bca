"""The one adapter from a DataFrame to what the estimator reads.

``ModelData`` holds the rows of a model as partitions: per partition a
float64 outcome vector, the regressors as row ranges of their float64
columns (views of the frame's own columns where they are plain numeric
columns: X is never copied whole) and, for a clustered fit, the partition's
cluster numbers. Every pass of the fit and of the marginal effects runs one
small native function per partition and adds the results in partition
order, so the numbers depend on the partitioning but never on how many
threads ran the partitions.

Rows with a missing value in any column the model uses (outcome, regressor
variables, cluster columns) are dropped first and counted.
"""

from __future__ import annotations

from dataclasses import dataclass

import dask
import numpy as np

from . import _native
from .design import Design, outcome_values
from .frames import Columns
from .progress import compute

# Rows per partition when the caller does not choose: large enough that a
# pass over a partition dwarfs the scheduling of its task, small enough that
# a million rows keep two cores busy to the end.
DEFAULT_PARTITION_ROWS = 1 << 18


@dataclass
class Partition:
    y: np.ndarray | None  # (n,) float64; None where only the marginal effects are wanted
    X: np.ndarray | list  # its k columns (contiguous float64, None: ones), or an (n, k) float64 array
    # Clustered fits: the cluster of each row as a number local to the
    # partition (float64 whole numbers), and the model-wide number of each
    # local cluster.
    cluster_of: np.ndarray | None = None
    cluster_ids: np.ndarray | None = None
    # Partitions of a Dask frame: rows dropped for a missing value, whether a
    # regressor was among the missing, and the cluster keys of the rows kept
    # (numbered later, by Dask's groupby).
    dropped: int = 0
    missing_regressors: bool = False
    cluster_keys: object = None


@dataclass
class ModelData:
    names: list[str]
    partitions: list[Partition]
    nobs: int
    dropped: int  # rows of the data left out for a missing value
    outcome_sum: float
    clusters: int | None = None  # G, for a clustered fit
    verbose: bool = False  # show Dask's progress bar for each pass
    passes: int = 0  # passes over the rows so far

    @property
    def k(self) -> int:
        return len(self.names)

    @property
    def clustered(self) -> bool:
        return self.clusters is not None

    def map(self, function, *args) -> list:
        """function(partition, *args) for every partition, as one Dask
        computation; the results in partition order."""
        task = dask.delayed(function, pure=False)
        self.passes += 1
        return compute([task(partition, *args) for partition in self.partitions], self.verbose, in_memory=True)

    def cluster_meat(self, beta: np.ndarray) -> tuple[np.ndarray, int]:
        """sum_c g_c g_c' with g_c the score sum of cluster c, and G: each
        partition gives the parts of the g_c of its clusters, added in
        partition order."""
        score_sums = np.zeros((self.clusters, self.k))
        for ids, sums in self.map(_cluster_score_sums, beta):
            score_sums[ids] += sums  # ids are distinct within a partition
        return _native.cluster_meat(score_sums), self.clusters


def _cluster_score_sums(partition: Partition, beta: np.ndarray):
    sums = _native.cluster_score_sums(
        partition.y, partition.X, beta, partition.cluster_of, len(partition.cluster_ids)
    )
    return partition.cluster_ids, sums


def partition_bounds(rows: int, npartitions: int) -> list[tuple[int, int]]:
    return [(p * rows // npartitions, (p + 1) * rows // npartitions) for p in range(npartitions)]


def default_npartitions(rows: int) -> int:
    return max(1, -(-rows // DEFAULT_PARTITION_ROWS))


def rows_to_keep(columns: Columns, names: list[str]) -> np.ndarray | None:
    """False where any of the columns has a missing value; None when none has."""
    missing = columns.missing_in_any(names)
    return None if missing is None else ~missing


def _cluster_values(columns: Columns, names: list[str], keep: np.ndarray | None) -> np.ndarray:
    """n x m float64: numeric cluster columns as they are (the core's key
    rule groups them), any other column as the codes of its distinct values."""
    values = np.empty((columns.rows if keep is None else int(keep.sum()), len(names)))
    for j, name in enumerate(names):
        if columns.is_numeric(name):
            column = np.asarray(columns.numeric(name), dtype=np.float64)
        else:
            column = columns.series(name).factorize()[0].astype(np.float64)
        values[:, j] = column if keep is None else column[keep]
    return values


def partition_columns(regressors, start: int, stop: int) -> tuple[list, bool]:
    """Rows [start, stop) of the regressors as views of their columns (None
    for the intercept), which the kernels read a tile at a time, and whether
    any of those values is NaN. A sum is NaN when one of its terms is, so one
    reduction per column (no temporary) clears it; only a column whose sum is
    not finite is looked through."""
    if all(column is None for column in regressors):  # the kernels learn the rows from a column
        return _native.gather_columns(regressors, start, stop)
    X = [None if column is None else np.require(column[start:stop], requirements="A") for column in regressors]
    with np.errstate(all="ignore"):  # a sum may overflow, or meet inf - inf
        has_nan = any(not np.isfinite(np.add.reduce(c)) and np.isnan(c).any() for c in X if c is not None)
    return X, has_nan


def partition_block(X) -> np.ndarray:
    """A partition's regressors as one row-major (n, k) array."""
    if not isinstance(X, list):
        return X
    rows = next(len(column) for column in X if column is not None)
    return _native.gather_columns(X, 0, rows)[0]


def _build_partition(y, regressors, cluster_numbers, start, stop) -> tuple[Partition, bool]:
    """The partition of rows [start, stop), and whether a regressor is NaN there."""
    X, has_nan = partition_columns(regressors, start, stop)
    partition = Partition(np.array(y[start:stop]), X)
    if cluster_numbers is not None:
        ids, local = np.unique(cluster_numbers[start:stop], return_inverse=True)
        partition.cluster_of = local.astype(np.float64)
        partition.cluster_ids = ids.astype(np.int64)
    return partition, has_nan


def nan_regressor_error(design: Design, columns: Columns, regressors, keep: np.ndarray | None) -> ValueError:
    """The error for a regressor that the formula made NaN in a kept row."""
    for j, column in enumerate(regressors):
        if column is not None and np.isnan(column).any():
            row = int(np.flatnonzero(np.isnan(column))[0])
            position = int(np.flatnonzero(keep)[row]) if keep is not None else row
            return ValueError(
                f"regressor {design.names[j]!r} is NaN in {columns.row_label(position)}, where no value it is made "
                "of is missing: is a transformation in the formula undefined there?"
            )
    raise AssertionError("no NaN among the regressors")


def _partitioned(design, columns, cluster, keep, npartitions) -> ModelData | None:
    """The model's rows without those that keep rules out, in partitions;
    None when a regressor is NaN in a row that is kept."""
    y = outcome_values(design, columns, keep)
    nobs = y.shape[0]
    if nobs == 0:
        raise ValueError(f"no rows of {columns.argument} are left once rows with a missing value are dropped")
    regressors = design.regressor_columns(columns, keep)

    clusters = cluster_numbers = None
    if cluster:
        cluster_numbers, clusters = _native.cluster_numbers(_cluster_values(columns, cluster, keep))

    npartitions = default_npartitions(nobs) if npartitions is None else min(npartitions, nobs)
    build = dask.delayed(_build_partition, pure=False)
    built = compute(
        [build(y, regressors, cluster_numbers, start, stop) for start, stop in partition_bounds(nobs, npartitions)],
        False,
        in_memory=True,
    )
    if any(has_nan for _, has_nan in built):
        if design.sources is None:
            raise nan_regressor_error(design, columns, regressors, keep)
        return None
    return ModelData(
        names=list(design.names),
        partitions=[partition for partition, _ in built],
        nobs=nobs,
        dropped=columns.rows - nobs,
        outcome_sum=float(y.sum()),
        clusters=clusters,
    )


def build_model_data(design: Design, columns: Columns, cluster: list[str], npartitions: int | None) -> ModelData:
    columns.require(cluster)
    used = [design.outcome, *design.variables, *cluster]
    # Regressors that are plain columns are checked for NaN as the partitions
    # gather them, in parallel; only when one is found are the rows with a
    # missing value looked for, and the partitions gathered again without them.
    # Formulas that formulaic evaluates, and cluster numbers, need the kept
    # rows before anything is built.
    optimistic = design.sources is not None and not cluster
    keep = rows_to_keep(columns, [design.outcome] if optimistic else used)
    data = _partitioned(design, columns, cluster, keep, npartitions)
    if data is None:
        data = _partitioned(design, columns, cluster, rows_to_keep(columns, used), npartitions)
    return data


def array_model_data(exog: np.ndarray, names: list[str], npartitions: int | None) -> ModelData:
    """The regressors of a fitted model given as one array (a statsmodels
    result's exog), partitioned by row ranges read in place: no copy."""
    nobs = exog.shape[0]
    count = default_npartitions(nobs) if npartitions is None else min(npartitions, max(nobs, 1))
    partitions = [Partition(None, exog[start:stop]) for start, stop in partition_bounds(nobs, count)]
    return ModelData(names=list(names), partitions=partitions, nobs=nobs, dropped=0, outcome_sum=float("nan"))
