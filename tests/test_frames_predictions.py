"""Fitted probabilities with delta-method standard errors and intervals
(get_prediction), against statsmodels' probit at the same estimates."""

import pathlib

import numpy as np
import pandas as pd
import pytest
from scipy import special

from same_fit import COV_OPTIONS, MROZ_FORMULA, statsmodels_at

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
dd = pytest.importorskip("dask.dataframe")
from kestrum_frames import _native  # noqa: E402

MROZ = pathlib.Path(__file__).resolve().parents[1] / "data" / "mroz.csv"
# statsmodels' probit summary frame under the names statsmodels' GLM gives it.
STATSMODELS_NAMES = {"predicted": "mean", "se": "mean_se", "ci_lower": "mean_ci_lower", "ci_upper": "mean_ci_upper"}


@pytest.fixture(scope="module")
def mroz():
    return pd.read_csv(MROZ)


def statsmodels_frame(reference, alpha, exog=None):
    prediction = reference.get_prediction(exog) if exog is not None else reference.get_prediction()
    return prediction.summary_frame(alpha).rename(columns=STATSMODELS_NAMES)


@pytest.mark.parametrize("alpha", [0.05, 0.2])
@pytest.mark.parametrize("cov", list(COV_OPTIONS))
def test_rows_of_the_fit_agree_with_statsmodels(mroz, cov, alpha):
    ours, theirs = COV_OPTIONS[cov]
    result = kf.fit_probit(MROZ_FORMULA, mroz, npartitions=3, **ours)
    expected = statsmodels_frame(statsmodels_at(result, MROZ_FORMULA, mroz, **theirs), alpha)

    frame = result.get_prediction().summary_frame(alpha)
    assert list(frame.columns) == list(STATSMODELS_NAMES.values())
    np.testing.assert_allclose(frame.to_numpy(), expected.to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(result.get_prediction().predicted, result.predict(), rtol=1e-14)


def test_new_rows_keep_their_index_and_give_nan_where_a_value_is_missing(mroz):
    result = kf.fit_probit(MROZ_FORMULA, mroz)
    reference = statsmodels_at(result, MROZ_FORMULA, mroz)
    new = mroz.iloc[[5, 3, 400, 9]].set_index(pd.Index(list("abcd"), name="who"))
    new.loc["c", "educ"] = np.nan

    frame = result.get_prediction(new).summary_frame()
    assert frame.index.equals(new.index)
    assert frame.loc["c"].isna().all()
    kept = new.drop(index="c")
    np.testing.assert_allclose(frame.drop(index="c").to_numpy(), statsmodels_frame(reference, 0.05, kept).to_numpy(),
                               rtol=1e-8)
    bounds = result.get_prediction(kept).conf_int(0.1)
    np.testing.assert_allclose(bounds, reference.get_prediction(kept).conf_int(alpha=0.1), rtol=1e-8)


def test_polars_and_dask_rows_give_the_same_predictions(mroz):
    pl = pytest.importorskip("polars")
    result = kf.fit_probit(MROZ_FORMULA, mroz)
    expected = result.get_prediction(mroz).summary_frame()

    from_polars = result.get_prediction(pl.from_pandas(mroz)).summary_frame()
    np.testing.assert_allclose(from_polars.to_numpy(), expected.to_numpy(), rtol=1e-14)

    lazy = result.get_prediction(dd.from_pandas(mroz, npartitions=4)).summary_frame()
    assert isinstance(lazy, dd.DataFrame)
    np.testing.assert_allclose(lazy.compute().to_numpy(), expected.to_numpy(), rtol=1e-14)


def test_a_fit_on_a_dask_frame_predicts_its_rows_lazily(mroz):
    frame = dd.from_pandas(mroz, npartitions=3)
    result = kf.fit_probit(MROZ_FORMULA, frame)
    prediction = result.get_prediction()
    assert isinstance(prediction.se, dd.Series)
    expected = statsmodels_frame(statsmodels_at(result, MROZ_FORMULA, mroz), 0.05)
    np.testing.assert_allclose(prediction.summary_frame().compute().to_numpy(), expected.to_numpy(), rtol=1e-8)


def test_native_rows_read_any_strides_and_match_the_closed_form():
    rng = np.random.default_rng(3)
    wide = rng.normal(size=(600, 8))
    X = wide[:, ::2]  # a view: columns two elements apart
    beta = rng.normal(size=4) / 2
    A = rng.normal(size=(4, 4))
    cov = A @ A.T / 10

    out = _native.row_predictions(X, beta, cov)
    strided_again = _native.row_predictions(np.asfortranarray(X), beta, cov)
    xb = X @ beta
    s = np.sqrt(np.einsum("ia,ab,ib->i", X, cov, X))
    np.testing.assert_allclose(out["index"], xb, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(out["index_se"], s, rtol=1e-12)
    np.testing.assert_allclose(out["probability"], special.ndtr(xb), rtol=1e-13)
    np.testing.assert_allclose(out["probability_se"], np.exp(-xb**2 / 2) / np.sqrt(2 * np.pi) * s, rtol=1e-12)
    for name in out:
        np.testing.assert_array_equal(out[name], strided_again[name])


def test_alpha_outside_the_unit_interval_is_refused(mroz):
    prediction = kf.fit_probit(MROZ_FORMULA, mroz).get_prediction()
    with pytest.raises(ValueError, match="alpha must be in"):
        prediction.summary_frame(1.5)


def test_a_dropped_dependent_column_leaves_the_predictions_of_the_model_without_it(mroz):
    frame = mroz.assign(copy=2.0 * mroz["educ"])
    with pytest.warns(RuntimeWarning, match="dropped copy"):
        result = kf.fit_probit(MROZ_FORMULA + " + copy", frame)
    reference = kf.fit_probit(MROZ_FORMULA, mroz)
    np.testing.assert_allclose(result.get_prediction().summary_frame(), reference.get_prediction().summary_frame(),
                               rtol=1e-6)
    np.testing.assert_allclose(result.predict(frame), reference.predict(mroz), rtol=1e-6)
    assert result.aic == pytest.approx(reference.aic, rel=1e-9) and result.bic == pytest.approx(reference.bic, rel=1e-9)
