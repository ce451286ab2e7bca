"""The regressors of a range of rows, as the native kernels read them.

The kernels take X as one tile source of either storage: the k columns side
by side (each a contiguous float64 vector, None for the intercept's ones:
views of a frame's own columns, never copied) or one row-major (n, k)
float64 block (a gathered partition, a model's exog). ``Regressors`` holds
one of the two and is all the rest of the package sees of X: a kernel gets
``source``, everything else asks for rows, a column or the block.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _native


@dataclass(frozen=True)
class Regressors:
    source: list | np.ndarray  # the columns (at least one not None), or an (n, k) block

    @property
    def by_column(self) -> bool:
        return isinstance(self.source, list)

    @property
    def nrows(self) -> int:
        if self.by_column:
            return next(len(column) for column in self.source if column is not None)
        return self.source.shape[0]

    def rows(self, start: int, stop: int) -> Regressors:
        """Rows [start, stop), read in place."""
        if self.by_column:
            return Regressors([None if column is None else column[start:stop] for column in self.source])
        return Regressors(self.source[start:stop])

    def copy(self) -> Regressors:
        """Copies of the arrays, so that what they are views of may be freed."""
        if self.by_column:
            return Regressors([None if column is None else np.array(column) for column in self.source])
        return Regressors(np.array(self.source))

    def aligned(self) -> Regressors:
        """Arrays aligned for doubles (a partition that travelled between
        workers may arrive in buffers that are not)."""
        if self.by_column:
            return Regressors([None if column is None else np.require(column, requirements="A")
                               for column in self.source])
        return Regressors(np.require(self.source, requirements="A"))

    def column(self, j: int) -> np.ndarray:
        """Column j, the intercept's ones included."""
        if not self.by_column:
            return self.source[:, j]
        column = self.source[j]
        return np.ones(self.nrows) if column is None else column

    def block(self) -> np.ndarray:
        """The rows as one row-major (n, k) array."""
        return _native.gather_columns(self.source, 0, self.nrows)[0] if self.by_column else self.source

    def nonfinite(self) -> bool:
        """Whether a value is NaN or infinite. A sum is finite only when every
        term is (or it overflows), so one reduction per column (no temporary)
        clears it; only a column whose sum is not finite is looked through."""
        if not self.by_column:
            return not np.isfinite(self.source).all()
        with np.errstate(all="ignore"):  # a sum may overflow, or meet inf - inf
            return any(not np.isfinite(np.add.reduce(c)) and not np.isfinite(c).all()
                       for c in self.source if c is not None)
