# Type information for the native module ``kestrum`` (PEP 561 stub-only
# package, installed next to the extension module by the same wheel).
#
# Not declared here, because they are not attributes of the module at run time:
#
# * ``NativeProbitResults`` and ``NativeProbitModel`` below exist only as the
#   types of returned objects (``type(result)``); ``kestrum.NativeProbitResults``
#   raises AttributeError. Use them in annotations only (with
#   ``from __future__ import annotations`` or under ``typing.TYPE_CHECKING``).
#   Calling either class raises TypeError("No constructor defined").
# * ``PanicException``: raised by any call when an internal invariant of the
#   module is violated (never for bad input). It derives from BaseException,
#   not Exception, so ``except Exception`` does not catch it, and the module
#   offers no name to catch it by: ``except BaseException`` does.

from typing import Protocol, Sequence, final

import numpy as np
import pandas
from numpy.typing import NDArray

__all__ = ["ame", "fit_probit"]

@final
class NativeProbitModel:
    """The data of a fit; every attribute is read-only."""

    @property
    def exog(self) -> NDArray[np.float64]:
        """Copy of the regressor matrix, shape (n, k); the same object on every access."""

    @property
    def endog(self) -> NDArray[np.float64]:
        """Copy of the outcomes, shape (n,); the same object on every access."""

    @property
    def exog_names(self) -> list[str]:
        """Generated names "x0", "x1", ...; a new list on every access."""

@final
class NativeProbitResults:
    """The result of ``fit_probit``; every attribute is read-only."""

    @property
    def params(self) -> NDArray[np.float64]:
        """Coefficients, shape (k,); the same object on every access."""

    def cov_params(self) -> NDArray[np.float64]:
        """Covariance of the coefficients, shape (k, k); the same object on every
        call. All NaN when the Hessian at the estimate is singular."""

    @property
    def model(self) -> NativeProbitModel:
        """A new model object on every access, sharing the same arrays."""

    @property
    def loglike(self) -> float:
        """Log-likelihood at the estimate."""

    @property
    def iterations(self) -> int:
        """Zero-based index of the last iteration (not a count)."""

    @property
    def converged(self) -> bool:
        """Whether the log-likelihood changed by less than ``tol`` in the end."""

class _ExogModel(Protocol):
    """What ``ame`` reads from ``probit_model.model``."""

    # Any sequence of str except a str itself (rejected at run time).
    @property
    def exog_names(self) -> Sequence[str]: ...
    @property
    def exog(self) -> NDArray[np.float64]: ...

class _FittedProbit(Protocol):
    """What ``ame`` accepts: a ``NativeProbitResults`` or any object of the same
    form, for example a statsmodels probit result with real regressor names."""

    @property
    def params(self) -> NDArray[np.float64]: ...
    def cov_params(self) -> NDArray[np.float64]: ...
    @property
    def model(self) -> _ExogModel: ...

def fit_probit(
    endog_py: NDArray[np.float64],
    exog_py: NDArray[np.float64],
    max_iter: int | None = ...,
    tol: float | None = ...,
    robust: bool | None = ...,
    cluster_vars: object = ...,
) -> NativeProbitResults:
    """Probit regression by maximum likelihood.

    endog_py: float64 array of outcomes 0 and 1 only, shape (n,) or (n, 1).
    exog_py: float64 array of finite values, shape (n, k), with its own constant
        column if wanted.
    max_iter: maximum number of iterations, >= 0 (None: 35).
    tol: convergence threshold on the change of the log-likelihood (None: 1e-6).
    robust: True for the HC0 sandwich covariance (None: False); a bool, not 0/1.
    cluster_vars: with robust=True, None or a float64 array of shape (n, m),
        m >= 1; rows that are equal after rounding to four decimals form one
        cluster. Ignored, with a UserWarning, without robust=True; a single
        cluster gives an all-NaN covariance and a RuntimeWarning.

    Raises TypeError for arrays of the wrong kind (no conversion is done;
    masked arrays are refused) and ValueError for arrays of the wrong shape,
    outcomes other than 0 and 1 and non-finite regressors.
    """

def ame(probit_model: _FittedProbit, chunk_size: int | None = ...) -> pandas.DataFrame:
    """Average marginal effects with delta-method standard errors.

    Returns a DataFrame indexed by regressor name with the columns "dy/dx",
    "Std. Err", "z", "Pr(>|z|)" and "Significance". A regressor named "const"
    or "intercept" (any letter case) is left out; a 0/1 column is treated as an
    indicator. chunk_size: observations per block (None: one block); 0 with
    observations present raises ValueError.

    Raises TypeError for a statsmodels model other than Probit, or a Probit
    with an offset or exposure, and ValueError when params, cov_params() or
    model.exog_names do not fit the columns of model.exog.
    """
