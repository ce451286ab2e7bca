"""The model matrix of rows whose variables are set to other values.

A marginal effect asks what the regressors of a row become when one of the
variables they are made from changes: ``exper`` moves every column built
from it (``exper``, ``I(exper ** 2)``, ``exper:city``), a level of ``C(educ)``
switches its dummies and every interaction with them. A ``RowBuilder``
knows, for the formula machinery that built the fit's matrix, which columns
each variable feeds and how to rebuild only those columns for a frame of
rows with that variable replaced.

Three builders share the interface:
- ``FormulaicRows``: a formulaic ModelSpec (kestrum_frames fits by formula);
- ``PlainRows``: terms that are numeric columns by name (``y ~ x1 + x2``),
  whose derivatives are known exactly;
- ``PatsyRows``: a patsy DesignInfo (statsmodels' formula API).
"""

from __future__ import annotations

import ast
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from . import polynomials


@dataclass
class Variable:
    """A variable of the data the regressors are made from."""

    name: str
    columns: list[int]  # the columns of X it feeds, in the order its rows are rebuilt
    levels: list | None = None  # a categorical variable's levels; None for a numeric one
    base: object = None  # the reference level of a categorical one
    labels: list[str] = field(default_factory=list)  # per level, as it is written in a row label

    @property
    def categorical(self) -> bool:
        return self.levels is not None


def _expression_names(expression: str) -> set[str]:
    try:
        tree = ast.parse(expression, mode="eval")
    except SyntaxError:  # a quoted name that is not an identifier
        return {expression.strip("`")}
    return {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}


def level_label(level) -> str:
    if isinstance(level, (bool, np.bool_)):
        return str(bool(level))
    if isinstance(level, (float, np.floating)) and float(level).is_integer():
        return str(int(level))
    return str(level)


def constant_column(template: pd.Series, value, rows: int):
    """A column of `rows` copies of value, of template's kind: a pandas
    categorical keeps its categories, so that formulas read the same levels."""
    if isinstance(template.dtype, pd.CategoricalDtype):
        return pd.Categorical.from_codes(np.full(rows, template.cat.categories.get_loc(value)),
                                         dtype=template.dtype)
    if pd.api.types.is_bool_dtype(template.dtype):
        return np.full(rows, bool(value))
    if pd.api.types.is_numeric_dtype(template.dtype):
        return np.full(rows, value, dtype=np.float64)
    return np.array([value] * rows, dtype=object)


def central_differences(v: np.ndarray, scale, columns, together: bool = False) -> np.ndarray:
    """d x / d v of columns(values) (n x c) at v, by central differences at
    v -/+ h_i with h_i = 1e-5 max(|v_i|, 1e-3 scale) (scale: the mean of |v|
    over the partition, or a function of no arguments giving it): exact but
    for rounding for terms of degree 2 or less in v, and with a relative
    error of order h^2 for the others. together: columns takes the 2n
    values of both points in one call."""
    scale = scale() if callable(scale) else scale
    floor = 1e-3 * scale if scale > 0 else 1.0
    h = 1e-5 * np.maximum(np.abs(v), floor)
    up, down = v + h, v - h
    step = up - down  # the step as rounded, so that the quotient is the slope of the points used
    if together:
        both = columns(np.concatenate([up, down]))
        return (both[:v.size] - both[v.size:]) / step[:, None]
    return (columns(up) - columns(down)) / step[:, None]


class RowBuilder:
    """names: the columns of X. variables: the Variables, in the order of the
    first column each feeds."""

    names: list[str]
    variables: list[Variable]

    def matrix(self, frame: pd.DataFrame) -> np.ndarray:
        """X of the rows, n x k float64."""
        raise NotImplementedError

    def columns(self, frame: pd.DataFrame, variable: Variable, values) -> np.ndarray:
        """The columns variable.columns of X for the rows of frame with the
        variable set to values (an array or a column), n x c float64."""
        raise NotImplementedError

    def derivative(self, frame: pd.DataFrame, variable: Variable, scale) -> np.ndarray:
        """d x / d v of the columns variable.columns, n x c, by central
        differences (central_differences, which takes scale)."""
        v = frame[variable.name].to_numpy(dtype=np.float64)
        return central_differences(v, scale, lambda values: self.columns(frame, variable, values))

    def derivative_columns(self, frame: pd.DataFrame, variable: Variable, scale) -> list[np.ndarray]:
        """The columns of derivative(), each 1-D of n float64 at any stride,
        as the native sums read them: a derivative of 1 is one value seen n
        times, a column of the data is read where it is."""
        d = self.derivative(frame, variable, scale)
        return [d[:, j] for j in range(d.shape[1])]

    def at(self, frame: pd.DataFrame, variable: Variable, value) -> np.ndarray:
        """The columns variable.columns for the rows of frame with the
        variable set to value in every row, n x c float64."""
        return self.columns(frame, variable, constant_column(frame[variable.name], value, len(frame)))

    def variable(self, name: str) -> Variable:
        for variable in self.variables:
            if variable.name == name:
                return variable
        known = ", ".join(v.name for v in self.variables)
        raise KeyError(f"variables: {name!r} is not a variable of the model's regressors (they are: {known})")


def _ordered(variables: list[Variable]) -> list[Variable]:
    return sorted((v for v in variables if v.columns), key=lambda v: min(v.columns))


def _categorical_or_numeric(name: str, columns: list[int], dtype, levels=None, base=None) -> Variable:
    if levels is None and dtype is not None and pd.api.types.is_bool_dtype(dtype):
        levels, base = [False, True], False
    if levels is None:
        return Variable(name, columns)
    return Variable(name, columns, list(levels), base, [level_label(level) for level in levels])


class PlainRows(RowBuilder):
    """Regressors that are numeric columns as they are (None: the intercept)."""

    def __init__(self, sources: list[str | None], dtypes: dict):
        self.sources = sources
        self.names = ["Intercept" if s is None else s for s in sources]
        by_name: dict[str, list[int]] = {}
        for j, source in enumerate(sources):
            if source is not None:
                by_name.setdefault(source, []).append(j)
        self.variables = _ordered([_categorical_or_numeric(n, c, dtypes.get(n)) for n, c in by_name.items()])

    def matrix(self, frame):
        X = np.empty((len(frame), len(self.sources)))
        for j, source in enumerate(self.sources):
            X[:, j] = 1.0 if source is None else frame[source].to_numpy(dtype=np.float64)
        return X

    def columns(self, frame, variable, values):
        column = np.asarray(values, dtype=np.float64)
        return np.repeat(column[:, None], len(variable.columns), axis=1)

    def derivative(self, frame, variable, scale):
        return np.ones((len(frame), len(variable.columns)))  # d x_j / d x_j = 1, exactly

    def derivative_columns(self, frame, variable, scale):
        return [np.broadcast_to(1.0, (len(frame),))] * len(variable.columns)


@dataclass
class _Terms:
    """Some of the terms that read a variable: the ModelSpec's subset of them
    (NumPy output), the places of its columns among the variable's columns,
    and the variables of the data it reads."""

    model_spec: object
    places: list[int]
    reads: list[str]

    def build(self, frame: pd.DataFrame) -> np.ndarray:
        return np.asarray(self.model_spec.get_model_matrix(frame, na_action="ignore"), dtype=np.float64)


class FormulaicRows(RowBuilder):
    """The columns of a formulaic ModelSpec; each variable's columns are
    rebuilt by the ModelSpec's subset of the terms that read it, which keeps the
    fit's encodings and learned transforms (levels, centring constants).

    A term is a product of factors. Where every factor of a term is a
    polynomial of numeric variables (v, v:w, v:w:u, I(v**2), I(v*w):u) and
    the term is of degree 2 or less in v, d(term)/dv is written out by the
    product rule (polynomials.py); the other terms that read v (np.log(v),
    I(v**3), v:C(g), splines) are differentiated by central differences of
    their own subset. A variable set to one value in every row leaves
    the terms that read no other variable the same in every row: they are
    built from one row."""

    def __init__(self, model_spec, dtypes: dict):
        self.model_spec = model_spec
        self.names = list(model_spec.column_names)
        categorical = {}
        for factor, state in model_spec.factor_contrasts.items():
            base = getattr(state.contrasts, "base", None)
            for name in _expression_names(str(factor.expr)):
                if name in dtypes:
                    levels = list(state.levels)
                    categorical.setdefault(name, (levels, base if base in levels else levels[0]))
        numeric = {name for name, dtype in dtypes.items()
                   if name not in categorical and pd.api.types.is_numeric_dtype(dtype)
                   and not pd.api.types.is_bool_dtype(dtype)}
        index = {column: j for j, column in enumerate(self.names)}
        self._slopes, self._levels = {}, {}
        self._level_rows = {}  # (variable, value) -> the one row of its own terms
        variables = []
        for name in sorted(model_spec.variables_by_source.get("data", set())):
            terms = [s.term for s in model_spec.structure if s.term in model_spec.variable_terms[name]]
            subset = model_spec.subset(terms)
            if not all(column in index for column in subset.column_names):
                columns = list(range(len(self.names)))  # an encoding that depends on the other terms
            else:
                columns = [index[column] for column in subset.column_names]
                place = {column: p for p, column in enumerate(subset.column_names)}
                self._plan(name, terms, place, dtypes, numeric)
            levels, base = categorical.get(name, (None, None))
            variables.append(_categorical_or_numeric(name, columns, dtypes.get(name), levels, base))
        self.variables = _ordered(variables)

    def _plan(self, name, terms, place, dtypes, numeric):
        """How the columns of the terms reading `name` are differentiated and set to a level."""
        columns_of = {s.term: s.columns for s in self.model_spec.structure}
        products, differenced, own, shared = [], [], [], []
        for term in terms:
            factors = [str(factor.expr) for factor in term.factors]
            trees = [polynomials.polynomial_factor(str(f.expr), f.eval_method.value == "lookup", numeric)
                     for f in term.factors]
            exact = (len(columns_of[term]) == 1 and None not in trees
                     and sum(polynomials.degree(tree, name) for tree in trees) <= 2)
            if exact:
                products.append((place[columns_of[term][0]], trees))
            else:
                differenced.append(term)
            reads = set().union(*(_expression_names(f) for f in factors)) & set(dtypes)
            (own if reads <= {name} else shared).append(term)
        self._slopes[name] = (products, self._terms(name, differenced, place, dtypes))
        self._levels[name] = (self._terms(name, own, place, dtypes), self._terms(name, shared, place, dtypes))

    def _terms(self, name, terms, place, dtypes) -> _Terms | None:
        if not terms:
            return None
        subset = self.model_spec.subset(terms).update(output="numpy")
        reads = sorted(set(map(str, subset.required_variables)) & set(dtypes) | {name})
        return _Terms(subset, [place[column] for column in subset.column_names], reads)

    def matrix(self, frame):
        return np.asarray(self.model_spec.get_model_matrix(frame, na_action="ignore"), dtype=np.float64)

    def columns(self, frame, variable, values):
        if variable.name not in self._levels:
            return self.matrix(frame.assign(**{variable.name: values}))
        out = np.empty((len(frame), len(variable.columns)))
        for terms in self._levels[variable.name]:
            if terms is not None:
                out[:, terms.places] = terms.build(_reading(frame, terms.reads, variable.name, values))
        return out

    def derivative(self, frame, variable, scale):
        if variable.name not in self._slopes:
            return super().derivative(frame, variable, scale)
        return np.column_stack(self.derivative_columns(frame, variable, scale))

    def derivative_columns(self, frame, variable, scale):
        if variable.name not in self._slopes:
            return super().derivative_columns(frame, variable, scale)
        products, differenced = self._slopes[variable.name]
        out = [None] * len(variable.columns)
        values = {}

        def column(name):
            if name not in values:
                values[name] = frame[name].to_numpy(dtype=np.float64)
            return values[name]

        for place, factors in products:  # d(v w u ...)/dv = w u ..., d I(v**2)/dv = 2 v, d v/dv = 1, ...
            out[place] = polynomials.term_derivative(factors, variable.name, column, len(frame))
        if differenced is not None:
            v = frame[variable.name].to_numpy(dtype=np.float64)
            alone = differenced.reads == [variable.name]  # then both points in one build
            differences = central_differences(v, scale, lambda values: self._build_at(
                differenced, frame, variable.name, values), together=alone)
            for p, place in enumerate(differenced.places):
                out[place] = differences[:, p]
        return out

    @staticmethod
    def _build_at(terms: _Terms, frame, name, values):
        if terms.reads != [name]:
            return terms.build(_reading(frame, terms.reads, name, values))
        return terms.build(pd.DataFrame({name: values}, copy=False))  # v alone, any number of rows

    def _build_level_rows(self, own: _Terms, template: pd.Series, variable: Variable, value) -> None:
        """The row of the terms reading only the variable at value and, for a
        categorical one, at each of its other levels too: one formulaic build
        of one row per level, since formulaic codes each row apart."""
        values = [value]
        if variable.categorical and value in variable.levels:
            values += [level for level in variable.levels if level != value]
            if isinstance(template.dtype, pd.CategoricalDtype):
                values = [level for level in values if level in template.cat.categories]
        pieces = [constant_column(template, level, 1) for level in values]
        if isinstance(template.dtype, pd.CategoricalDtype):
            column = pd.Categorical.from_codes(np.concatenate([piece.codes for piece in pieces]), dtype=template.dtype)
        else:
            column = np.concatenate(pieces)
        rows = own.build(pd.DataFrame({variable.name: column}))
        for level, row in zip(values, rows):
            self._level_rows[(variable.name, level)] = row

    def at(self, frame, variable, value):
        if variable.name not in self._levels:
            return super().at(frame, variable, value)
        own, shared = self._levels[variable.name]
        n, c = len(frame), len(variable.columns)
        row = None
        if own is not None:  # the same in every row: built from one, once (every level's at once)
            key = (variable.name, value)
            if key not in self._level_rows:
                self._build_level_rows(own, frame[variable.name], variable, value)
            row = self._level_rows[key]
            if shared is None:
                ordered = np.empty(c)
                ordered[own.places] = row
                return np.broadcast_to(ordered, (n, c))
        out = np.empty((n, c))
        if own is not None:
            out[:, own.places] = row
        values = constant_column(frame[variable.name], value, n)
        out[:, shared.places] = shared.build(_reading(frame, shared.reads, variable.name, values))
        return out


def _reading(frame: pd.DataFrame, reads: list[str], name: str, values) -> pd.DataFrame:
    """A frame of the variables `reads` of frame's rows, with `name` set to values."""
    read = {other: frame[other] for other in reads if other != name}
    read[name] = values if isinstance(values, pd.Series) else pd.Series(values, index=frame.index, copy=False)
    return pd.DataFrame(read, copy=False)


class PatsyRows(RowBuilder):
    """The columns of a patsy DesignInfo (a statsmodels formula fit)."""

    def __init__(self, design_info, dtypes: dict):
        self.info = design_info
        self.names = list(design_info.column_names)
        feeds: dict[str, list[int]] = {}
        categorical = {}
        for term, slice_ in design_info.term_slices.items():
            for factor in term.factors:
                names = _expression_names(factor.code) & set(dtypes)
                info = design_info.factor_infos[factor]
                for name in names:
                    feeds.setdefault(name, [])
                    feeds[name].extend(j for j in range(slice_.start, slice_.stop) if j not in feeds[name])
                    if info.type == "categorical" and name not in categorical:
                        categorical[name] = (list(info.categories), _patsy_base(design_info, factor, info))
        variables = []
        for name, columns in feeds.items():
            levels, base = categorical.get(name, (None, None))
            variables.append(_categorical_or_numeric(name, sorted(columns), dtypes.get(name), levels, base))
        self.variables = _ordered(variables)

    def _build(self, frame):
        import patsy

        return np.asarray(patsy.build_design_matrices([self.info], frame, NA_action="raise")[0], dtype=np.float64)

    def matrix(self, frame):
        return self._build(frame)

    def columns(self, frame, variable, values):
        return self._build(frame.assign(**{variable.name: values}))[:, variable.columns]


def _patsy_base(design_info, factor, info):
    """The level a treatment coding leaves out: the row of zeros in the
    factor's contrast matrix; the first level when every level has a column."""
    for coding in design_info.term_codings.values():
        for subterm in coding:
            matrix = subterm.contrast_matrices.get(factor)
            if matrix is not None:
                zero = np.flatnonzero(~np.asarray(matrix.matrix).any(axis=1))
                return info.categories[int(zero[0])] if zero.size else info.categories[0]
    return info.categories[0]
