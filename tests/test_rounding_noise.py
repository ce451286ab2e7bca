"""The maximiser at the limit of what the sum of l can resolve.

Once the estimate is at the maximum to working precision, a trial's gain is
rounding noise: the fit must conclude there (a few passes, not dozens), a
tol below the rounding of l must still converge, and a regressor whose
squares a double cannot hold must never be reported as converged at the
start. The estimates are compared with the accurate reference MLE of
reference_mle.py (log space, damped Newton), the rounding estimate with the
actual error of the sum, computed exactly by math.fsum.
"""

import math
import warnings

import numpy as np
import pytest
from scipy.special import log_ndtr

import kestrum
from reference_mle import distance_in_se, fit as reference_fit, loglike as reference_loglike

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
from kestrum_frames import _native  # noqa: E402

# With the default tol a converged estimate is within sqrt(tol) standard
# errors of the maximum (the Newton decrement is the squared distance).
SE_TOL = 1e-3
# The iteration's passes: the start, one per iteration, at most two more
# (a refresh or a cut, and the Hessian at the estimate when not foreseen).
EXTRA_PASSES = 3


def probit_design(seed, n, k, zero_share, beta=None):
    """A constant and k - 1 normal regressors; a share of the coefficients
    (the constant's too) exactly zero, unless beta is given."""
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, k - 1))])
    if beta is None:
        beta = rng.normal(0.0, 0.5, k) * (rng.random(k) >= zero_share)
    y = ((X @ beta + rng.standard_normal(n)) > 0).astype(float)
    return y, X


def frame_of(y, X):
    return pd.DataFrame({"y": y, **{f"x{j}": X[:, j] for j in range(1, X.shape[1])}})


def formula_of(k):
    return "y ~ " + " + ".join(f"x{j}" for j in range(1, k))


def sweep():
    """(seed, n, k, zero share, path, partitions, tol): 24 designs of 2e5
    rows in every partitioning (Dask among them, kestrum for one
    partition), the default tol and one below the rounding of l; small
    designs with no and only zero coefficients; two at n = 2e6."""
    designs = []
    for seed in range(24):
        partitions = [1, 3, 8, 20][(seed // 4) % 4]
        path = "dask" if seed % 6 == 5 else "kestrum" if seed % 6 == 3 and partitions == 1 else "pandas"
        designs.append((seed, 200_000, [3, 5, 8, 12][seed % 4], 0.5, path, partitions, [1e-6, 1e-8][seed % 2]))
    designs += [
        (24, 2_000, 3, 0.0, "pandas", 2, 1e-6),
        (25, 2_000, 8, 1.0, "kestrum", 1, 1e-6),
        (26, 20_000, 5, 0.0, "dask", 3, 1e-8),
        (27, 20_000, 12, 1.0, "pandas", 4, 1e-6),
        (2, 2_000_000, 6, 0.5, "pandas", 8, 1e-6),
        (1, 2_000_000, 6, 0.5, "dask", 20, 1e-6),
    ]
    return designs


def fit_by(path, y, X, partitions, **options):
    if path == "kestrum":
        return kestrum.fit_probit(y, X, **options), None
    frame = frame_of(y, X)
    if path == "pandas":
        result = kf.fit_probit(formula_of(X.shape[1]), frame, npartitions=partitions, **options)
    else:
        result = kf.fit_probit(formula_of(X.shape[1]), dd.from_pandas(frame, npartitions=partitions), **options)
    return result, result.passes


@pytest.mark.parametrize("seed, n, k, zero_share, path, partitions, tol", sweep())
def test_a_fit_at_the_maximum_concludes_within_a_few_passes(seed, n, k, zero_share, path, partitions, tol):
    y, X = probit_design(seed, n, k, zero_share)
    result, passes = fit_by(path, y, X, partitions, tol=tol, robust=seed % 3 == 1)
    assert result.converged is True
    assert distance_in_se(np.asarray(result.params), reference_fit(y, X)) < SE_TOL
    if passes is not None:  # iterations is the zero-based index of the last one
        assert passes <= result.iterations + EXTRA_PASSES, f"{passes} passes for {result.iterations + 1} iterations"


def test_a_clustered_fit_adds_only_the_cluster_meat_pass():
    y, X = probit_design(3, 400_000, 6, 0.5)
    frame = frame_of(y, X).assign(g=np.arange(len(y)) % 997)
    result = kf.fit_probit(formula_of(6), frame, cluster="g", npartitions=5)
    assert result.converged is True
    assert result.passes <= result.iterations + EXTRA_PASSES + 1


# tol far below the rounding of l (about 1e-7 at a million rows).
@pytest.mark.parametrize("tol", [1e-9, 1e-12])
@pytest.mark.parametrize(
    "seed, n, k, beta, path, partitions",
    [
        (1, 1_000_000, 2, (0.2, 0.5), "kestrum", 1),
        (1, 300_000, 5, None, "kestrum", 1),
        (4, 500_000, 4, None, "pandas", 6),
        (5, 200_000, 8, None, "dask", 3),
    ],
)
def test_a_tol_below_the_rounding_of_l_converges_at_the_maximum(tol, seed, n, k, beta, path, partitions):
    y, X = probit_design(seed, n, k, 0.3, beta=beta)
    result, passes = fit_by(path, y, X, partitions, tol=tol)
    reference = reference_fit(y, X)
    assert result.converged is True
    assert distance_in_se(np.asarray(result.params), reference) < SE_TOL
    assert result.loglike == pytest.approx(reference.loglike, abs=1e-6)
    if passes is not None:
        assert passes <= result.iterations + EXTRA_PASSES


@pytest.mark.parametrize("seed", range(4))
def test_the_rounding_estimate_matches_the_actual_error_of_the_sum(seed):
    """Over independent sums, the actual rounding error (the exact sum by
    math.fsum of the terms) in units of the estimated standard deviation
    has a root mean square of one, to the sampling error of 24 sums (about
    15%): an estimate off by a factor of 1.5 either way fails."""
    rng = np.random.default_rng(100 + seed)
    errors = []
    for _ in range(24):
        y, X = probit_design(int(rng.integers(2**31)), 100_000, 3, 0.0)
        beta = rng.normal(0.0, 0.5, 3)
        sums = _native.probit_sums(y, X, beta, 1)  # the log-likelihood only
        exact = math.fsum(log_ndtr((2.0 * y - 1.0) * (X @ beta)))
        errors.append((sums["loglike"] - exact) / math.sqrt(sums["loglike_rounding_variance"]))
    assert 1 / 1.5 < math.sqrt(np.mean(np.square(errors))) < 1.5


def scaled_design(scale):
    rng = np.random.default_rng(12)
    x = rng.standard_normal(1000)
    y = ((0.3 + x + rng.standard_normal(1000)) > 0).astype(float)
    return y, np.column_stack([np.ones(1000), x]), np.column_stack([np.ones(1000), x * scale])


def fit_scaled(path, y, X):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if path == "kestrum":
            result = kestrum.fit_probit(y, X)
        else:
            frame = pd.DataFrame({"y": y, "x": X[:, 1]})
            data = frame if path == "pandas" else dd.from_pandas(frame, npartitions=2)
            result = kf.fit_probit("y ~ x", data)
    return result, [w for w in caught if issubclass(w.category, RuntimeWarning)]


@pytest.mark.parametrize("path, column", [("kestrum", "x1"), ("pandas", "x"), ("dask", "x")])
@pytest.mark.parametrize("scale", [1e-300, 1e-200, 1e-160, 1e153, 1e200, 1e300])
def test_a_column_whose_squares_do_not_fit_a_double_never_converges(path, column, scale):
    y, _, X = scaled_design(scale)
    result, caught = fit_scaled(path, y, X)
    assert result.converged is False
    assert len(caught) == 1
    assert str(caught[0].message).startswith(f"Regressors out of range: the sums of squares of columns {column} ")
    assert np.all(np.isnan(np.asarray(result.cov_params())))


@pytest.mark.parametrize("path", ["kestrum", "pandas"])
@pytest.mark.parametrize("scale", [1e-150, 1e-12, 1e12, 1e150])
def test_a_column_far_beyond_ordinary_units_still_gets_its_estimate(path, scale):
    y, X, scaled = scaled_design(scale)
    reference = reference_fit(y, X)
    result, caught = fit_scaled(path, y, scaled)
    assert result.converged is True and caught == []
    params = np.asarray(result.params) * [1.0, scale]  # in the units of x
    assert distance_in_se(params, reference) < SE_TOL
    assert reference_loglike(y, X, params) == pytest.approx(reference.loglike, abs=1e-6)
