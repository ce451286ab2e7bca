"""The one interface to a model's rows, whatever kind of frame holds them.

ModelData (pandas, polars, arrays: partitions in memory) and DaskModelData
(a Dask frame's partitions, built where they live) both implement
``ModelRows``; the estimation, the covariances and the results read only
what it lists. ``model_rows`` is the one builder: it reads the formula
against the frame's schema and plans the partitions of the frame's kind.
"""

from __future__ import annotations

from typing import Protocol, runtime_checkable

import numpy as np

from .dask_data import dask_model_data, dask_schema, is_dask_frame
from .design import Design
from .frames import Columns
from .model_data import build_model_data
from .weights import Weighting


@runtime_checkable
class ModelRows(Protocol):
    names: list[str]  # the terms, one per column of X
    nobs: int | None  # rows used (a Dask frame's: None until its first pass counted them)
    dropped: int | None  # rows left out for a missing value or a zero weight
    outcome_sum: float | None  # sum w_i y_i
    weight_sum: float | None  # sum w_i; None: unweighted
    weighting: Weighting | None
    cluster_names: list[str]  # every column any grouping uses
    clusters: dict  # G of each grouping numbered so far
    verbose: bool  # show Dask's progress bar for each pass
    passes: int  # passes over the rows so far

    @property
    def k(self) -> int: ...

    @property
    def npartitions(self) -> int: ...

    @property
    def lazy_frame(self):
        """The Dask frame the rows are read from, or None: rows in memory."""

    def map(self, function, *args) -> list:
        """function(partition, *args) on every partition, results in partition order."""

    def map_sums(self, function, *args) -> list:
        """map for a function that returns a pass's probit sums (the fit's passes)."""

    def cluster_meats(self, beta: np.ndarray, groupings: list[tuple]) -> list[tuple[np.ndarray, int]]:
        """Per grouping, the cluster meat at beta and the number of clusters."""


def model_rows(formula: str, data, cluster: list[str], npartitions: int | None, persist: bool | None,
               verbose: bool, groupings: list[tuple], weighting: Weighting | None) -> tuple[Design, ModelRows]:
    """The design of the formula on data, and the rows of data it uses."""
    if is_dask_frame(data):
        if npartitions is not None:
            raise ValueError("npartitions is for pandas and polars frames: repartition the Dask DataFrame instead")
        design = Design.from_formula(formula, dask_schema(data))
        return design, dask_model_data(design, data, cluster, persist, verbose, weighting)
    columns = Columns(data)
    design = Design.from_formula(formula, columns)
    rows = build_model_data(design, columns, cluster, npartitions, groupings, weighting)
    rows.verbose = verbose
    return design, rows
