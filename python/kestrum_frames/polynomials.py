"""Exact derivatives of the formula terms that are low-degree polynomials
in the numeric variables.

A factor of a term is a polynomial when it is a numeric variable by name
(``w``) or an expression of numeric variables and number constants built
with + - * /, and ** to a whole constant power (``I(v**2)``, ``I(v*w)``,
``I((v - 1)**2 / 2)``), where no divisor reads the variable
differentiated. A term is the product of its factors, so by the product
rule

    d(f_1 ... f_m)/dv = sum over the factors f reading v of  df/dv times the other factors,

with the derivatives of + - * / ** written below. These are the derivatives
that a central difference of the rebuilt term gives, but for rounding, when
the term is of degree 2 or less in v (the difference of a quadratic is its
derivative exactly); terms of a higher degree are left to the difference,
so that the reported numbers stay those of one rule.
"""

from __future__ import annotations

import ast

import numpy as np

_OPERATORS = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.Pow)


def polynomial_factor(expression: str, lookup: bool, numeric: set[str]) -> ast.AST | None:
    """The expression tree of a factor that is a polynomial of the numeric
    variables (I(...) unwrapped), or None. lookup: the factor is a column by
    name."""
    if lookup:
        return ast.Name(expression) if expression in numeric else None
    try:
        node = ast.parse(expression, mode="eval").body
    except SyntaxError:
        return None
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "I" \
            and len(node.args) == 1 and not node.keywords:
        node = node.args[0]
    return node if _is_polynomial(node, numeric) else None


def _is_polynomial(node: ast.AST, numeric: set[str]) -> bool:
    if isinstance(node, ast.Name):
        return node.id in numeric
    if isinstance(node, ast.Constant):
        return isinstance(node.value, (int, float)) and not isinstance(node.value, bool)
    if isinstance(node, ast.UnaryOp):
        return isinstance(node.op, (ast.UAdd, ast.USub)) and _is_polynomial(node.operand, numeric)
    if isinstance(node, ast.BinOp) and isinstance(node.op, _OPERATORS):
        if isinstance(node.op, ast.Pow):
            return _whole_power(node.right) is not None and _is_polynomial(node.left, numeric)
        return _is_polynomial(node.left, numeric) and _is_polynomial(node.right, numeric)
    return False


def _whole_power(node: ast.AST) -> int | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, (int, float)) and not isinstance(node.value, bool):
        if float(node.value).is_integer() and 0 <= node.value <= 16:
            return int(node.value)
    return None


def degree(node: ast.AST, name: str) -> float:
    """The degree of the polynomial in the variable `name` (infinite where a
    divisor reads it)."""
    if isinstance(node, ast.Name):
        return 1 if node.id == name else 0
    if isinstance(node, ast.Constant):
        return 0
    if isinstance(node, ast.UnaryOp):
        return degree(node.operand, name)
    left = degree(node.left, name)
    if isinstance(node.op, ast.Pow):
        return left * _whole_power(node.right)
    right = degree(node.right, name)
    if isinstance(node.op, ast.Div):
        return left if right == 0 else float("inf")
    return left + right if isinstance(node.op, ast.Mult) else max(left, right)


def value(node: ast.AST, column):
    """The polynomial at the rows; column(name) gives a variable's float64 values."""
    if isinstance(node, ast.Name):
        return column(node.id)
    if isinstance(node, ast.Constant):
        return float(node.value)
    if isinstance(node, ast.UnaryOp):
        operand = value(node.operand, column)
        return -operand if isinstance(node.op, ast.USub) else operand
    left, right = value(node.left, column), value(node.right, column)
    if isinstance(node.op, ast.Add):
        return left + right
    if isinstance(node.op, ast.Sub):
        return left - right
    if isinstance(node.op, ast.Mult):
        return left * right
    if isinstance(node.op, ast.Div):
        return left / right
    return left ** _whole_power(node.right)


def derivative(node: ast.AST, name: str, column):
    """d(polynomial)/d name at the rows, or None where it does not read the variable."""
    if isinstance(node, ast.Name):
        return 1.0 if node.id == name else None
    if isinstance(node, ast.Constant):
        return None
    if isinstance(node, ast.UnaryOp):
        inner = derivative(node.operand, name, column)
        return -inner if inner is not None and isinstance(node.op, ast.USub) else inner
    if isinstance(node.op, ast.Pow):  # d u^p = p u^(p-1) du
        inner = derivative(node.left, name, column)
        p = _whole_power(node.right)
        if inner is None or p == 0:
            return None
        if p == 1:
            return inner
        base = value(node.left, column)
        return (p * (base if p == 2 else base ** (p - 1))) * inner
    left, right = derivative(node.left, name, column), derivative(node.right, name, column)
    if left is None and right is None:
        return None
    if isinstance(node.op, (ast.Add, ast.Sub)):
        if right is None:
            return left
        negated = -right if isinstance(node.op, ast.Sub) else right
        return negated if left is None else (left + right if isinstance(node.op, ast.Add) else left - right)
    if isinstance(node.op, ast.Div):  # the divisor reads no v (degree)
        return left / value(node.right, column)
    parts = []  # d(uw) = du w + u dw
    if left is not None:
        parts.append(left * value(node.right, column))
    if right is not None:
        parts.append(value(node.left, column) * right)
    return parts[0] if len(parts) == 1 else parts[0] + parts[1]


def is_variable(factors: list[ast.AST], name: str) -> bool:
    """Whether the factors are the variable alone."""
    return len(factors) == 1 and isinstance(factors[0], ast.Name) and factors[0].id == name


def term_derivative(factors: list[ast.AST], name: str, column, rows: int) -> np.ndarray:
    """d(product of the factors)/d name at the rows (n values, read-only:
    perhaps a column of the data itself, or one value seen n times), by the
    product rule, each part multiplied by the other factors in their order."""
    total = None
    for f, factor in enumerate(factors):
        part = derivative(factor, name, column)
        if part is None:
            continue
        for g, other in enumerate(factors):
            if g != f:  # 1 w is w: a column of the data stays where it is
                other_value = value(other, column)
                part = other_value if isinstance(part, float) and part == 1.0 else part * other_value
        total = part if total is None else total + part
    if total is None:
        return np.zeros(rows)
    return np.broadcast_to(np.asarray(total, dtype=np.float64), (rows,))
