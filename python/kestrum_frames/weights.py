"""Row weights: which column, what a weight means, and the checks of its values.

A frequency weight w (integer) counts its row w times: the fit, every
covariance, nobs and the log-likelihood are those of the data with each row
repeated w times. A probability weight w (any non-negative number) is the
inverse of the row's chance of being sampled: the log-likelihood is
sum w_i l_i and the covariance is always a sandwich of the weighted scores.

Rows whose weight is missing are dropped with the other rows with a missing
value; rows of weight 0 are dropped too (they count in neither nobs nor the
number of clusters) and counted among the dropped rows. A negative,
infinite or (for frequency weights) fractional weight is refused with an
error naming its row.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .frames import Columns

WEIGHT_TYPES = ("frequency", "probability")


@dataclass(frozen=True)
class Weighting:
    column: str
    kind: str  # "frequency" or "probability"

    @property
    def frequency(self) -> bool:
        return self.kind == "frequency"


def weighting(weights, weight_type) -> Weighting | None:
    """The checked weights= and weight_type= arguments."""
    if weight_type not in WEIGHT_TYPES:
        raise ValueError(f"weight_type must be 'frequency' or 'probability', not {weight_type!r}")
    if weights is None:
        return None
    if not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column, not {weights!r}")
    return Weighting(weights, weight_type)


def checked_weights(columns: Columns, weights: Weighting, not_missing: np.ndarray | None) -> np.ndarray:
    """The weights of the rows that not_missing keeps (all when None), as
    float64, with a ValueError naming the first bad one."""
    name = weights.column
    if not columns.is_numeric(name):
        raise ValueError(f"weights column {name!r} must be numeric")
    values = np.asarray(columns.numeric(name), dtype=np.float64)
    if not_missing is not None:
        values = values[not_missing]
    problems = [
        (~np.isfinite(values) | (values < 0.0), "not a finite non-negative number"),
    ]
    if weights.frequency:
        problems.append((values != np.floor(values), "not a whole number (frequency weights count rows)"))
    for bad, what in problems:
        if bad.any():
            first = int(np.flatnonzero(bad)[0])
            row = columns.row_label(first if not_missing is None else int(np.flatnonzero(not_missing)[first]))
            raise ValueError(f"weights column {name!r} holds {float(values[first])!r} in {row}: {what}")
    return values
