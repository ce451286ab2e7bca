"""Newton's iteration from a sample (method="newton") beside BFGS from 0.

On the messy designs of test_trust.py and test_rounding_noise.py (rank
deficient, separated, heavy-tailed, rare events, extreme units) the two
iterations must agree in converged, in their warnings and, at tol=1e-10,
in the estimate to 1e-6 standard errors; a converged estimate is also
checked against the accurate reference MLE of reference_mle.py. On Parquet
files read anew every pass, the passes and the reads of the files are
counted."""

import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from reference_mle import distance_in_se, fit as reference_fit

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
from kestrum_frames import strategy  # noqa: E402

SE_TOL = 1e-3  # from the reference MLE, at the default tol's precision
AGREEMENT_SE = 1e-6  # Newton from BFGS, both at tol=1e-10


def probit_sample(rng, X, beta):
    return ((X @ beta + rng.normal(size=len(X))) > 0).astype(float)


def design(name, seed=0):
    """y and X (its constant, when it has one, a column like any other)."""
    rng = np.random.default_rng(seed)
    n = 2000
    x = rng.normal(size=n)
    X = np.column_stack([np.ones(n), x])
    if name in ("zero_column", "duplicate_column"):
        y = probit_sample(rng, X, np.array([-0.3, 0.6]))
        return y, np.column_stack([X, np.zeros(n) if name == "zero_column" else x])
    if name == "dummy_trap":
        d = (rng.random(n) < 0.4).astype(float)
        X = np.column_stack([np.ones(n), d, 1.0 - d, x])
        return probit_sample(rng, X, np.array([0.3, 0.5, -0.4, 0.2])), X
    if name in ("units_1e-10", "units_1e10"):
        scale = 1e-10 if name == "units_1e-10" else 1e10
        X = np.column_stack([np.ones(n), rng.normal(size=(n, 2)) * scale])
        return probit_sample(rng, X, np.array([0.2, 0.8 / scale, -0.5 / scale])), X
    if name == "flipped_extremes":
        y = probit_sample(rng, X, np.array([0.0, 6.0]))
        extremes = np.argsort(np.abs(x))[-3:]
        y[extremes] = 1.0 - y[extremes]
        return y, X
    if name == "complete_separation":
        return (x > 0).astype(float), X
    if name == "quasi_complete_separation":
        d = (rng.random(n) < 0.1).astype(float)
        y = probit_sample(rng, X, np.array([0.0, 1.0]))
        y[d == 1] = 1.0
        return y, np.column_stack([X, d])
    if name == "constant_outcome":
        return np.ones(n), X
    if name == "more_columns_than_rows":
        return (rng.random(10) < 0.5).astype(float), rng.normal(size=(10, 14))
    if name == "rare_events":  # about 1 in 10^4 ones: the sample holds a few
        X = np.column_stack([np.ones(100_000), rng.normal(size=(100_000, 3))])
        return probit_sample(rng, X, np.array([-3.9, 0.3, -0.2, 0.1])), X
    if name == "heavy_tailed":
        X = np.column_stack([np.ones(1000), rng.standard_t(1, size=(1000, 5))])
        return probit_sample(rng, X, rng.normal(0.0, 0.5, 6)), X
    if name == "out_of_range":
        return probit_sample(rng, X, np.array([0.3, 1.0])), X * [1.0, 1e200]
    raise ValueError(name)


def fit(y, X, method, **options):
    frame = pd.DataFrame({"y": y, **{f"x{j}": X[:, j] for j in range(X.shape[1])}})
    formula = "y ~ 0 + " + " + ".join(f"x{j}" for j in range(X.shape[1]))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = kf.fit_probit(formula, frame, npartitions=4, method=method, **options)
    return result, sorted(str(w.message) for w in caught if issubclass(w.category, RuntimeWarning))


def assert_iterations_agree(y, X, agreement=AGREEMENT_SE, **options):
    bfgs, bfgs_warnings = fit(y, X, "bfgs", **options)
    newton, newton_warnings = fit(y, X, "newton", **options)
    assert (bfgs.strategy, newton.strategy) == ("bfgs", "newton")
    assert newton.converged is bfgs.converged
    assert newton_warnings == bfgs_warnings
    if bfgs.converged:
        se = bfgs.bse.to_numpy()
        identified = np.isfinite(se)
        np.testing.assert_array_equal(np.isnan(newton.params), np.isnan(bfgs.params))
        gap = np.abs(newton.params.to_numpy() - bfgs.params.to_numpy())[identified] / se[identified]
        assert gap.max() < agreement
        if identified.all():
            assert distance_in_se(newton.params.to_numpy(), reference_fit(y, X)) < SE_TOL
    return bfgs, newton


@pytest.mark.parametrize(
    "name",
    ["zero_column", "duplicate_column", "dummy_trap", "units_1e-10", "units_1e10", "flipped_extremes", "rare_events",
     "complete_separation", "quasi_complete_separation", "constant_outcome", "more_columns_than_rows", "out_of_range"],
)
def test_newton_and_bfgs_agree_on_the_trust_designs(name):
    y, X = design(name)
    bfgs, newton = assert_iterations_agree(y, X, tol=1e-10)
    expected = name not in ("complete_separation", "quasi_complete_separation", "constant_outcome",
                            "more_columns_than_rows", "out_of_range")
    assert newton.converged is expected


def test_newton_and_bfgs_agree_on_heavy_tailed_regressors():
    """A decrement below tol=1e-10 puts an estimate within sqrt(tol) = 1e-5
    standard errors of the maximum. BFGS's superlinear steps stop up to
    about 1.6e-6 of them short here, Newton's quadratic ones far closer."""
    for seed in range(12):
        y, X = design("heavy_tailed", seed)
        bfgs, newton = assert_iterations_agree(y, X, agreement=1e-5, tol=1e-10)
        if newton.converged:
            assert distance_in_se(newton.params.to_numpy(), reference_fit(y, X)) < AGREEMENT_SE


@pytest.mark.parametrize("weight_type", ["frequency", "probability"])
def test_newton_and_bfgs_agree_with_weights(weight_type):
    rng = np.random.default_rng(11)
    X = np.column_stack([np.ones(20_000), rng.normal(size=(20_000, 3))])
    y = probit_sample(rng, X, np.array([0.2, 0.5, -0.4, 0.1]))
    w = rng.integers(0, 4, len(y)).astype(float)
    frame = pd.DataFrame({"y": y, "x1": X[:, 1], "x2": X[:, 2], "x3": X[:, 3], "w": w})
    fits = [kf.fit_probit("y ~ x1 + x2 + x3", frame, npartitions=4, weights="w", weight_type=weight_type, tol=1e-10,
                          method=method) for method in ("bfgs", "newton")]
    assert [f.converged for f in fits] == [True, True]
    # The oracle: statsmodels' GLM (IRLS), whose weighted likelihood is the
    # same for either kind of weight. BFGS stops about 4e-6 standard errors
    # short here, within the sqrt(tol) = 1e-5 that tol=1e-10 allows.
    oracle = sm.GLM(y, X, family=sm.families.Binomial(link=sm.families.links.Probit()), freq_weights=w)
    oracle = oracle.fit(tol=1e-14, maxiter=100).params
    se = fits[0].bse.to_numpy()
    assert np.max(np.abs(fits[1].params.to_numpy() - oracle) / se) < AGREEMENT_SE
    assert np.max(np.abs(fits[0].params.to_numpy() - oracle) / se) < 1e-5
    np.testing.assert_allclose(fits[1].bse.to_numpy(), se, rtol=1e-6)


@pytest.mark.parametrize("tol", [1e-6, 1e-12])
def test_newton_at_a_tol_below_the_rounding_of_l(tol):
    """n = 1e6: the rounding of l (about 1e-7) is above tol=1e-12, and a
    decrement below it puts an estimate within about 5e-4 standard errors
    of the maximum; BFGS stops about 3.5e-6 short, Newton within 1e-8."""
    rng = np.random.default_rng(7)
    X = np.column_stack([np.ones(1_000_000), rng.normal(size=(1_000_000, 2))])
    y = probit_sample(rng, X, np.array([0.1, 0.5, -0.3]))
    _, newton = assert_iterations_agree(y, X, agreement=SE_TOL, tol=tol)
    assert newton.converged is True
    assert newton.passes <= 3
    assert distance_in_se(newton.params.to_numpy(), reference_fit(y, X)) < AGREEMENT_SE


def test_method_is_checked_and_auto_keeps_bfgs_in_memory():
    y, X = design("zero_column")
    frame = pd.DataFrame({"y": y, "x": X[:, 1]})
    with pytest.raises(ValueError, match="method must be one of 'auto', 'newton', 'bfgs', not 'lbfgs'"):
        kf.fit_probit("y ~ x", frame, method="lbfgs")
    assert kf.fit_probit("y ~ x", frame).strategy == "bfgs"
    assert kf.fit_probit("y ~ x", dd.from_pandas(frame, npartitions=3), persist=True).strategy == "bfgs"
    assert "Iteration: BFGS from 0" in kf.fit_probit("y ~ x", frame).summary().as_text()


@pytest.mark.parametrize("npartitions, expected", [(1, [0]), (4, [2]), (20, [10]), (40, [10, 30]), (1000, [125, 375, 625, 875])])
def test_the_sample_is_spread_over_the_partitions(npartitions, expected):
    assert strategy.sample_positions(npartitions) == expected


@pytest.fixture(scope="module")
def parquet_design(tmp_path_factory):
    """20 files of 5000 rows: a probit with a constant and four regressors, 500 clusters."""
    rng = np.random.default_rng(22)
    n = 100_000
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 4)) * [1.0, 3.0, 0.1, 1.0]])
    y = probit_sample(rng, X, np.array([0.2, 0.5, -0.1, 2.0, 0.0]))
    frame = pd.DataFrame({"y": y, **{f"x{j}": X[:, j] for j in range(1, 5)}, "g": rng.integers(0, 500, n) * 1.0})
    path = tmp_path_factory.mktemp("newton_parquet")
    for part, rows in enumerate(np.array_split(np.arange(n), 20)):
        frame.iloc[rows].to_parquet(path / f"part{part:02d}.parquet")
    return path, frame


@pytest.mark.parametrize("options, most_passes", [({"vcov": "HC0"}, 4), ({"cluster": "g"}, 5)])
def test_out_of_core_passes(parquet_design, options, most_passes):
    """persist=False reads the files on every pass: Newton's fit reads the
    sample's partition once and every file passes times; the estimate and
    covariance agree with BFGS's from a pandas frame."""
    path, frame = parquet_design
    formula = "y ~ x1 + x2 + x3 + x4"
    reads = []
    data = dd.read_parquet(path).map_partitions(lambda part: reads.append(len(part)) or part, meta=frame.iloc[:0])
    with dask.config.set(scheduler="threads"):
        result = kf.fit_probit(formula, data, persist=False, **options)
    assert (result.strategy, result.converged) == ("newton", True)
    assert result.passes <= most_passes
    assert len(reads) == result.passes * 20 + 1 and sum(reads) == (result.passes * 20 + 1) * 5000
    y, X = frame["y"].to_numpy(), np.column_stack([np.ones(len(frame)), frame[["x1", "x2", "x3", "x4"]].to_numpy()])
    assert distance_in_se(result.params.to_numpy(), reference_fit(y, X)) < SE_TOL
    reference = kf.fit_probit(formula, frame, method="bfgs", **options)
    np.testing.assert_allclose(result.bse.to_numpy(), reference.bse.to_numpy(), rtol=1e-4)
    assert "Iteration: Newton from the fit on a sample of 1 of 20 partitions, 5000 rows" in result.summary().as_text()


@pytest.mark.parametrize("persist", [False, True])
def test_the_sample_fits_at_most_sample_rows(parquet_design, monkeypatch, persist):
    """Four partitions of 400 in the sample, 250 leading rows of each fitted."""
    path, frame = parquet_design
    monkeypatch.setattr(strategy, "SAMPLE_ROWS", 1000)
    data = dd.read_parquet(path).repartition(npartitions=100)
    with dask.config.set(scheduler="threads"):
        result = kf.fit_probit("y ~ x1 + x2 + x3 + x4", data, persist=persist, vcov="HC0", method="newton")
    assert result.converged is True and result.passes <= 4
    assert "sample of 4 of 100 partitions, 1000 rows" in result.summary().as_text()
