"""Which iteration a fit runs, and the start of Newton's.

The core's maximiser runs either iteration (maximizer.hpp), with the same
line search, convergence test, separation and rank handling:

- "bfgs": quasi-Newton from 0. A pass computes l and the gradient only (a
  third of the arithmetic of a pass with the Hessian), and a fit takes
  about seven of them. The right choice where a pass costs its arithmetic.
- "newton": a start from a sample of a few whole partitions, spread evenly
  over the data (the same partitions on every run), read once and fitted
  in memory (at most SAMPLE_ROWS of their rows); then Newton steps on all the rows, every pass computing the
  exact Hessian with l and the gradient, and what the covariance needs.
  Two or three passes over all the rows, the right choice where every pass
  reads the data anew (a Dask frame with its rows not kept in memory).

"auto" takes "newton" where the passes read the files anew: a Dask frame
with persist=False, or persist=None when the sample's rows per partition
show that the rows will not be kept. Where the rows are in memory (pandas,
polars, a persisted Dask frame) it takes the faster, BFGS:
bench/iterations.py at a million rows on two cores finds Newton 1.02 to
1.4 times BFGS's time at k = 5, 20 and 50 (its three passes each form the
Hessian, about what BFGS's seven cost, and its sample, one partition of
four, adds a quarter of a fit).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

METHODS = ("auto", "newton", "bfgs")
# The sample: one partition in SAMPLE_SHARE of them, at least one and at
# most SAMPLE_PARTITIONS; a start within a few standard errors of the
# sample's is all Newton needs to converge in two or three steps.
SAMPLE_SHARE = 1 / 20
SAMPLE_PARTITIONS = 4
# At most this many rows of the sample are fitted, the leading rows of each
# of its partitions alike, so that its memory does not grow with the data's
# partitions (1e6 rows of 20 float64 columns: 160 MB).
SAMPLE_ROWS = 1 << 20
# The sample's own fit: a start needs no more precision than its sampling
# error gives, whatever tol and max_iter the fit asks for.
SAMPLE_TOL = 1e-6
SAMPLE_MAX_ITER = 35


@dataclass(frozen=True)
class Strategy:
    method: str  # "newton" or "bfgs"
    sample_partitions: int = 0  # partitions Newton's start was fitted on (0: none)
    sample_rows: int = 0
    start_from_sample: bool = False  # False: the sample's fit failed, Newton started at 0

    def describe(self, partitions: int) -> str:
        if self.method == "bfgs":
            return "BFGS from 0"
        where = f"{self.sample_partitions} of {partitions} partitions, {self.sample_rows} rows"
        if not self.start_from_sample:
            return f"Newton from 0 (the fit on a sample of {where}, did not converge)"
        return f"Newton from the fit on a sample of {where}"


def method_argument(method) -> str:
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    return method


def sample_positions(npartitions: int) -> list[int]:
    """The partitions of the sample: the middle one of each of m equal runs."""
    count = min(SAMPLE_PARTITIONS, max(1, math.ceil(npartitions * SAMPLE_SHARE)))
    return [(2 * i + 1) * npartitions // (2 * count) for i in range(count)]


def plan(method: str, data, maximize, max_iter: int) -> tuple[np.ndarray | None, Strategy]:
    """The iteration for the data (the one asked for, or by cost: above),
    and Newton's start (None: BFGS from 0). The start is the BFGS estimate
    (maximize, from estimation.py) on the sample of data's partitions, held
    in memory, or 0 when that fit did not converge (no rows or too few to
    identify the model, separation there, a column out of range): the full data
    decide then. With persist=None, whether the rows will be kept in memory
    is told from the sample's rows per partition."""
    reads = data.reads_every_pass
    if method == "bfgs" or max_iter == 0 or (method == "auto" and reads is False):
        return None, Strategy("bfgs")
    positions = sample_positions(data.npartitions)
    rows = data.sample(positions, SAMPLE_ROWS // len(positions))
    if method == "auto" and reads is None and data.fits_in_memory(rows.nobs * data.npartitions / len(positions))[0]:
        return None, Strategy("bfgs")
    outcome = maximize(rows, SAMPLE_MAX_ITER, SAMPLE_TOL, 0, log=False)
    converged = (rows.nobs > 0 and bool(outcome["converged"]) and not outcome["perfectly_predicted"]
                 and not outcome["out_of_range"])
    start = np.ascontiguousarray(outcome["beta"], dtype=np.float64) if converged else np.zeros(data.k)
    return start, Strategy("newton", len(positions), rows.nobs, converged)
