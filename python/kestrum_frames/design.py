"""What a formula asks of the data: the outcome column and the regressors.

The formula is parsed by formulaic. When every term on the right is the
intercept or a numeric column by its name (``y ~ x1 + x2``), the model
matrix is those columns themselves, read in place by the partitions:
formulaic is not run over the rows at all. Any other term (``C(g)``,
``I(x**2)``, ``np.log(x)``, ``a:b``) makes formulaic build the whole
right-hand side once, on the rows that are kept; its ModelSpec is kept for
``predict``, so new data get the same columns and categorical levels.
"""

from __future__ import annotations

import ast
import builtins
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd
from formulaic import Formula
from formulaic.errors import DataMismatchWarning
from formulaic.formula import SimpleFormula
from formulaic.parser import DefaultFormulaParser
from formulaic.parser.types import Factor, Token
from formulaic.transforms import TRANSFORMS
from formulaic.utils.layered_mapping import LayeredMapping
from formulaic.utils.stateful_transforms import stateful_eval
from formulaic.utils.variables import get_required_variables

from .frames import Columns

INTERCEPT = "Intercept"  # formulaic's name for the column of ones


def _lookup_name(term) -> str | None:
    """The column a term reads as it is, or None."""
    factors = list(term.factors)
    if len(factors) == 1 and factors[0].eval_method == Factor.EvalMethod.LOOKUP:
        return str(factors[0].expr)
    return None


@dataclass
class Design:
    formula: str
    outcome: str
    variables: list[str]  # the columns the regressors are made from
    # Per regressor, its source column, or None for the intercept; None as
    # a whole when formulaic builds the regressors.
    sources: list[str | None] | None
    names: list[str] | None  # known before the rows when sources is set
    model_spec: object = None  # formulaic's ModelSpec, once the rows are built by it

    @classmethod
    def from_formula(cls, formula, columns: Columns) -> "Design":
        parsed = _parsed(formula)
        outcome_terms = list(parsed.lhs)
        outcome = _lookup_name(outcome_terms[0]) if len(outcome_terms) == 1 else None
        if outcome is None:
            raise ValueError(f"the outcome of formula {formula!r} must be one column of data, not {parsed.lhs}")
        variables = sorted({name for term in parsed.rhs for factor in term.factors
                            for name in _factor_columns(factor, columns)})
        columns.require([outcome, *variables])
        if not columns.is_numeric(outcome):
            raise ValueError(f"outcome {outcome!r} must be numeric with values 0 and 1")

        terms = list(parsed.rhs)
        if not terms:
            raise ValueError(f"formula {formula!r} has no regressors")
        sources = []
        for term in terms:
            name = _lookup_name(term)
            if str(term) == "1":
                sources.append(None)
            elif name is not None and columns.is_numeric(name):
                sources.append(name)
            else:
                sources = None
                break
        if sources is None:
            return cls(str(formula), outcome, variables, None, None)
        names = [INTERCEPT if source is None else source for source in sources]
        return cls(str(formula), outcome, variables, sources, names)

    def regressor_columns(self, columns: Columns, keep: np.ndarray | None) -> list[np.ndarray | None]:
        """The regressors of the kept rows, one 1-D float64 array per column of
        X (None: the intercept). Builds them with formulaic when the terms need it, and
        then learns the names and the ModelSpec."""
        if self.sources is not None:
            arrays = [None if n is None else np.ascontiguousarray(columns.numeric(n), np.float64) for n in self.sources]
            return [a if a is None or keep is None else a[keep] for a in arrays]

        frame = columns.frame(self.variables)
        if keep is not None:
            frame = frame[keep]
        if self.model_spec is not None:  # learned before the rows (a Dask frame's partitions)
            matrix, unseen = self._learned_matrix(frame)
            if unseen:
                term, rows, levels = unseen[0]
                first = int(np.flatnonzero(rows)[0])
                position = int(np.flatnonzero(keep)[first]) if keep is not None else first
                raise ValueError(
                    f"term {term} holds levels that the categories of the data's columns lack: "
                    f"{', '.join(map(repr, levels))} (first in {columns.row_label(position)}); give the whole "
                    "frame the same categories (data.categorize() after reading, or astype with a CategoricalDtype)"
                )
        else:
            matrix = Formula(self.formula).rhs.get_model_matrix(frame, na_action="ignore")
            self.model_spec = matrix.model_spec
            self.names = list(self.model_spec.column_names)
        return [np.ascontiguousarray(matrix[name], dtype=np.float64) for name in self.names]

    def learn_from_schema(self, meta: pd.DataFrame, argument: str) -> None:
        """Learn the columns of X from a sample with the data's column types
        (a Dask DataFrame's non-empty meta), for data whose
        rows are not all at hand (a Dask DataFrame): categorical terms take
        their levels from known categories; terms that learn from the values
        (center, scale, splines) cannot be learned so and are refused."""
        if self.sources is not None:
            return
        schema = Columns(meta)
        matrix = Formula(self.formula).rhs.get_model_matrix(schema.frame(self.variables), na_action="ignore")
        learned = matrix.model_spec
        for factor in learned.factor_contrasts:
            for name in _factor_columns(factor, schema):
                dtype = meta[name].dtype
                if not isinstance(dtype, pd.CategoricalDtype) or _unknown_categories(dtype):
                    raise ValueError(
                        f"term {factor.expr} needs the categories of column {name!r}, which {argument} does not "
                        f"know: call {argument} = {argument}.categorize(columns=[{name!r}]) first"
                    )
        if learned.transform_state:
            stateful = ", ".join(sorted(learned.transform_state))
            raise ValueError(
                f"the terms {stateful} learn from the values of {argument}, which a Dask DataFrame does not hold "
                "in one place: compute those columns first and name them in the formula"
            )
        self.model_spec = learned
        self.names = list(learned.column_names)

    def new_rows(self, columns: Columns) -> tuple[np.ndarray, np.ndarray | None]:
        """The regressors of new data as an n x k array, and where a value
        they are made from is missing."""
        columns.require(self.variables)
        missing = columns.missing_in_any(self.variables)
        if self.model_spec is not None:
            matrix, unseen = self._learned_matrix(columns.frame(self.variables))
            for term, rows, levels in unseen:
                warnings.warn(
                    f"{columns.argument}: term {term} holds levels the fit never saw ({', '.join(map(repr, levels))}): "
                    f"the predictions of those {int(rows.sum())} rows are NaN",
                    UserWarning,
                    stacklevel=3,
                )
                missing = rows if missing is None else missing | rows
            return np.asarray(matrix, dtype=np.float64), missing
        X = np.empty((columns.rows, len(self.sources)))
        for j, name in enumerate(self.sources):
            X[:, j] = 1.0 if name is None else columns.numeric(name)
        return X, missing

    def _learned_matrix(self, frame: pd.DataFrame):
        """The model matrix of frame by the learned ModelSpec, and per
        categorical factor whose values in frame include levels that the
        ModelSpec lacks: the factor, where those rows are, and those levels.
        formulaic would code such rows as the base level (with a warning);
        the callers refuse them or make them NaN instead."""
        unseen = []
        data = LayeredMapping(LayeredMapping(frame, name="data"), LayeredMapping(TRANSFORMS, name="transforms"))
        for factor, contrasts in self.model_spec.factor_contrasts.items():
            expression = str(factor.expr)
            if factor.eval_method == Factor.EvalMethod.LOOKUP:
                values = frame[expression]
            else:
                values = stateful_eval(expression, data, {expression: factor.metadata},
                                       self.model_spec.transform_state, self.model_spec)
            values = pd.Series(np.asarray(getattr(values, "__wrapped__", values), dtype=object))
            rows = (values.notna() & ~values.isin(contrasts.levels)).to_numpy()
            if rows.any():
                unseen.append((expression, rows, sorted(set(values[rows]), key=str)))
        with warnings.catch_warnings():
            if unseen:  # the callers say it, by term
                warnings.filterwarnings("ignore", category=DataMismatchWarning)
                warnings.filterwarnings("ignore", message="Constructing a Categorical")
            matrix = self.model_spec.get_model_matrix(frame, na_action="ignore")
        return matrix, unseen


def _parsed(formula):
    """formulaic's parse of a formula of one outcome and one list of terms."""
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {type(formula).__qualname__}")
    tokens = DefaultFormulaParser().get_tokens(formula)
    if any(token.kind is Token.Kind.OPERATOR and token.token == "." for token in tokens):
        raise ValueError(
            f"formula {formula!r} uses '.' (every other column), which is not supported: name the regressors, "
            "as in 'y ~ x1 + x2'"
        )
    parsed = Formula(formula)
    if not hasattr(parsed, "lhs"):
        raise ValueError(f"formula {formula!r} has no outcome: write it as 'outcome ~ regressors'")
    if not (isinstance(parsed.lhs, SimpleFormula) and isinstance(parsed.rhs, SimpleFormula)):
        raise ValueError(
            f"formula {formula!r} has parts separated by '|', which is not supported: a probit formula has one "
            "outcome and one list of regressors, as in 'y ~ x1 + x2'"
        )
    return parsed


def _factor_columns(factor, columns: Columns) -> list[str]:
    """The columns a factor of a formula reads. The names formulaic finds
    in it are columns (a name with a dot, `Sepal.Length`, before the root
    of an attribute, x.astype), or functions and modules that formulaic
    evaluates (abs, round, np, C); any other name is returned as it is, for
    Columns.require to report."""
    expression = str(factor.expr)
    if factor.eval_method == Factor.EvalMethod.LOOKUP:
        return [expression]
    if factor.eval_method != Factor.EvalMethod.PYTHON:
        return []
    try:
        variables = get_required_variables(expression, TRANSFORMS)
    except Exception:  # noqa: BLE001 - stateful transforms (center(z)) cannot be looked into: read the names
        return _columns_read(expression, columns.names)
    read = []
    for variable in variables:
        if variable in columns.names:
            read.append(str(variable))
        elif variable.root in columns.names:
            read.append(str(variable.root))
        elif variable.root not in TRANSFORMS and not hasattr(builtins, variable.root):
            read.append(str(variable))
    return read


def _columns_read(expression: str, candidates: list[str]) -> list[str]:
    """The columns among candidates that an expression names."""
    try:
        tree = ast.parse(expression, mode="eval")
    except SyntaxError:  # a column name that is not an identifier, quoted in the formula
        return [name for name in candidates if name == expression.strip("`")]
    names = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
    return [name for name in candidates if name in names]


def _unknown_categories(dtype: pd.CategoricalDtype) -> bool:
    """Dask marks categories it has not read with this placeholder level."""
    return len(dtype.categories) == 1 and str(dtype.categories[0]) == "__UNKNOWN_CATEGORIES__"


# Rows per piece of the outcome's 0/1 test: its temporaries stay small
# enough to be reused from the heap rather than mapped afresh (a page fault
# every 4 KiB on a process's first fit).
_OUTCOME_PIECE = 1 << 16


def _first_not_binary(y: np.ndarray) -> int | None:
    """The position of the first value of y that is neither 0 nor 1."""
    for start in range(0, y.shape[0], _OUTCOME_PIECE):
        piece = y[start:start + _OUTCOME_PIECE]
        bad = np.flatnonzero((piece != 0.0) & (piece != 1.0))
        if bad.size:
            return start + int(bad[0])
    return None


def outcome_values(design: Design, columns: Columns, keep: np.ndarray | None) -> np.ndarray:
    """The outcome of the kept rows as float64; ValueError naming the first
    row whose outcome is neither 0 nor 1."""
    y = np.asarray(columns.numeric(design.outcome), dtype=np.float64)
    if keep is not None:
        positions = np.flatnonzero(keep)
        y = y[keep]
    first = _first_not_binary(y)
    if first is not None:
        row = int(positions[first]) if keep is not None else first
        raise ValueError(
            f"outcome {design.outcome!r} must be 0 or 1: {columns.row_label(row)} holds {float(y[first])!r}"
        )
    return y

