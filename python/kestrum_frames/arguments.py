"""Checks of the scalar arguments, with errors that name the argument."""

from __future__ import annotations

import math
import numbers


def integer(value, name: str, minimum: int, optional: bool = False) -> int | None:
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__qualname__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {value}")
    return int(value)


def real(value, name: str) -> float:
    """A real number other than NaN."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__qualname__}")
    if math.isnan(value):
        raise ValueError(f"{name} must be a number, not nan")
    return float(value)


def boolean(value, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def column_names(value, name: str) -> list[str]:
    """None, one column name, or a list of them."""
    if value is None:
        return []
    names = [value] if isinstance(value, str) else value
    if not isinstance(names, (list, tuple)) or not all(isinstance(n, str) for n in names):
        raise TypeError(f"{name} must be a column name or a list of column names, not {value!r}")
    return list(names)
