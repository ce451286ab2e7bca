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

    def require(self, names, grouping: bool = False) -> None:
        """Check that each name is one column of a type the model can read:
        KeyError for a name that is not a column, ValueError for one that
        several columns share, TypeError for a label that is not a string or
        an unusable type. Columns that only group rows (grouping) may also
        hold dates and durations."""
        labels = list(self._data.columns)
        for name in dict.fromkeys(names):
            count = sum(1 for label in labels if isinstance(label, str) and label == name)
            if count == 0:
                others = [label for label in labels if not isinstance(label, str) and str(label) == name]
                if others:
                    raise TypeError(
                        f"column names must be strings: {self.argument} has the column {others[0]!r} of type "
                        f"{type(others[0]).__qualname__}; rename its columns first, e.g. with "
                        f"{self.argument}.columns = {self.argument}.columns.astype(str)"
                    )
                raise KeyError(f"column {name!r} is not in {self.argument} (its columns: {', '.join(self.names)})")
            if count > 1:
                raise ValueError(f"column {name!r} appears {count} times in {self.argument}: rename the duplicates")
            problem = self._unusable_type(name, grouping)
            if problem is not None:
                raise TypeError(f"column {name!r} of {self.argument} {problem}")

    def _unusable_type(self, name: str, grouping: bool) -> str | None:
        """What is wrong with the column's type, or None: the model reads
        numbers (complex ones excepted), booleans, text and categories."""
        dtype = self._data[name].dtype
        supported = "the columns of a model must hold numbers, booleans, text or categories"
        if self._polars:
            kind = type(dtype).__name__
            if kind in ("Int128", "UInt128", "Decimal"):
                return f"has type {dtype}, which NumPy cannot hold as a number: cast it to polars.Float64 first"
            if dtype.is_temporal():
                return None if grouping else f"holds dates or times ({dtype}): convert it to numbers first"
            if dtype.is_numeric() or kind in ("Boolean", "String", "Categorical", "Enum"):
                return None
            return f"has type {dtype}: {supported}"
        if pd.api.types.is_complex_dtype(dtype):
            return f"is complex ({dtype}), and its imaginary part would be lost: pass its .real or abs() as a column"
        if dtype.kind in "mM":
            return None if grouping else f"holds dates or durations ({dtype}): convert it to numbers first"
        if (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)
                or pd.api.types.is_string_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype)):
            return None
        return f"has type {dtype}: {supported}"

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
            if values.dtype.kind != "f":
                return None
            with np.errstate(all="ignore"):  # a sum is NaN only if a value is (or inf meets -inf)
                if not np.isnan(np.add.reduce(values)):
                    return None
            mask = np.isnan(values)
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
        """Those columns as a pandas DataFrame, for formulaic: text columns
        whose missing value is pd.NA become plain text columns (missing:
        NaN), which formulaic reads as categorical, as it reads object and
        str columns."""
        frame = pd.DataFrame({name: self.series(name) for name in names}) if self._polars else self._data[list(names)]
        text = [name for name in names if _is_text_with_na(frame[name].dtype)]
        if not text:
            return frame
        return frame.assign(**{name: frame[name].astype(object).where(frame[name].notna(), np.nan) for name in text})

    def row_label(self, position: int) -> str:
        """How to name the row at a position in a message."""
        if not self._polars:
            label = self._data.index[position]
            if not (isinstance(label, (int, np.integer)) and label == position):
                return f"row {position} (index {label!r})"
        return f"row {position}"


def _is_text_with_na(dtype) -> bool:
    return isinstance(dtype, pd.StringDtype) and dtype.na_value is pd.NA


def _polars_float64():
    import polars

    return polars.Float64
