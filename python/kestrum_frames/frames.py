"""The columns of a pandas or polars DataFrame, as NumPy arrays.

Everything after this module sees a frame through ``Columns``: named
columns of a known length, numeric ones as NumPy arrays (float64 with NaN
for a missing value), the others as pandas Series (for formulaic's
categorical terms and for cluster codes).
"""

from __future__ import annotations

import numpy as np
import pandas as pd


def _is_polars(data) -> bool:
    module = type(data).__module__
    return module.startswith("polars") and type(data).__name__ == "DataFrame"


class Columns:
    """Read access to the columns of one DataFrame, without copying what
    NumPy can view in place."""

    def __init__(self, data, argument: str = "data"):
        if isinstance(data, pd.DataFrame):
            self._polars = False
        elif _is_polars(data):
            self._polars = True
        else:
            raise TypeError(f"{argument} must be a pandas, polars or Dask DataFrame, not {type(data).__qualname__}")
        self._data = data
        self.argument = argument
        self.names = [str(name) for name in data.columns]
        self.rows = data.height if self._polars else len(data)

    def require(self, names) -> None:
        """KeyError for the first name that is not a column."""
        known = set(self.names)
        for name in names:
            if name not in known:
                raise KeyError(f"column {name!r} is not in {self.argument} (its columns: {', '.join(self.names)})")

    def is_numeric(self, name: str) -> bool:
        """Numbers or booleans: a term that is such a column enters as is."""
        if self._polars:
            dtype = self._data[name].dtype
            return dtype.is_numeric() or dtype.__class__.__name__ == "Boolean"
        dtype = self._data[name].dtype
        return pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)

    def numeric(self, name: str) -> np.ndarray:
        """A numeric column as a 1-D array: float64 with NaN where a value is
        missing, or the column's own integer or bool array when nothing can
        be missing. A view of the frame's memory where possible."""
        if self._polars:
            series = self._data[name]
            if series.null_count() > 0:
                return series.cast(_polars_float64()).to_numpy()
            return series.to_numpy()
        series = self._data[name]
        if isinstance(series.dtype, np.dtype):
            return series.to_numpy()
        # Extension dtypes (nullable Int64, Float64, boolean, Arrow): NA becomes NaN.
        return series.to_numpy(dtype=np.float64, na_value=np.nan)

    def series(self, name: str) -> pd.Series:
        """Any column as a pandas Series."""
        return self._data[name].to_pandas() if self._polars else self._data[name]

    def missing(self, name: str) -> np.ndarray | None:
        """Where the column has no value (NaN, None, null, NA); None when
        it has none missing."""
        if self.is_numeric(name):
            values = self.numeric(name)
            mask = np.isnan(values) if values.dtype.kind == "f" else None
        else:
            mask = self.series(name).isna().to_numpy()
        return mask if mask is not None and mask.any() else None

    def missing_in_any(self, names) -> np.ndarray | None:
        """Where any of the columns has no value; None when none lacks one."""
        missing = None
        for name in dict.fromkeys(names):
            mask = self.missing(name)
            if mask is not None:
                missing = mask if missing is None else missing | mask
        return missing

    def frame(self, names) -> pd.DataFrame:
        """Those columns as a pandas DataFrame."""
        if self._polars:
            return pd.DataFrame({name: self.series(name) for name in names})
        return self._data[list(names)]

    def row_label(self, position: int) -> str:
        """How to name the row at a position in a message."""
        if not self._polars:
            label = self._data.index[position]
            if not (isinstance(label, (int, np.integer)) and label == position):
                return f"row {position} (index {label!r})"
        return f"row {position}"


def _polars_float64():
    import polars

    return polars.Float64
