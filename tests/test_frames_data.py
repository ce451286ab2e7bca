"""From a frame to the rows of the model: missing values, categorical terms,
bad input, predictions and pickling."""

import pickle
import re

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import kestrum  # noqa: E402

from conftest import FRAME_FORMULA, FRAME_REGRESSORS, assert_same_fit  # noqa: E402


def with_holes(frame):
    """Missing values in the outcome, a regressor and a cluster column, and in
    a column the model does not use (which must not drop its row)."""
    holed = frame.copy()
    holed["unused"] = 1.0
    holed.loc[[3, 50], "income"] = np.nan
    holed.loc[7, "y"] = np.nan
    holed.loc[[50, 90], "g"] = np.nan
    holed.loc[11, "unused"] = np.nan
    return holed, np.setdiff1d(np.arange(len(frame)), [3, 7, 50, 90])


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("clustered", [False, True])
def test_rows_with_a_missing_used_value_are_dropped_and_counted(frame_design, library, clustered):
    frame, y, X, clusters = frame_design
    holed, kept = with_holes(frame)
    if not clustered:  # g's holes do not count
        kept = np.setdiff1d(np.arange(len(frame)), [3, 7, 50])
    if library == "polars":
        holed = pytest.importorskip("polars").from_pandas(holed)  # NaN stays NaN; make them nulls too
        holed = holed.with_columns(holed["income"].fill_nan(None))

    result = kf.fit_probit(FRAME_FORMULA, holed, cluster="g" if clustered else None, npartitions=3,
                           vcov="CR0" if clustered else None)

    options = {"robust": True, "cluster_vars": clusters[kept, :1]} if clustered else {}
    reference = kestrum.fit_probit(y[kept], X[kept], **options)
    assert (result.nobs, result.n_dropped) == (len(kept), len(frame) - len(kept))
    assert_same_fit(result, reference)
    assert re.search(rf"Rows dropped \(missing\): +{len(frame) - len(kept)}\b", str(result.summary()))


def test_categorical_terms_take_their_levels_from_all_rows(frame_design):
    frame = frame_design[0].assign(region=np.array(["north", "south", "east", "west"])[frame_design[0]["h"] + (frame_design[0]["g"] % 2)])
    result = kf.fit_probit("y ~ C(region) + z", frame, npartitions=4)

    expected = ["Intercept", "C(region)[T.north]", "C(region)[T.south]", "C(region)[T.west]", "z"]
    assert result.params.index.tolist() == expected
    dummies = pd.get_dummies(frame["region"], dtype=float)[["north", "south", "west"]].to_numpy()
    X = np.column_stack([np.ones(len(frame)), dummies, frame["z"]])
    assert_same_fit(result, kestrum.fit_probit(frame["y"].to_numpy(), X))
    # New rows of one region get the model's columns all the same.
    new = frame.iloc[:5].assign(region="west")
    index = X[:5].copy()
    index[:, 1:4] = [0.0, 0.0, 1.0]
    from scipy.special import ndtr

    np.testing.assert_allclose(result.predict(new), ndtr(index @ result.params.to_numpy()), rtol=1e-12)


def test_predict_and_pickle(frame_design):
    frame = frame_design[0]
    result = kf.fit_probit(FRAME_FORMULA, frame, robust=True, npartitions=2)
    fitted = result.predict()
    new = frame.iloc[:10].copy()
    new.loc[new.index[2], "rate"] = np.nan
    predicted = result.predict(new)

    np.testing.assert_allclose(predicted.drop(new.index[2]), fitted[:10][np.arange(10) != 2], rtol=1e-12)
    assert np.isnan(predicted.iloc[2]) and predicted.index.equals(new.index)

    restored = pickle.loads(pickle.dumps(result))
    pd.testing.assert_series_equal(restored.params, result.params)
    pd.testing.assert_frame_equal(restored.cov_params(), result.cov_params())
    pd.testing.assert_frame_equal(kf.ame(restored), kf.ame(result))
    assert (restored.vcov, restored.cov_type) == ("HC1", result.cov_type)


def test_statistics_are_consistent(frame_design):
    result = kf.fit_probit(FRAME_FORMULA, frame_design[0])
    interval = result.conf_int(alpha=0.1)
    np.testing.assert_allclose(result.zvalues, result.params / np.sqrt(np.diag(result.cov_params())))
    np.testing.assert_allclose(interval[1] - result.params, 1.6448536269514722 * result.bse)
    assert result.df_model == len(FRAME_REGRESSORS)
    # The intercept-only fit's log-likelihood, from the share of ones.
    share = frame_design[0]["y"].mean()
    assert result.llnull == pytest.approx(len(frame_design[0]) * (share * np.log(share) + (1 - share) * np.log(1 - share)))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: kf.fit_probit("y ~ dummy_a + nothere", f), KeyError, "'nothere' is not in data"),
        (lambda f: kf.fit_probit("y ~ z", f, cluster=["g", "region"]), KeyError, "'region' is not in data"),
        (lambda f: kf.fit_probit("y ~ z", f.assign(y=f["y"] * 2)), ValueError, r"must be 0 or 1: row \d+ holds 2.0"),
        (lambda f: kf.fit_probit("y ~ z", f.set_index(f.index + 100).assign(y=0.5)), ValueError, "row 0 .index 100."),
        (lambda f: kf.fit_probit("y ~ z", f.to_numpy()), TypeError, "data must be a pandas, polars or Dask DataFrame"),
        (lambda f: kf.fit_probit("z", f), ValueError, "has no outcome"),
        (lambda f: kf.fit_probit("y ~ 0", f), ValueError, "has no regressors"),
        (lambda f: kf.fit_probit("y ~ z", f, robust=1), TypeError, "robust must be True or False"),
        (lambda f: kf.fit_probit("y ~ z", f, max_iter=-1), ValueError, "max_iter must be at least 0"),
        (lambda f: kf.fit_probit("y ~ z", f, npartitions=0), ValueError, "npartitions must be at least 1"),
        (lambda f: kf.fit_probit("y ~ z", f.assign(z=np.nan)), ValueError, "no rows of data are left"),
        (lambda f: kf.fit_probit("y ~ np.log(z)", f), ValueError, r"'np.log\(z\)' is NaN in row \d+, where no value"),
        (lambda f: kf.ame(kf.fit_probit("y ~ z", f), chunk_size=0), ValueError, "chunk_size must be at least 1"),
        (lambda f: kf.ame(object()), TypeError, "result must be a kestrum_frames result"),
    ],
)
def test_bad_input_raises_a_clear_error(frame_design, call, error, message):
    frame = frame_design[0]
    before = frame.copy()
    with pytest.raises(error, match=message):
        call(frame)
    pd.testing.assert_frame_equal(frame, before)  # the caller's data are never modified


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_cluster_keys(frame_design, library):
    """Numbers equal at four decimals are one cluster and -0.0 is 0.0; text
    columns cluster by value; two columns by combination."""
    frame, y, X, _ = frame_design
    values = np.array([0.0, -0.0, 1.00001, 1.00004, 2.5])[np.arange(len(y)) % 5]
    labels = np.array(["a", "b"])[np.arange(len(y)) % 2]
    frame = frame.assign(v=values, label=labels)
    data = frame if library == "pandas" else pytest.importorskip("polars").from_pandas(frame)

    by_value = kf.fit_probit(FRAME_FORMULA, data, cluster="v", vcov="CR0")
    by_both = kf.fit_probit(FRAME_FORMULA, data, cluster=("v", "label"), vcov="CR0")

    assert (by_value.n_clusters, by_both.n_clusters) == (3, 6)
    codes = np.column_stack([np.round(values, 4) + 0.0, np.arange(len(y)) % 2])
    assert_same_fit(by_value, kestrum.fit_probit(y, X, robust=True, cluster_vars=codes[:, :1]))
    assert_same_fit(by_both, kestrum.fit_probit(y, X, robust=True, cluster_vars=codes))


@pytest.mark.parametrize("kind", ["pandas", "polars", "dask"])
def test_every_frame_kind_gives_rows_of_one_interface(frame_design, kind):
    """The fit and its results reach a frame's rows only through ModelRows:
    each kind's adapter offers all of it, with the same counts and names."""
    from scipy import special

    from kestrum_frames.adapter import ModelRows

    frame, y, X, _ = frame_design
    if kind == "polars":
        data = pytest.importorskip("polars").from_pandas(frame)
    elif kind == "dask":
        data = pytest.importorskip("dask.dataframe").from_pandas(frame, npartitions=3)
    else:
        data = frame
    res = kf.fit_probit(FRAME_FORMULA, data, cluster="g")
    rows = res.model.data
    assert isinstance(rows, ModelRows)
    assert (rows.nobs, rows.dropped, rows.k, rows.cluster_names) == (len(y), 0, X.shape[1], ["g"])
    assert rows.outcome_sum == y.sum() and rows.passes == res.passes
    assert (rows.lazy_frame is data) == (kind == "dask")
    assert sum(rows.map(lambda partition: len(partition.y))) == len(y)
    # predict() of the rows used: in memory at once, or lazily over the Dask frame
    fitted = res.predict()
    fitted = fitted.compute().to_numpy() if kind == "dask" else fitted
    assert np.allclose(fitted, special.ndtr(X @ res.params.to_numpy()), rtol=1e-12, atol=0)
