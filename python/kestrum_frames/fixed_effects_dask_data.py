"""The partitions of a fixed-effects fit on a Dask DataFrame, built and kept where they live.

Each partition's rows are read where it is (rows with a missing outcome,
regressor or cluster value dropped, a missing fixed-effect value refused),
its levels numbered model-wide (by first appearance, partition by partition,
as the pandas path numbers them), the perfectly classified levels dropped by
the pandas path's rule from level counts, and the rows kept sorted by the
first fixed effect with their sparse level indicators and pairs of levels.
A pass maps a function over the partitions; its per-partition sums are added
on the client in partition order, so that they do not depend on the scheduler.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace

import dask
import numpy as np
import pandas as pd
from scipy import sparse

from .dask_data import _partitions, dask_schema
from .design import Design
from .fixed_effects import _check_fixed_effects, drop_constant_levels, model_rows, regressor_terms
from .frames import Columns
from .progress import compute


@dataclass
class RawPartition:
    """A partition's rows with no missing outcome, regressor or cluster value: y, X and the values of the
    fixed effects (then of the cluster column, when it is not one of them)."""

    y: np.ndarray
    X: np.ndarray
    values: list[np.ndarray]
    dropped: int


@dataclass
class PanelPartition:
    """A partition's rows of the fit: y, X, each row's level of every fixed effect (model-wide, 0..G_f-1)
    and cluster (model-wide). Once final, the rows are sorted by the first fixed effect, as the core's
    demeaning reads them (runs: its levels present and their runs' lengths), with per fixed effect the
    level-by-row indicator, and for each pair f < h of fixed effects each row's pair of levels among the
    partition's (pair_keys: those pairs, as level_f * G_h + level_h)."""

    y: np.ndarray
    X: np.ndarray
    codes: list[np.ndarray]
    cluster: np.ndarray | None
    run_levels: np.ndarray | None = None
    run_lengths: np.ndarray | None = None
    indicators: list = field(default_factory=list)
    pairs: list[np.ndarray] = field(default_factory=list)
    pair_keys: list[np.ndarray] = field(default_factory=list)


@dataclass
class LevelCounts:
    names: list[str]
    counts: list[int]


@dataclass
class DaskPanel:
    """The partitions of a fit (persisted) and what the results report of them."""

    partitions: list
    names: list[str]
    levels: LevelCounts
    labels: list[np.ndarray]
    nobs: int
    outcome_sum: float
    clusters: int | None
    cluster_count: int  # clusters numbered, some perhaps without rows (their sums are 0)
    dropped_missing: int
    separated_levels: dict
    separated_rows: int
    # Per pair f < h of fixed effects: (f, h, its pairs of levels model-wide, per partition their positions).
    pairs: list = field(default_factory=list)


# Building the partitions


def _read(frame: pd.DataFrame, number: int, design: Design, fixed_effects: list[str], cluster: str | None
          ) -> RawPartition:
    columns = Columns(frame, f"partition {number} of data")
    _check_fixed_effects(columns, fixed_effects)
    try:
        keep, y, X, _ = model_rows(design, columns, cluster)
    except ValueError as error:
        raise ValueError(f"partition {number} of data: {error}") from None
    grouped = fixed_effects + ([cluster] if cluster is not None and cluster not in fixed_effects else [])
    values = [np.asarray(columns.series(name)) for name in grouped]
    return RawPartition(y, X, [v if keep is None else v[keep] for v in values], columns.rows - y.shape[0])


def _uniques(part: RawPartition) -> tuple:
    return [pd.unique(values) for values in part.values], part.dropped, part.y.shape[0]


def _coded(part: RawPartition, uniques: list, effects: int) -> PanelPartition:
    codes = [np.asarray(pd.Index(u).get_indexer(v), dtype=np.int64) for u, v in zip(uniques, part.values)]
    return PanelPartition(part.y, part.X, codes[:effects], codes[effects] if len(codes) > effects else None)


def _level_outcomes(part: PanelPartition, f: int, count: int, dropped: list[np.ndarray]) -> tuple:
    """Rows and sum of y per level of fixed effect f among the rows not in a dropped level."""
    keep = _kept_rows(part, dropped)
    level, y = (part.codes[f], part.y) if keep is None else (part.codes[f][keep], part.y[keep])
    return np.bincount(level, minlength=count), np.bincount(level, weights=y, minlength=count)


def _kept_rows(part: PanelPartition, dropped: list[np.ndarray]) -> np.ndarray | None:
    keep = None
    for codes, levels in zip(part.codes, dropped):
        if levels.any():
            out = levels[codes]
            keep = ~out if keep is None else keep & ~out
    return keep


def _final(part: PanelPartition, lookups: list[np.ndarray], counts: list[int], cluster_effect: int | None):
    """The partition's rows of the fit, with the levels numbered among those kept, and its pairs of levels."""
    codes = [lookup[c] for lookup, c in zip(lookups, part.codes)]
    keep = np.logical_and.reduce([c >= 0 for c in codes])
    taken = None if keep.all() else np.flatnonzero(keep)  # the rows kept, then in the order of the first effect
    first = codes[0] if taken is None else codes[0][taken]
    if (first[1:] < first[:-1]).any():
        order = np.argsort(first, kind="stable")
        taken = order if taken is None else taken[order]
    if taken is None:
        y, X, cluster = part.y, part.X, part.cluster
    else:  # X copied once, by the rows' positions
        codes = [c[taken] for c in codes]
        y, X = part.y[taken], np.take(part.X, taken, axis=0)
        cluster = None if part.cluster is None else part.cluster[taken]
    if cluster_effect is not None:
        cluster = codes[cluster_effect]
    starts = np.flatnonzero(np.r_[True, codes[0][1:] != codes[0][:-1]]) if y.shape[0] else np.zeros(0, np.int64)
    rows = np.arange(y.shape[0])
    final = PanelPartition(
        y, X, codes, cluster, run_levels=codes[0][starts], run_lengths=np.diff(np.r_[starts, y.shape[0]]).astype(float),
        indicators=[sparse.csr_matrix((np.ones(y.shape[0]), (c, rows)), shape=(count, y.shape[0]))
                    for c, count in zip(codes, counts)])
    for f in range(len(codes)):
        for h in range(f + 1, len(codes)):
            keys, inverse = np.unique(codes[f] * counts[h] + codes[h], return_inverse=True)
            final.pair_keys.append(keys)
            final.pairs.append(inverse.reshape(-1).astype(np.int64))
    return final


def _final_statistics(part: PanelPartition, cluster_count: int) -> tuple:
    present = None if part.cluster is None else np.bincount(part.cluster, minlength=cluster_count) > 0
    return part.y.shape[0], float(part.y.sum()), present, part.pair_keys


def _map(partitions: list, function, *args) -> list:
    """function(partition, *args) where each partition is, the results in partition order; the
    arguments travel once (one key each), not once per partition."""
    shared = _shared(args)
    task = dask.delayed(_aligned_call, pure=False)
    return compute([task(function, part, *shared) for part in partitions], False)


def _shared(args) -> list:
    """The arguments of a pass, the arrays and lists among them as one task each, sent once."""
    return [dask.delayed(arg, traverse=False) if isinstance(arg, (list, tuple, np.ndarray)) else arg for arg in args]


def _aligned_call(function, part, *args):
    return function(_aligned(part), *(_aligned(arg) for arg in args))


def _aligned(value):
    """value with its arrays aligned for the core's kernels: arrays that travelled between processes may
    arrive unaligned in the received buffer (copied then, else kept)."""
    if isinstance(value, np.ndarray):
        return np.require(value, requirements="A")
    if isinstance(value, (list, tuple)):
        return type(value)(_aligned(item) for item in value)
    if isinstance(value, PanelPartition):
        return replace(value, **{name: _aligned(getattr(value, name))
                                 for name in ("y", "X", "codes", "cluster", "run_levels", "run_lengths")})
    return value


def _persist(partitions: list, function, *args, numbered: bool = False) -> list:
    """function(partition, *args) (or (partition, its number, *args)) where each partition is, kept there."""
    shared = _shared(args)
    task = dask.delayed(function, pure=False)
    return list(dask.persist(*[task(part, *([number] if numbered else []), *shared)
                               for number, part in enumerate(partitions)]))


def dask_panel(formula: str, frame, fixed_effects: list[str], cluster: str | None) -> tuple[Design, DaskPanel]:
    schema = dask_schema(frame)
    _check_fixed_effects(schema, fixed_effects)
    design = Design.from_formula(formula, schema)
    design.learn_from_schema(frame._meta_nonempty, "data")
    if cluster is not None:
        schema.require([cluster], grouping=True)
    kept_terms = regressor_terms(design)  # (refuses a formula of the intercept alone)
    used = list(dict.fromkeys([design.outcome, *design.variables, *fixed_effects, *([cluster] if cluster else [])]))
    raw = _persist(_partitions(frame, used), _read, design, fixed_effects, cluster, numbered=True)
    found = _map(raw, _uniques)
    uniques = [pd.unique(np.concatenate([u[j] for u, _, _ in found])) for j in range(len(found[0][0]))]
    dropped_missing = sum(d for _, d, _ in found)
    if sum(rows for _, _, rows in found) == 0:
        raise ValueError("no rows of data are left once rows with a missing value are dropped")
    effects = len(fixed_effects)
    coded = _persist(raw, _coded, uniques, effects)
    del raw

    # Levels whose outcome never varies, by the in-memory path's rule (one pass per fixed effect and round).
    counts = [len(u) for u in uniques[:effects]]
    dropped = [np.zeros(count, dtype=bool) for count in counts]
    totals = [None] * effects

    def outcome_totals(f):
        parts = _map(coded, _level_outcomes, f, counts[f], dropped)
        totals[f] = (_added([rows for rows, _ in parts]), _added([ones for _, ones in parts]))
        return totals[f]

    def drop(f, constant):
        dropped[f] |= constant

    separated = drop_constant_levels(fixed_effects, outcome_totals, drop)
    # The last round dropped nothing: its totals are those of the rows kept.
    present = [(rows > 0) & ~gone for (rows, _), gone in zip(totals, dropped)]
    if not present[0].any():
        raise ValueError("every level of the fixed effects has a constant outcome: no rows are left to fit beta")
    lookups = [np.where(p, np.cumsum(p) - 1, -1) for p in present]
    kept_counts = [int(p.sum()) for p in present]
    cluster_effect = fixed_effects.index(cluster) if cluster in fixed_effects else None
    partitions = _persist(coded, _final, lookups, kept_counts, cluster_effect)
    del coded
    cluster_count = kept_counts[cluster_effect] if cluster_effect is not None else (
        len(uniques[effects]) if cluster is not None else 0)
    statistics = _map(partitions, _final_statistics, cluster_count)
    nobs = sum(rows for rows, _, _, _ in statistics)
    clusters = None
    if cluster is not None:
        clusters = cluster_count if cluster_effect is not None else int(
            np.logical_or.reduce([p for _, _, p, _ in statistics]).sum())
    pairs, q = [], 0
    for f in range(effects):
        for h in range(f + 1, effects):
            local = [keys[q] for _, _, _, keys in statistics]
            model_keys, positions = np.unique(np.concatenate(local), return_inverse=True)
            bounds = np.cumsum([len(keys) for keys in local])[:-1]
            pairs.append((f, h, model_keys, np.split(positions.reshape(-1), bounds)))
            q += 1
    panel = DaskPanel(
        partitions=partitions, names=[design.names[j] for j in kept_terms],
        levels=LevelCounts(list(fixed_effects), kept_counts),
        labels=[u[p] for u, p in zip(uniques, present)], nobs=nobs,
        outcome_sum=sum(total for _, total, _, _ in statistics), clusters=clusters, cluster_count=cluster_count,
        dropped_missing=dropped_missing, separated_levels=separated,
        separated_rows=sum(rows for _, _, rows in found) - nobs,
        pairs=pairs,
    )
    return design, panel


def _added(parts: list):
    """The partitions' sums added in partition order."""
    total = parts[0].copy() if isinstance(parts[0], np.ndarray) else parts[0]
    for part in parts[1:]:
        total = total + part
    return total


def _index(part: PanelPartition, beta: np.ndarray, effects: list[np.ndarray]) -> np.ndarray:
    """eta = X beta + sum_f e_f[level_f] (products by einsum, not BLAS: its threads would spin beside the tasks)."""
    eta = np.einsum("ij,j->i", part.X, beta)
    for codes, effect in zip(part.codes, effects):
        eta += effect[codes]
    return eta


def level_totals(part: PanelPartition, values: np.ndarray, weights: np.ndarray, pairs: bool = True) -> tuple:
    """A partition's part of a projection's sums: per fixed effect, the level sums of weights * values
    and of the weights (G_f x (p + 1)); the weights of its pairs of levels (when asked); each column's
    largest |value|."""
    weighted = np.column_stack([values * weights[:, None], weights])
    sums = [indicator @ weighted for indicator in part.indicators]
    pair_weights = [np.bincount(pair, weights=weights, minlength=keys.shape[0])
                    for pair, keys in zip(part.pairs, part.pair_keys)] if pairs else None
    scale = np.abs(values).max(axis=0) if values.shape[0] else np.zeros(values.shape[1])
    return sums, pair_weights, scale


def merged_totals(panel: DaskPanel, parts: list, cross: list | None = None) -> tuple:
    """The partitions' level_totals added in partition order: the sums, C[f][h] (sparse G_f x G_h; None
    on the diagonal; those given when the partitions gave no pairs) and the scale."""
    counts = panel.levels.counts
    sums = [_added([p[0][f] for p in parts]) for f in range(len(counts))]
    if cross is None:
        cross = [[None] * len(counts) for _ in counts]
        for q, (f, h, keys, positions) in enumerate(panel.pairs):
            weights = np.zeros(keys.shape[0])
            for p, part in enumerate(parts):  # a pair once per partition: each sum is added in partition order
                weights[positions[p]] += part[1][q]
            pair = sparse.csr_matrix((weights, (keys // counts[h], keys % counts[h])), shape=(counts[f], counts[h]))
            cross[f][h], cross[h][f] = pair, pair.T.tocsr()
    scale = np.maximum.reduce([p[2] for p in parts])
    return sums, cross, np.maximum(scale, np.finfo(float).tiny)
