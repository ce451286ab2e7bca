"""kestrum_frames gives kestrum's estimates on the same data, whatever the
frame library, the partitioning or the number of threads."""

import types

import numpy as np
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import dask  # noqa: E402
import kestrum  # noqa: E402

from conftest import FRAME_FORMULA, FRAME_REGRESSORS, assert_same_fit  # noqa: E402

COVARIANCES = {
    "nonrobust": ({}, {}),
    "HC0": ({"vcov": "HC0"}, {"robust": True}),
    "two-column clusters": ({"cluster": ("g", "h"), "vcov": "CR0"}, {"robust": True}),
}


def as_frame(frame, library):
    return frame if library == "pandas" else pytest.importorskip("polars").from_pandas(frame)


def named(result, X, names):
    """A kestrum result with real names, as kestrum.ame accepts it."""
    model = types.SimpleNamespace(exog=X, exog_names=names)
    return types.SimpleNamespace(params=result.params, cov_params=result.cov_params, model=model)


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("npartitions", [1, 3, 8])
@pytest.mark.parametrize("covariance", COVARIANCES)
def test_fit_and_ame_agree_with_kestrum(frame_design, library, npartitions, covariance):
    frame, y, X, clusters = frame_design
    options, core_options = COVARIANCES[covariance]
    if "cluster" in options:
        core_options = dict(core_options, cluster_vars=clusters)
    reference = kestrum.fit_probit(y, X, **core_options)

    result = kf.fit_probit(FRAME_FORMULA, as_frame(frame, library), npartitions=npartitions, **options)

    assert result.params.index.tolist() == ["Intercept", *FRAME_REGRESSORS]
    assert_same_fit(result, reference)
    assert result.loglike == pytest.approx(reference.loglike, rel=1e-12)
    assert result.converged == reference.converged
    table = kf.ame(result, chunk_size=500)
    expected = kestrum.ame(named(reference, X, ["Intercept", *FRAME_REGRESSORS]))
    assert table.index.tolist() == FRAME_REGRESSORS
    assert (table["Significance"] == expected["Significance"]).all()
    np.testing.assert_allclose(table.iloc[:, :4].to_numpy(float), expected.iloc[:, :4].to_numpy(float), rtol=1e-10)


def test_one_partition_is_kestrum_bit_for_bit(frame_design):
    frame, y, X, _ = frame_design
    result = kf.fit_probit(FRAME_FORMULA, frame, npartitions=1)
    reference = kestrum.fit_probit(y, X)
    assert np.array_equal(result.params.to_numpy(), reference.params)
    assert np.array_equal(result.cov_params().to_numpy(), reference.cov_params())
    assert result.iterations == reference.iterations


def test_thread_count_does_not_change_a_bit(frame_design):
    frame = frame_design[0]
    runs = []
    for workers in (1, 2, 4):
        with dask.config.set(scheduler="threads", num_workers=workers):
            result = kf.fit_probit(FRAME_FORMULA, frame, cluster="g", npartitions=7)
            runs.append((result.params.to_numpy(), result.cov_params().to_numpy(), kf.ame(result).to_numpy()))
    for params, cov, table in runs[1:]:
        assert np.array_equal(params, runs[0][0])
        assert np.array_equal(cov, runs[0][1])
        assert np.array_equal(table[:, :4].astype(float), runs[0][2][:, :4].astype(float))


@pytest.mark.parametrize("by_formula", [True, False])
def test_ame_of_statsmodels_results(frame_design, by_formula):
    sm = pytest.importorskip("statsmodels.api")
    smf = pytest.importorskip("statsmodels.formula.api")
    frame, y, X, _ = frame_design
    if by_formula:
        fitted = smf.probit(FRAME_FORMULA, frame).fit(disp=0)
    else:
        fitted = sm.Probit(frame["y"], sm.add_constant(frame[FRAME_REGRESSORS])).fit(disp=0)

    table = kf.ame(fitted)

    names = ["Intercept", *FRAME_REGRESSORS] if by_formula else ["const", *FRAME_REGRESSORS]
    arrays = types.SimpleNamespace(
        params=np.asarray(fitted.params), cov_params=lambda: np.asarray(fitted.cov_params())
    )
    expected = kestrum.ame(named(arrays, X, names))
    assert table.index.tolist() == FRAME_REGRESSORS
    np.testing.assert_allclose(table.iloc[:, :4].to_numpy(float), expected.iloc[:, :4].to_numpy(float), rtol=1e-10)


def test_ame_refuses_other_statsmodels_models(frame_design):
    smf = pytest.importorskip("statsmodels.formula.api")
    logit = smf.logit(FRAME_FORMULA, frame_design[0]).fit(disp=0)
    with pytest.raises(TypeError, match="Logit"):
        kf.ame(logit)
