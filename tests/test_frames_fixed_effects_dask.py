"""Probit with absorbed fixed effects on Dask DataFrames.

The oracles: the pandas fit of the same rows (its sums added in another
order, so to rounding, not to the bit), and the explicit-dummy fit by
statsmodels. The Dask fit itself has the same bits on every scheduler.
"""

import warnings

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
dd = pytest.importorskip("dask.dataframe")
import dask  # noqa: E402
from distributed import Client, LocalCluster, get_task_stream  # noqa: E402

from test_frames_fixed_effects import dummy_ape, dummy_fit, panel, used_rows  # noqa: E402

# The two fits add their sums in other orders, so they agree to rounding. (At a loose tol their last Newton
# step can fall below l's rounding, where a line search that halves it in one fit and not in the other moves
# beta by about sqrt(rounding / H); these fits take tol=1e-12, as the in-memory tests do.)
RTOL = 1e-10


def spread_panel(seed=0, **options):
    """panel() with its rows shuffled, so that every firm's and year's rows span several partitions,
    a few missing regressor values and three perfectly classified firms."""
    frame = panel(seed=seed, **options)
    frame.loc[frame["firm"] == "f0", "y"] = 0.0
    frame.loc[frame["firm"] == "f1", "y"] = 1.0
    frame.loc[[5, 17, 40], "x2"] = np.nan
    return frame.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def quiet(formula, data, **options):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "fixed effects: .*perfectly classified", RuntimeWarning)
        return kf.fit_probit(formula, data, tol=1e-12, **options)


def numbers(result):
    return np.concatenate([result.params.to_numpy(), result.cov_params().to_numpy().ravel(), [result.loglike]])


COVARIANCES = [dict(vcov="nonrobust"), dict(vcov="HC0"), dict(vcov="HC1"), dict(vcov="CR0"), dict(),
               dict(cluster="year"), dict(cluster="region")]


@pytest.mark.parametrize("effects", ["firm", "firm + year"], ids=["one-way", "two-way"])
@pytest.mark.parametrize("options", COVARIANCES, ids=lambda o: "-".join(map(str, o.values())) or "default")
def test_dask_fit_equals_the_pandas_fit(effects, options):
    frame = spread_panel()
    frame["region"] = np.where(frame.index % 7 == 3, None, "r" + (frame.index % 9).astype(str))  # missing: dropped
    formula = f"y ~ x1 + x2 | {effects}"
    expected = quiet(formula, frame, **options)
    result = quiet(formula, dd.from_pandas(frame, npartitions=5), **options)
    assert result.converged and expected.converged
    np.testing.assert_allclose(result.params, expected.params, rtol=RTOL)
    np.testing.assert_allclose(result.cov_params(), expected.cov_params(), rtol=RTOL, atol=1e-14)
    assert result.loglike == pytest.approx(expected.loglike, rel=1e-12)
    assert result.llnull == pytest.approx(expected.llnull, rel=1e-12)
    assert (result.nobs, result.n_dropped, result.n_separated, result.separated_levels, result.n_clusters) == (
        expected.nobs, expected.n_dropped, expected.n_separated, expected.separated_levels, expected.n_clusters)
    assert result.n_separated > 0 and result.n_dropped > 0
    assert result.cov_type == expected.cov_type
    assert str(result.summary()).splitlines()[3:7] == str(expected.summary()).splitlines()[3:7]  # the counts
    for corrected in [False, True]:
        np.testing.assert_allclose(kf.ame(result, bias_correction=corrected).iloc[:, :4].to_numpy(float),
                                   kf.ame(expected, bias_correction=corrected).iloc[:, :4].to_numpy(float), rtol=RTOL)
    np.testing.assert_allclose(result.bias_corrected_params(), expected.bias_corrected_params(), rtol=RTOL)


@pytest.mark.parametrize("vcov", ["nonrobust", "CR1"])
def test_dask_fit_and_effects_equal_the_explicit_dummy_fit(vcov):
    frame = spread_panel(seed=3)
    result = quiet("y ~ x1 + x2 | firm + year", dd.from_pandas(frame, npartitions=4), vcov=vcov)
    rows = used_rows(frame, quiet("y ~ x1 + x2 | firm + year", frame, vcov=vcov))
    Z, params, cov = dummy_fit(rows, ["firm", "year"], vcov)
    np.testing.assert_allclose(result.params.to_numpy(), params[:2], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(result.cov_params().to_numpy(), cov[:2, :2], rtol=1e-8, atol=1e-12)
    assert result.nobs == len(rows)
    table = kf.ame(result)
    for j, name in enumerate(["x1", "x2"]):
        estimate, se = dummy_ape(Z, params, cov, j)
        assert table.loc[name, "dy/dx"] == pytest.approx(estimate, rel=1e-8)
        assert table.loc[name, "Std. Err"] == pytest.approx(se, rel=1e-7)


def test_perfectly_classified_levels_are_dropped_again_and_again():
    """As in the pandas test: once firms f0 and f1 go, year 2005 is constant, and without it firm f2."""
    frame = panel(seed=2, firms=12, years=6, missing_share=0.0)
    others = ~frame["firm"].isin(["f0", "f1", "f2"])
    number = frame["firm"].str[1:].astype(int)
    for year, value in [(2000, number % 2), (2001, 1 - number % 2)]:
        frame.loc[others & (frame["year"] == year), "y"] = value[others & (frame["year"] == year)]
    frame.loc[frame["firm"] == "f0", "y"] = 0.0
    frame.loc[frame["firm"] == "f1", "y"] = 1.0
    frame.loc[frame["firm"] == "f2", "y"] = (frame["year"] == 2005).astype(float)
    frame = frame[~((frame["year"] == 2005) & others)].sample(frac=1.0, random_state=1).reset_index(drop=True)
    with pytest.warns(RuntimeWarning, match="perfectly classified"):
        result = kf.fit_probit("y ~ x1 + x2 | firm + year", dd.from_pandas(frame, npartitions=3),
                               vcov="nonrobust", tol=1e-12)
    assert result.separated_levels == {"firm": 3, "year": 1}
    assert result.n_separated == 3 * 6 and result.nobs == len(frame) - 18
    assert "firm 3, year 1" in str(result.summary())
    expected = quiet("y ~ x1 + x2 | firm + year", frame, vcov="nonrobust")
    np.testing.assert_allclose(result.params, expected.params, rtol=RTOL)


def test_collinear_regressor_is_dropped_as_in_pandas():
    frame = spread_panel(seed=4)
    frame["firm_size"] = frame["firm"].str[1:].astype(float)  # constant within each firm
    formula = "y ~ x1 + firm_size + x2 | firm"
    with pytest.warns(RuntimeWarning, match="firm_size are collinear"):
        result = quiet(formula, dd.from_pandas(frame, npartitions=3))
    with pytest.warns(RuntimeWarning, match="firm_size are collinear"):
        expected = quiet(formula, frame)
    assert np.isnan(result.params["firm_size"])
    np.testing.assert_allclose(result.params.dropna(), expected.params.dropna(), rtol=RTOL)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster, set_as_default=False) as client:
            yield client


def test_same_bits_on_every_scheduler(client):
    """Worker processes too: the partitions travel between them (in buffers not always aligned)."""
    frame = spread_panel(seed=5)
    data = dd.from_pandas(frame, npartitions=6)

    def everything():
        result = quiet("y ~ x1 + x2 | firm + year", data, vcov="CR1")
        tables = [kf.ame(result, bias_correction=corrected).iloc[:, :4].to_numpy(float).ravel()
                  for corrected in [False, True]]
        return np.concatenate([numbers(result), *tables, result.fixef()["firm"].to_numpy()])

    fits = {}
    for scheduler in ["sync", "threads"]:
        with dask.config.set(scheduler=scheduler):
            fits[scheduler] = everything()
    with client.as_current(), dask.config.set(scheduler=client), get_task_stream(client) as tasks:
        fits["distributed"] = everything()
    assert any("_aligned_call" in str(task["key"]) for task in tasks.data)  # the passes ran on the cluster
    assert fits["sync"].tobytes() == fits["threads"].tobytes() == fits["distributed"].tobytes()


def test_bad_input_names_the_column_and_the_partition():
    frame = spread_panel()
    data = dd.from_pandas(frame, npartitions=3)
    with pytest.raises(KeyError, match="fixed effect 'plant'"):
        kf.fit_probit("y ~ x1 | plant", data)
    with pytest.raises(KeyError, match="x9"):
        kf.fit_probit("y ~ x9 | firm", data)
    rows = data.partitions[1].compute().index[[2, 4]]
    broken = frame.assign(firm=frame["firm"].where(~frame.index.isin(rows)))
    with pytest.raises(ValueError, match=rf"fixed effect 'firm' is missing in 2 rows of partition 1 of data, "
                                         rf"first in row 2 \(index {rows[0]}\)"):
        kf.fit_probit("y ~ x1 | firm", dd.from_pandas(broken, npartitions=3))
    infinite = frame.assign(x1=frame["x1"].where(frame.index != rows[0], np.inf))
    with pytest.raises(ValueError, match="partition 1 of data: .*x1"):
        kf.fit_probit("y ~ x1 | firm", dd.from_pandas(infinite, npartitions=3))


@pytest.mark.parametrize("effects", ["firm", "firm + year"], ids=["one-way", "two-way"])
def test_fixed_effects_and_predictions_equal_those_of_pandas(effects):
    frame = spread_panel(seed=6)
    data = dd.from_pandas(frame, npartitions=4)
    result = quiet(f"y ~ x1 + x2 | {effects}", data)
    expected = quiet(f"y ~ x1 + x2 | {effects}", frame)
    for name, effect in expected.fixef().items():
        pd.testing.assert_series_equal(result.fixef()[name].sort_index(), effect.sort_index(), rtol=1e-9)
    # NaN where a row was dropped (a missing x2, a perfectly classified firm).
    with pytest.warns(UserWarning, match="their predictions are NaN"):
        lazy = result.predict(data)
        assert isinstance(lazy, dd.Series)
        computed = lazy.compute()
    with pytest.warns(UserWarning, match="their predictions are NaN"):
        direct = expected.predict(frame)
    pd.testing.assert_series_equal(computed, direct, rtol=1e-9)
    assert computed.isna().sum() == len(frame) - expected.nobs
    with pytest.raises(NotImplementedError, match="needs newdata"):
        result.predict()


def test_partitions_left_empty_and_three_fixed_effects():
    """A partition of perfectly classified firms only (empty once they go), an empty one, three fixed effects."""
    frame = spread_panel(seed=2)
    frame["region"] = "r" + (frame.index % 5).astype(str)
    separated = frame["firm"].isin(["f0", "f1"])
    frame = pd.concat([frame[separated], frame[~separated]], ignore_index=True)
    parts = [frame[: separated.sum()], frame[:0], frame[separated.sum():]]
    data = dd.from_delayed([dask.delayed(part) for part in parts], meta=frame[:0])
    for formula in ["y ~ x1 + x2 | firm + year", "y ~ x1 + x2 | firm + year + region"]:
        result, expected = quiet(formula, data, vcov="HC1"), quiet(formula, frame, vcov="HC1")
        np.testing.assert_allclose(result.params, expected.params, rtol=RTOL)
        np.testing.assert_allclose(result.bse, expected.bse, rtol=RTOL)
        np.testing.assert_allclose(kf.ame(result, bias_correction=True).iloc[:, :2].to_numpy(float),
                                   kf.ame(expected, bias_correction=True).iloc[:, :2].to_numpy(float), rtol=RTOL)
