"""Shared data and oracles for the kestrum test suite.

Reference values come from statsmodels, which is an independent
implementation of the same probit likelihood and sandwich estimators.
"""

import os

# The reference computations are small matrix products; threaded BLAS only
# contends for the cores (tenfold slower on a loaded 2-core machine).
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402
import pytest  # noqa: E402
import statsmodels.api as sm  # noqa: E402

# statsmodels is run with Newton steps to a parameter change below 1e-12,
# so its estimates are accurate far beyond the tolerances used in the tests.
SM_FIT = dict(method="newton", tol=1e-12, maxiter=200, disp=0)

# Options that drive kestrum's optimizer close to the maximum: with
# |change in loglike| < 1e-10 the remaining gap in the log-likelihood is of
# the same order, so every coefficient is within about sqrt(2e-10) ~ 1.4e-5
# standard errors of the MLE.
TIGHT = dict(tol=1e-10, max_iter=500)

HESSIAN_SINGULAR_LINE = "Hessian singular => NaN for Cov"


def spector_arrays():
    data = sm.datasets.spector.load_pandas()
    X = np.ascontiguousarray(sm.add_constant(data.exog, prepend=True).to_numpy(dtype=np.float64))
    y = np.ascontiguousarray(data.endog.to_numpy(dtype=np.float64))
    return y, X


@pytest.fixture
def spector():
    """(y, X) of the 32-row grade data, X with a leading constant column."""
    return spector_arrays()


def simulate(seed, n=800, cluster_count=None):
    """A seeded probit design with a constant, dummies and regressors whose
    scales differ by about eight orders of magnitude.

    Returns y (n,), X (n, 6) and, when cluster_count is given, integer group
    codes (n,) whose members share a random effect in the latent index.
    """
    rng = np.random.default_rng(seed)
    const = np.ones(n)
    dummy_a = (rng.random(n) < 0.4).astype(float)
    dummy_b = (rng.random(n) < 0.15).astype(float)
    income = rng.normal(5e4, 1.5e4, n)  # scale 1e4
    rate = rng.normal(2e-3, 5e-4, n)  # scale 1e-4
    z = rng.normal(0.0, 1.0, n)
    X = np.column_stack([const, dummy_a, dummy_b, income, rate, z])
    beta = np.array([-1.2, 0.6, -0.8, 1.5e-5, 150.0, 0.7])
    index = X @ beta
    groups = None
    if cluster_count is not None:
        groups = rng.integers(0, cluster_count, n)
        index = index + rng.normal(0.0, 0.7, cluster_count)[groups]
    y = (index + rng.normal(0.0, 1.0, n) > 0).astype(float)
    return y, X, groups


@pytest.fixture
def simulated():
    return simulate


def statsmodels_fit(y, X, **fit_kwargs):
    return sm.Probit(y, X).fit(**SM_FIT, **fit_kwargs)


def standardized(cov, reference_cov):
    """Differences of two covariance matrices in units of the reference
    standard errors: (V - R)[a, b] / sqrt(R[a, a] R[b, b])."""
    se = np.sqrt(np.diag(reference_cov))
    return (np.asarray(cov) - np.asarray(reference_cov)) / np.outer(se, se)


def assert_params_close(params, reference_params, reference_cov, max_se):
    """Coefficients agree to within max_se reference standard errors.

    Measuring the error in standard errors makes one tolerance fit every
    regressor, whatever its scale."""
    se = np.sqrt(np.diag(reference_cov))
    gap = np.abs(np.asarray(params) - np.asarray(reference_params)) / se
    assert np.all(gap <= max_se), f"coefficient gaps in standard errors: {gap}"


def assert_cov_close(cov, reference_cov, max_rel):
    gap = np.abs(standardized(cov, reference_cov))
    assert np.all(gap <= max_rel), f"covariance gaps (relative to se_a*se_b): {gap}"


# kestrum_frames: the design above as a DataFrame.
FRAME_REGRESSORS = ["dummy_a", "dummy_b", "income", "rate", "z"]
FRAME_FORMULA = "y ~ " + " + ".join(FRAME_REGRESSORS)


@pytest.fixture
def frame_design():
    """(frame, y, X, cluster columns) for n = 3000: X is simulate's, with a
    leading constant; the frame has y, the FRAME_REGRESSORS columns of X and
    two integer cluster codes g (60 groups) and h (3 groups)."""
    import pandas as pd

    y, X, groups = simulate(20240611, n=3000, cluster_count=60)
    frame = pd.DataFrame(X[:, 1:], columns=FRAME_REGRESSORS)
    frame["y"] = y
    frame["g"] = groups
    frame["h"] = np.arange(len(y)) % 3
    clusters = frame[["g", "h"]].to_numpy(dtype=np.float64)
    return frame, y, X, clusters


def assert_same_fit(result, reference, rtol=1e-10):
    """A kestrum_frames result agrees with a kestrum one: coefficients to
    rtol, covariances to rtol of se_a se_b."""
    np.testing.assert_allclose(result.params.to_numpy(), reference.params, rtol=rtol, atol=0)
    cov, ref = result.cov_params().to_numpy(), reference.cov_params()
    se = np.sqrt(np.diag(ref))
    assert np.all(np.abs(cov - ref) <= rtol * np.outer(se, se)), np.abs(cov - ref) / np.outer(se, se)
