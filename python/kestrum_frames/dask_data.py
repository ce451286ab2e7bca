"""A model's rows in a Dask DataFrame: built where the partitions live.

Each partition of the frame becomes a ``DaskPartition``: the ``Partition``
of the in-memory path (outcome, regressors, weights) with the partition's
rows dropped and its cluster keys, built by a task that runs
where the partition is (on a ``distributed`` worker, or a thread of a local
scheduler). A pass of the fit sends the task that sums that partition along
with it; only the sums (a few k x k arrays) travel to the client, which adds
them in partition order. So the numbers depend on the partitioning alone,
never on the scheduler or the number of workers.

The model's rows are kept in memory where the tasks run when they fit
easily: after the first pass has counted them, when they take at most half
of the memory free there (``persist=None``), or always (``persist=True``).
Otherwise nothing is kept between passes: each pass rebuilds the partitions
from the frame's own graph (from the Parquet files, say), so memory is
bounded by a few partitions whatever the number of rows.

Cluster-robust fits: every partition sums the scores of its clusters
(numbered by first appearance under the key rule of clusters.py) under
every grouping of the cluster columns that the covariance needs (one per
subset of the clusterings of a multi-way fit) in the same pass. The client
numbers the partitions' clusters model-wide by first appearance and adds
their sums in partition order with the pandas path's own function, so that
the covariance has the bits of a pandas fit on the same partitions. When
those sums would take more than CLIENT_SUMS_BYTES on the client, Dask's
groupby adds them instead: a tree reduction while the clusters are few, a
shuffle into several partitions when they are many (as estimated by a
HyperLogLog sketch of the keys taken in the first pass); its bits depend on
the partitioning only, but they agree with the pandas path's to rounding.
"""

from __future__ import annotations

import contextlib
import operator
import sys
from dataclasses import dataclass, replace

import dask
import numpy as np
import pandas as pd
import psutil

from . import _native
from .design import Design, outcome_values
from .frames import Columns
from .clusters import (
    cell_totals, column_keys, combined_codes, finest_grouping, grouping_meats, key_codes,
    single_row_meats, single_row_parts,
)
from .model_data import ModelData, Partition, leading_rows, missing_cluster_error, nonfinite_regressor_error, rows_to_keep
from .progress import compute, current_client, logger
from .regressors import Regressors
from .weights import Weighting

# The partitions' cluster sums come to the client, which adds them in
# partition order exactly as the pandas path does, while they take at most
# this many bytes (the partitions' clusters, counted in the first pass, times
# k + m doubles, per grouping). Beyond it Dask's groupby adds them in a
# shuffle: the same bits on every scheduler, but agreeing with the pandas
# path only to rounding.
CLIENT_SUMS_BYTES = 1 << 30
# Clusters per output partition of that shuffle; with fewer clusters than
# this, a tree reduction adds them.
SHUFFLE_CLUSTERS = 1 << 20
SKETCH_BITS = 12  # 4096 registers: about 1.6 % error on the number of clusters
# persist=None keeps the rows when they take at most this share of the free memory.
PERSIST_SHARE = 0.5


def is_dask_frame(data) -> bool:
    # A Dask frame exists only once dask.dataframe is imported: asking
    # sys.modules spares every other caller its import (most of a second).
    dd = sys.modules.get("dask.dataframe")
    return dd is not None and isinstance(data, dd.DataFrame)


@dataclass
class Recipe:
    """How a task turns a pandas partition into a Partition."""

    design: Design
    used: list[str]  # every column the model reads
    cluster: list[str]
    meta: pd.DataFrame  # the frame's meta, of the used columns: what every partition must hold
    weights: Weighting | None = None


def _check_schema(columns: Columns, recipe: Recipe) -> None:
    """A partition's columns are those of the frame's meta, and numbers
    where the meta has numbers (the model would read text where numbers
    were expected, or the reverse)."""
    columns.require([recipe.design.outcome, *recipe.design.variables])
    columns.require(recipe.cluster, grouping=True)
    schema = Columns(recipe.meta)
    for name in recipe.used:
        if columns.is_numeric(name) != schema.is_numeric(name):
            raise TypeError(
                f"column {name!r} of {columns.argument} has type {columns.series(name).dtype}, where data's meta "
                f"says {recipe.meta[name].dtype}: every partition must hold the types of the meta"
            )


@dataclass
class DaskPartition(Partition):
    """A partition of a Dask frame: besides the model's rows, the rows
    dropped for a missing value or a zero weight, whether a regressor was
    among the missing, and the keys of the rows kept, one array per cluster
    column (clusters.column_keys)."""

    dropped: int = 0
    missing_regressors: bool = False
    cluster_keys: list | None = None


def _cluster_keys(columns: Columns, names: list[str], keep: np.ndarray | None) -> list[np.ndarray]:
    """The keys of the rows kept, one array per cluster column."""
    return [column_keys(columns, name, keep) for name in names]


def _model_rows(columns: Columns, recipe: Recipe, checked: list[str], gather: bool, scan: bool):
    """keep, y, X, the weights and whether a regressor is NaN or infinite,
    for the rows with no value missing in the checked columns (nor in the
    weights) and no zero weight. X is a row-major block when gathered, else
    the list of its columns, which the kernels read a tile at a time; those
    are looked through only when scan is asked. With every used column
    checked, such a regressor is an error."""
    keep, weights = rows_to_keep(columns, checked, recipe.weights)
    # Columns that arrived from another process may sit unaligned in the
    # received buffer; the kernels read aligned doubles.
    y = np.require(outcome_values(recipe.design, columns, keep), requirements="A")
    regressors = [c if c is None else np.require(c, requirements="A")
                  for c in recipe.design.regressor_columns(columns, keep)]
    if gather or all(c is None for c in regressors):
        block, nonfinite = _native.gather_columns(regressors, 0, y.shape[0])
        X = Regressors(block)
    else:
        X = Regressors(regressors)
        nonfinite = scan and X.nonfinite()
    if nonfinite and set(checked) >= set(recipe.used):
        raise nonfinite_regressor_error(recipe.design, columns, regressors, keep)
    return keep, y, X, weights, nonfinite


def build_partition(
    frame: pd.DataFrame, recipe: Recipe, number: int, gather: bool = True, missing: bool | None = None
) -> DaskPartition:
    """The model's rows of one partition, without those with a missing value.

    Regressors that are plain columns are first taken as they are, and only
    when one of them holds a NaN are the rows looked through for missing
    values. missing says whether that happened in an earlier pass over the
    same partition (None: not known, look). Without gather, X is left as its
    columns: for a partition that lives only as long as its task."""
    columns = Columns(frame, f"partition {number} of data")
    _check_schema(columns, recipe)
    design = recipe.design
    optimistic = design.sources is not None and missing is not True
    checked = [design.outcome, *recipe.cluster] if optimistic else recipe.used
    try:
        keep, y, X, weights, nonfinite = _model_rows(columns, recipe, checked, gather, scan=missing is None)
        if optimistic and nonfinite:
            keep, y, X, weights, _ = _model_rows(columns, recipe, recipe.used, gather, scan=True)
    except ValueError as error:
        raise ValueError(f"partition {number} of data: {error}") from None
    partition = DaskPartition(y, X, weights, dropped=columns.rows - y.shape[0], missing_regressors=bool(nonfinite))
    if recipe.cluster:
        partition.cluster_keys = _cluster_keys(columns, recipe.cluster, keep)
    return partition


def _statistics(partition: DaskPartition) -> tuple:
    """Rows, rows dropped, sum of the (weighted) outcome, sum of the weights
    (None: unweighted), the clusters of all the cluster columns together
    and a sketch of their keys, and whether a regressor was missing."""
    clusters = sketch = None
    if partition.cluster_keys is not None:  # a sketch ignores repeats: the keys of each cluster's first row do
        keys, _ = _local_clusters(partition.cluster_keys)
        clusters = len(keys[0])
        from dask.dataframe import hyperloglog

        sketch = hyperloglog.compute_hll_array(pd.DataFrame(dict(enumerate(keys))), SKETCH_BITS)
    weights = partition.weights
    # (not y @ w: BLAS threads would spin beside the passes)
    outcome_sum = float(partition.y.sum() if weights is None else (partition.y * weights).sum())
    weight_sum = None if weights is None else float(weights.sum())
    return (partition.y.shape[0], partition.dropped, outcome_sum, weight_sum, clusters, sketch,
            partition.missing_regressors)


def _local_clusters(keys: list[np.ndarray]) -> tuple[list[np.ndarray], np.ndarray]:
    """The keys of a partition's clusters under the combination of the key
    columns, in order of first appearance (one array per column), and the
    cluster of each row, numbered in that order."""
    numbers, _, first = combined_codes([key_codes(column) for column in keys], True)
    return [column[first] for column in keys], numbers


def _cluster_partials(partition: DaskPartition, beta: np.ndarray, grouping: tuple) -> tuple:
    """The keys of the partition's clusters under a grouping (one array per
    column of the grouping, in order of first appearance) and their score
    sums (one row each), from one native pass over the rows."""
    keys, numbers = _local_clusters([partition.cluster_keys[j] for j in grouping])
    sums = _native.cluster_score_sums(partition.y, partition.X.source, beta, numbers, len(keys[0]), partition.weights)
    return keys, sums


def _cell_or_single_row_partials(partition: DaskPartition, beta: np.ndarray, finest: tuple,
                                 others: list[tuple]) -> tuple:
    """The keys of the partition's cells under the finest grouping; and
    their score sums, or (where each of its cells is one row) None with the
    partition's meat of single rows and the partials of the other groupings
    (their keys and score sums), from one native pass (single_row_parts)."""
    keys, numbers = _local_clusters([partition.cluster_keys[j] for j in finest])
    rows = partition.y.shape[0]
    if len(keys[0]) < rows:
        return keys, _native.cluster_score_sums(partition.y, partition.X.source, beta, numbers, len(keys[0]),
                                                partition.weights), None
    local = [_local_clusters([partition.cluster_keys[j] for j in grouping]) for grouping in others]
    meat, sums = single_row_parts(partition, beta, [(numbers, len(keys[0])) for keys, numbers in local])
    return keys, None, (meat, [(keys, part) for (keys, _), part in zip(local, sums)])


def model_wide_count(keys: list[list[np.ndarray]]) -> int:
    """The number of clusters model-wide from each partition's keys of its clusters."""
    columns = [np.concatenate([part[j] for part in keys]) for j in range(len(keys[0]))]
    return combined_codes([key_codes(column) for column in columns])[1]


def model_wide_sums(partials: list[tuple[list[np.ndarray], np.ndarray]]) -> tuple[list[np.ndarray], list[np.ndarray]]:
    """The score sums of every cluster from the partitions' partial sums,
    and each cluster's keys: the clusters numbered model-wide by first
    appearance (partition order, then row order, as the pandas path numbers
    them) and their partial sums added in partition order, by the pandas
    path's own function."""
    columns = [np.concatenate([keys[j] for keys, _ in partials]) for j in range(len(partials[0][0]))]
    numbers, clusters, first = combined_codes([key_codes(column) for column in columns], True)
    bounds = np.cumsum([len(sums) for _, sums in partials])[:-1]
    # Sums that came from another process may sit unaligned in the received buffer.
    sums = [np.require(sums, requirements="A") for _, sums in partials]
    totals = cell_totals(list(zip(np.split(numbers, bounds), sums)), clusters)
    return totals, [column[first] for column in columns]


def _partial_frame(partial: tuple, grouping: tuple, k: int) -> pd.DataFrame:
    """A partition's partial sums as a frame for Dask's groupby: key
    columns k{j} (named by position among all the cluster columns), then s0 ... s{k-1}."""
    keys, sums = partial
    columns = {f"k{j}": column for j, column in zip(grouping, keys)}
    columns.update({f"s{j}": sums[:, j] for j in range(k)})
    return pd.DataFrame(columns)


def _meat_of_groups(groups: pd.DataFrame) -> tuple[int, np.ndarray]:
    """Clusters and sum_c g_c g_c' of one partition of the cluster sums, in key order."""
    ordered = groups.sort_index()
    return len(ordered), _native.cluster_meat(np.ascontiguousarray(ordered.to_numpy(np.float64)))


def _partitions(frame: dd.DataFrame, used: list[str]) -> list:
    """The frame's partitions as delayed objects, holding the used columns
    (so that Parquet files are read for those columns only)."""
    try:
        return frame[used].to_delayed()
    except ValueError:
        # Dask cannot push a column selection through every expression
        # (categorize() is one); the partitions then select them.
        return [dask.delayed(operator.getitem)(part, used) for part in frame.to_delayed()]


def _aligned(partition: DaskPartition) -> DaskPartition:
    """A partition the kernels can read: one that travelled between workers
    may arrive in buffers that are not aligned for doubles."""
    weights = None if partition.weights is None else np.require(partition.weights, requirements="AC")
    return replace(
        partition,
        y=np.require(partition.y, requirements="A"),
        X=partition.X.aligned(),
        weights=weights,
    )


def _added_cluster_keys(frame: pd.DataFrame, recipe: Recipe, number: int, names: list[str]) -> list[np.ndarray]:
    """The keys of more cluster columns at the rows of a partition the fit
    used (with_vcov); a column without a value in one of them is refused."""
    columns = Columns(frame, f"partition {number} of data")
    columns.require(names, grouping=True)
    keep, _ = rows_to_keep(columns, recipe.used, recipe.weights)
    for name in names:
        missing = columns.missing(name)
        if missing is not None and keep is not None:
            missing = missing & keep
        if missing is not None and missing.any():
            raise missing_cluster_error(name, f"{columns.row_label(int(np.flatnonzero(missing)[0]))} of partition {number}")
    return _cluster_keys(columns, names, keep)


def _pass_task(source, recipe: Recipe | None, number: int, missing: bool | None, added_keys, function,
               counting: bool, *args):
    """function over one partition: built here from the frame's partition
    (so that the rows never travel), or a persisted one, with the keys of
    cluster columns added since. The first pass also counts the partition's rows."""
    if recipe is None:
        partition = _aligned(source)
    else:
        partition = build_partition(source, recipe, number, gather=False, missing=missing)
    if added_keys is not None:
        partition = replace(partition, cluster_keys=(partition.cluster_keys or []) + added_keys)
    result = function(partition, *args)
    return (result, _statistics(partition)) if counting else result


def _sample_task(source, recipe: Recipe | None, number: int, rows: int) -> Partition:
    """A partition of the sample, its first rows, with its regressors
    row-major: it travels to the client. No cluster keys: the sample's fit
    needs none."""
    if recipe is None:
        return leading_rows(replace(_aligned(source), cluster_keys=None), rows)
    return leading_rows(build_partition(source, replace(recipe, cluster=[]), number), rows)


class DaskModelData:
    """The rows of a model as the partitions of a Dask DataFrame; the same
    interface as ModelData (names, nobs, map), counted in the first pass."""

    def __init__(
        self,
        design: Design,
        frame: dd.DataFrame,
        cluster: list[str],
        persist: bool | None,
        verbose: bool,
        weights: Weighting | None = None,
    ):
        weight_column = [weights.column] if weights else []
        used = list(dict.fromkeys([design.outcome, *design.variables, *cluster, *weight_column]))
        self.frame = frame
        self.names = list(design.names)
        self.cluster_names = cluster
        self.weighting = weights
        self.verbose = verbose
        self.passes = 0
        self.nobs = self.dropped = self.outcome_sum = self.weight_sum = None
        self.clusters = {}  # G of each grouping summed so far
        self._cluster_sketch = None
        self._partition_clusters = None  # sum over the partitions of their clusters under all the cluster columns
        self._missing = None  # per partition, once counted: whether a regressor was missing
        self._used = used
        self._recipe = Recipe(design, used, cluster, frame._meta[used], weights)
        self._rows_recipe = self._recipe  # which rows the fit uses, also once the partitions are persisted
        self._added_keys = None  # per partition, the keys of cluster columns with_vcov added
        self._sources = _partitions(frame, used)
        self._persist_when_counted = persist is None
        if persist:
            with self._partition_named():
                self._persist()

    def _persist(self) -> None:
        """Build the partitions once and keep them where they were built."""
        build = dask.delayed(build_partition, pure=True)
        missing = self._missing or [None] * len(self._sources)
        built = [build(part, self._recipe, p, missing=missing[p]) for p, part in enumerate(self._sources)]
        self._sources = list(dask.persist(*built))
        self._recipe = None

    @property
    def k(self) -> int:
        return len(self.names)

    @property
    def lazy_frame(self) -> dd.DataFrame:
        return self.frame

    @property
    def npartitions(self) -> int:
        return len(self._sources)

    @property
    def reads_every_pass(self) -> bool | None:
        """Whether every pass builds the partitions anew from the frame's
        source (its files): True with persist=False, False once the rows are
        kept, None (not known) with persist=None before the first pass has
        counted the rows (fits_in_memory tells from an estimate of them)."""
        if self._recipe is None:
            return False
        return None if self._persist_when_counted and self.nobs is None else True

    def sample(self, positions: list[int], rows: int) -> ModelData:
        """The partitions at positions, built where they live, each cut to
        its first rows and brought here, as an in-memory ModelData (Newton's
        start: strategy.py). Not a pass: passes (and verbose's progress
        bars) count the passes over every partition."""
        task = dask.delayed(_sample_task, pure=False)
        with self._partition_named():
            partitions = compute([task(self._sources[p], self._recipe, p, rows) for p in positions], False)
        return ModelData(
            names=self.names, partitions=partitions, nobs=sum(part.y.shape[0] for part in partitions), dropped=0,
            outcome_sum=float("nan"), weighting=self.weighting,
        )

    def _tasks(self, function, args, counting=False) -> list:
        task = dask.delayed(_pass_task, pure=False)
        missing = self._missing or [None] * len(self._sources)
        added = self._added_keys or [None] * len(self._sources)
        return [
            task(source, self._recipe, p, missing[p], added[p], function, counting, *args)
            for p, source in enumerate(self._sources)
        ]

    def add_cluster_columns(self, names: list[str], data=None) -> None:
        """More cluster columns, read from the frame's partitions at the rows
        the fit used and kept where they were read (for another covariance
        at the estimate). A column without a value in one of those rows is
        refused: the estimate cannot drop rows."""
        Columns(self.frame._meta).require(names, grouping=True)
        read = dask.delayed(_added_cluster_keys, pure=True)
        sources = _partitions(self.frame, list(dict.fromkeys(self._used + names)))
        keys = [read(part, self._rows_recipe, p, names) for p, part in enumerate(sources)]
        if self._added_keys is not None:
            keys = [dask.delayed(operator.add)(before, new) for before, new in zip(self._added_keys, keys)]
        self._added_keys = list(dask.persist(*keys))
        self.cluster_names = self.cluster_names + names
        self._partition_clusters = self.nobs  # a partition has at most a cluster per row
        self._cluster_sketch = self.nobs

    def map(self, function, *args) -> list:
        """function(partition, *args) for every partition, computed where the
        partition is; the results in partition order. The first call also
        counts the rows."""
        self.passes += 1
        if self.nobs is not None:
            return compute(self._tasks(function, args), self.verbose)
        with self._partition_named():
            results, statistics = zip(*compute(self._tasks(function, args, counting=True), self.verbose))
        self._count(statistics)
        if self._persist_when_counted:
            self._persist_if_it_fits()
        return list(results)

    def map_sums(self, function, *args) -> list:
        """map: a Dask partition is looked through for NaN and infinities as it is built."""
        return self.map(function, *args)

    @contextlib.contextmanager
    def _partition_named(self):
        """The first computation over the partitions: a KeyError raised as
        a partition was read (Dask selects the model's columns there), when
        a partition lacks a column of the meta, names that partition."""
        try:
            yield
        except KeyError as error:
            check = dask.delayed(_lacking, pure=True)
            lacking = compute([check(part, self._used) for part in self.frame.to_delayed()], False)
            for number, names in enumerate(lacking):
                if names:
                    raise KeyError(
                        f"partition {number} of data lacks the column(s) {', '.join(map(repr, names))} of data's meta"
                    ) from error
            raise

    def fits_in_memory(self, nobs: float) -> tuple[bool, float, int | None]:
        """Whether persist=None keeps nobs rows in memory (at most half the
        free memory), the bytes they take and the bytes free."""
        weighted = self.weighting is not None
        needed = nobs * (self.k + 1 + len(self.cluster_names) + weighted) * 8  # X, y, cluster values, weights
        free = _free_memory()
        return free is not None and needed <= PERSIST_SHARE * free, needed, free

    def _persist_if_it_fits(self) -> None:
        fits, needed, free = self.fits_in_memory(self.nobs)
        if fits:
            logger.info("keeping the model's rows in memory: %.3g GB of %.3g GB free", needed / 1e9, free / 1e9)
            self._persist()
        else:
            logger.info("reading the model's rows anew on every pass: they would take %.3g GB", needed / 1e9)

    def _count(self, statistics) -> None:
        rows, dropped, outcome_sums, weight_sums, clusters, sketches, missing = zip(*statistics)
        nobs = sum(rows)
        if nobs == 0:
            raise ValueError("no rows of data are left once rows with a missing value or a zero weight are dropped")
        self.nobs = nobs
        self.dropped = sum(dropped)
        self.outcome_sum = sum(outcome_sums)
        self.weight_sum = None if self.weighting is None else sum(weight_sums)
        self._missing = list(missing)
        if self.cluster_names:
            self._partition_clusters = sum(clusters)
            from dask.dataframe import hyperloglog

            self._cluster_sketch = hyperloglog.estimate_count(np.concatenate(sketches), SKETCH_BITS)

    def cluster_meats(self, beta: np.ndarray, groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
        """Per grouping, sum_c g_c g_c' over the clusters and their number
        G, from the partitions' score sums by cell of the finest grouping,
        in one pass: added on the client in partition order as the pandas
        path adds them (the same bits), or by Dask's groupby when they would
        not fit there (CLIENT_SUMS_BYTES)."""
        finest = finest_grouping(groupings)
        needed = self._partition_clusters * (self.k + len(finest)) * 8
        if needed > CLIENT_SUMS_BYTES:
            logger.info("adding the cluster sums in a shuffle: they would take %.3g GB on the client", needed / 1e9)
            self.passes += 1
            results = self._shuffled_cluster_meats(self._tasks(_cluster_partials, (beta, finest)), finest, groupings)
        else:
            results = self._client_cluster_meats(beta, finest, groupings)
        for grouping, (_, clusters) in zip(groupings, results):
            self.clusters[grouping] = clusters
        return list(results)

    def _client_cluster_meats(self, beta: np.ndarray, finest: tuple, groupings: list[tuple]) -> list:
        """The meats from the partitions' sums added on the client; where
        every cell of the finest grouping is one row, from the partitions'
        meats of single rows and the other groupings' sums, as the pandas path
        forms them (ModelData._single_row_cell_meats)."""
        others = [grouping for grouping in groupings if grouping != finest]
        parts = compute(self._tasks(_cell_or_single_row_partials, (beta, finest, others)), self.verbose)
        self.passes += 1
        single_rows = all(sums is None for _, sums, _ in parts)
        if single_rows and model_wide_count([keys for keys, _, _ in parts]) == self.nobs:
            summed = {}
            for m, grouping in enumerate(others):
                totals, keys = model_wide_sums([partials[m] for _, _, (_, partials) in parts])
                if len(keys[0]) < self.nobs:  # a grouping of single rows has the rows' product sum
                    summed[grouping] = totals
            return single_row_meats([meat for _, _, (meat, _) in parts], summed, self.nobs, groupings)
        if any(sums is None for _, sums, _ in parts):  # cells of one row in some partitions only, or spread over two
            parts = compute(self._tasks(_cluster_partials, (beta, finest)), self.verbose)
            self.passes += 1
        totals, cell_keys = model_wide_sums([(keys, sums) for keys, sums, *_ in parts])
        return grouping_meats(totals, cell_keys, finest, groupings)

    def _shuffled_cluster_meats(self, parts: list, finest: tuple, groupings: list[tuple]) -> list:
        split_out = max(1, int(np.ceil(self._cluster_sketch / SHUFFLE_CLUSTERS)))
        frames = [dask.delayed(_partial_frame, pure=True)(part, finest, self.k) for part in parts]
        import dask.dataframe as dd

        sums = dd.from_delayed(frames, meta=self._partial_meta(finest), verify_meta=False)
        pieces = []
        for grouping in groupings:
            keys = [f"k{j}" for j in grouping]
            grouped = sums[keys + [f"s{j}" for j in range(self.k)]].groupby(keys, sort=False).sum(
                split_out=split_out, shuffle_method="tasks"
            )
            pieces.append([dask.delayed(_meat_of_groups, pure=True)(piece) for piece in grouped.to_delayed()])
        counted = compute(pieces, self.verbose)
        results = []
        for grouping_pieces in counted:
            meat = grouping_pieces[0][1]
            for _, piece in grouping_pieces[1:]:
                meat = meat + piece  # partition order: the same bits on any scheduler
            results.append((meat, sum(clusters for clusters, _ in grouping_pieces)))
        return results

    def _partial_meta(self, grouping: tuple) -> pd.DataFrame:
        schema = Columns(self.frame._meta)
        columns = {}
        for j in grouping:
            numeric = schema.is_numeric(self.cluster_names[j])
            columns[f"k{j}"] = pd.Series([], dtype=np.int64 if numeric else object)
        for j in range(self.k):
            columns[f"s{j}"] = pd.Series([], dtype=np.float64)
        return pd.DataFrame(columns)


def _lacking(frame: pd.DataFrame, names: list[str]) -> list[str]:
    present = set(frame.columns)
    return [name for name in names if name not in present]


def _free_memory() -> int | None:
    """Bytes free where the tasks run: on the workers of a distributed
    client (None when one has no memory limit), else on this machine."""
    client = current_client()
    if client is None:
        return psutil.virtual_memory().available
    workers = list(client.scheduler_info()["workers"].values())
    if not workers or any(not worker.get("memory_limit") for worker in workers):
        return None
    return sum(max(0, worker["memory_limit"] - worker["metrics"]["memory"]) for worker in workers)


def dask_schema(frame: dd.DataFrame) -> Columns:
    """The columns' names and types of a Dask frame, from its meta (no partition is read)."""
    return Columns(frame._meta)


def dask_model_data(
    design: Design,
    frame: dd.DataFrame,
    cluster: list[str],
    persist: bool | None,
    verbose: bool,
    weights: Weighting | None = None,
):
    """Check the frame's schema against the model and plan the partitions."""
    schema = Columns(frame._meta)
    schema.require(cluster, grouping=True)
    schema.require([weights.column] if weights else [])
    if weights is not None and not schema.is_numeric(weights.column):
        raise ValueError(f"weights column {weights.column!r} must be numeric")
    design.learn_from_schema(frame._meta_nonempty, "data")
    return DaskModelData(design, frame, cluster, persist, verbose, weights)
