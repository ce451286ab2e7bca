"""A small typed program that uses the whole kestrum API.

tests/test_typing.py type-checks it with ``mypy --strict`` and also runs it.
The block under ``if TYPE_CHECKING`` at the end holds calls that the type
information must reject: each carries a ``type: ignore`` for the expected error
code, and ``--strict`` (which includes ``--warn-unused-ignores``) fails if one
of them is no longer an error.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd
from numpy.typing import NDArray

import kestrum

if TYPE_CHECKING:
    # Types of returned objects: not attributes of the module at run time.
    from kestrum import NativeProbitModel, NativeProbitResults

Arrays = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]


@dataclass(frozen=True)
class NamedModel:
    exog_names: list[str]
    exog: NDArray[np.float64]


@dataclass(frozen=True)
class NamedFit:
    """What ame accepts besides a fit_probit result: real regressor names."""

    params: NDArray[np.float64]
    covariance: NDArray[np.float64]
    model: NamedModel

    def cov_params(self) -> NDArray[np.float64]:
        return self.covariance


def simulate(n: int, seed: int) -> Arrays:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    dummy = (rng.random(n) < 0.4).astype(np.float64)
    X = np.column_stack([np.ones(n), x, dummy]).astype(np.float64)
    latent = X @ np.array([0.2, 0.8, -0.5]) + rng.normal(size=n)
    y = (latent > 0).astype(np.float64)
    groups = rng.integers(0, 20, size=(n, 1)).astype(np.float64)
    return y, X, groups


def standard_errors(result: NativeProbitResults) -> list[float]:
    cov = result.cov_params()
    return [float(np.sqrt(cov[j, j])) for j in range(cov.shape[0])]


def describe(model: NativeProbitModel) -> str:
    names: list[str] = model.exog_names
    exog: NDArray[np.float64] = model.exog
    endog: NDArray[np.float64] = model.endog
    return f"{exog.shape[0]} observations, regressors {names}, mean outcome {float(endog.mean()):.3f}"


def main() -> None:
    exported: list[str] = kestrum.__all__
    y, X, groups = simulate(400, 1)

    fit: NativeProbitResults = kestrum.fit_probit(y, X)
    tight = kestrum.fit_probit(y, X, max_iter=200, tol=1e-10, robust=False, cluster_vars=None)
    hc0 = kestrum.fit_probit(endog_py=y, exog_py=X, robust=True)
    clustered = kestrum.fit_probit(y, X, None, None, True, groups)

    params: NDArray[np.float64] = fit.params
    loglike: float = fit.loglike
    iterations: int = fit.iterations
    converged: bool = fit.converged
    print(f"exported: {exported}")
    print(f"params {params.round(4).tolist()}, log-likelihood {loglike:.4f}")
    print(f"last iteration {iterations}, converged {converged}, tight fit converged {tight.converged}")
    print(describe(fit.model))
    for label, result in [("nonrobust", fit), ("HC0", hc0), ("clustered", clustered)]:
        print(label, [round(s, 4) for s in standard_errors(result)])

    table: pd.DataFrame = kestrum.ame(fit)
    print(table)

    named = NamedFit(fit.params, hc0.cov_params(), NamedModel(["const", "x", "dummy"], fit.model.exog))
    effects = kestrum.ame(named, chunk_size=100)
    same = kestrum.ame(probit_model=named, chunk_size=None)
    dydx: list[float] = [float(v) for v in effects["dy/dx"]]
    print(effects.to_string())
    print(f"dy/dx {dydx}, blocks agree: {np.allclose(effects['dy/dx'], same['dy/dx'])}")


if TYPE_CHECKING:

    def rejected(y: NDArray[np.float64], X: NDArray[np.float64], fit: NativeProbitResults) -> None:
        kestrum.fit_probit([0.0, 1.0], X)  # type: ignore[arg-type]
        kestrum.fit_probit(y, X, robust=1)  # type: ignore[arg-type]
        kestrum.fit_probit(y, X, max_iter=2.5)  # type: ignore[arg-type]
        kestrum.fit_probit(y, X, tolerance=1e-8)  # type: ignore[call-arg]
        kestrum.ame(fit.model)  # type: ignore[arg-type]
        kestrum.ame(fit, chunk_size="all")  # type: ignore[arg-type]
        fit.loglike = 0.0  # type: ignore[misc]
        fit.cov_params + 1  # type: ignore[operator]
        names: str = fit.model.exog_names  # type: ignore[assignment]

        class Derived(NativeProbitResults):  # type: ignore[misc]
            pass


if __name__ == "__main__":
    main()
