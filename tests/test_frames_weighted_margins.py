"""Marginal effects and average predictions of weighted fits: frequency
weights against the fit on the rows repeated, probability weights against
weighted averages written here in NumPy, and Dask against pandas."""

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
from scipy import special  # noqa: E402

from test_frames_margins import FORMULA, closed_forms, data  # noqa: E402,F401 (data: the fixture)


@pytest.fixture(scope="module")
def weighted(data):
    """The margins tests' data with a frequency weight (0 to 3, 0 dropping
    its row, one missing) and a probability weight."""
    rng = np.random.default_rng(23)
    frame = data.assign(fw=rng.integers(0, 4, len(data)).astype(float), pw=rng.uniform(0.2, 3.0, len(data)))
    frame.loc[5, "fw"] = np.nan
    return frame


def repeated(frame, column):
    kept = frame[frame[column].notna()]
    return kept.loc[kept.index.repeat(kept[column].astype(int))].reset_index(drop=True)


def numbers(table):
    return table.iloc[:, [0, 1]].to_numpy(float)


CALLS = {
    "ame": lambda res: kf.ame(res),
    "ame by": lambda res: kf.ame(res, by="grp"),
    "ame at, link": lambda res: kf.ame(res, at={"x1": [0.5, 1.5]}, scale="link"),
    "ame atmeans": lambda res: kf.ame(res, atmeans=True),
    "predictions": lambda res: kf.avg_predictions(res),
    "predictions by": lambda res: kf.avg_predictions(res, by=["grp", "g"]),
}


@pytest.mark.parametrize("formula", [FORMULA, "y ~ x1 + x2 + d"])
@pytest.mark.parametrize("vcov", [{}, {"robust": True}, {"cluster": "grp"}])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_frequency_weights_equal_repeated_rows(weighted, formula, vcov, call):
    fit = kf.fit_probit(formula, weighted, weights="fw", npartitions=3, **vcov)
    on_repeats = kf.fit_probit(formula, repeated(weighted, "fw"), **vcov)
    np.testing.assert_allclose(fit.params, on_repeats.params, rtol=1e-10, atol=1e-12)
    table, expected = call(fit), call(on_repeats)
    assert table.index.equals(expected.index)
    np.testing.assert_allclose(numbers(table), numbers(expected), rtol=1e-10, atol=1e-12)


def _phi(z):
    return np.exp(-z * z / 2) / np.sqrt(2 * np.pi)


def test_probability_weights_against_numpy(weighted):
    """y ~ x1 + I(x1**2) + x2: the weighted average of phi(x'b) (b1 + 2 b2 x1)
    and of Phi(x'b), with their Jacobians written out and the fit's
    covariance (HC1 by default)."""
    fit = kf.fit_probit("y ~ x1 + I(x1**2) + x2", weighted, weights="pw", weight_type="probability")
    b, V = fit.params.to_numpy(), fit.cov_params().to_numpy()
    x1, x2, w = (weighted[c].to_numpy() for c in ("x1", "x2", "pw"))
    X = np.column_stack([np.ones_like(x1), x1, x1**2, x2])
    z = X @ b
    dx1 = np.column_stack([np.zeros_like(x1), np.ones_like(x1), 2 * x1, np.zeros_like(x1)])  # d x_i / d x1
    t = dx1 @ b

    def average(values):
        return w @ values / w.sum()

    effects = {"x1": (_phi(z) * t, _phi(z)[:, None] * dx1 - (z * _phi(z) * t)[:, None] * X),
               "x2": (_phi(z) * b[3], _phi(z)[:, None] * np.eye(4)[3] - (z * _phi(z) * b[3])[:, None] * X)}
    table = kf.ame(fit)
    for name, (values, gradients) in effects.items():
        J = average(gradients)
        assert table.loc[name, "dy/dx"] == pytest.approx(average(values), rel=1e-10)
        assert table.loc[name, "Std. Err"] == pytest.approx(np.sqrt(J @ V @ J), rel=1e-8)
    prediction = kf.avg_predictions(fit)
    J = average(_phi(z)[:, None] * X)
    assert prediction.loc["overall", "Prediction"] == pytest.approx(average(special.ndtr(z)), rel=1e-12)
    assert prediction.loc["overall", "Std. Err"] == pytest.approx(np.sqrt(J @ V @ J), rel=1e-10)
    unweighted = kf.ame(kf.fit_probit("y ~ x1 + I(x1**2) + x2", weighted, robust=True))
    assert abs(table.loc["x1", "dy/dx"] - unweighted.loc["x1", "dy/dx"]) > 1e-4  # the weights matter here


def test_probability_weights_of_levels_by_group(weighted):
    """Every effect of the margins tests' formula within groups: weighted
    averages of the closed forms, the Jacobian by central differences."""
    fit = kf.fit_probit(FORMULA, weighted, weights="pw", weight_type="probability", cluster="grp")
    names, beta = fit.params.index.tolist(), fit.params.to_numpy()
    labels = ["x1", "x2", "g[b]", "g[c]", "d"]
    w = weighted.pw.to_numpy()
    masks = [weighted.grp.to_numpy() == g for g in (1, 2, 3)]

    def averages(b):
        rows = closed_forms(weighted, dict(zip(names, b)))
        return np.array([w[m] @ rows[label][m] / w[m].sum() for m in masks for label in labels])

    J = np.empty((3 * len(labels), beta.size))
    for j in range(beta.size):
        h = 1e-6 * max(abs(beta[j]), 1.0)
        up, down = beta.copy(), beta.copy()
        up[j], down[j] = beta[j] + h, beta[j] - h
        J[:, j] = (averages(up) - averages(down)) / (2 * h)
    se = np.sqrt(np.einsum("ij,jk,ik->i", J, fit.cov_params().to_numpy(), J))
    table = kf.ame(fit, by="grp").loc[[(g, label) for g in (1, 2, 3) for label in labels]]
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), averages(beta), rtol=1e-7, atol=1e-12)
    np.testing.assert_allclose(table["Std. Err"].to_numpy(), se, rtol=1e-6)


WEIGHTS = {"frequency": {"weights": "fw"}, "probability": {"weights": "pw", "weight_type": "probability"}}


@pytest.mark.parametrize("weights", WEIGHTS.values(), ids=WEIGHTS.keys())
@pytest.mark.parametrize("formula", [FORMULA, "y ~ x1 + x2 + d"])
@pytest.mark.parametrize("drops", [False, True])
def test_dask_equals_pandas(weighted, weights, formula, drops):
    """Without dropped rows the partitions are the same: the same bits. Rows
    of weight 0 or missing are dropped within each Dask partition, where
    the pandas path drops them before partitioning: the same numbers."""
    dd = pytest.importorskip("dask.dataframe")
    frame = weighted.assign(fw=weighted.fw.fillna(0.0) + 1.0, g=weighted.g.astype("category"))  # known levels
    if drops:
        frame.loc[[3, 700, 1200], ["fw", "pw"]] = [[0.0, 0.0], [np.nan, np.nan], [0.0, 0.0]]
    data = dd.from_pandas(frame, npartitions=3)
    on_dask = kf.fit_probit(formula, data, **weights)
    in_memory = kf.fit_probit(formula, frame, npartitions=3, **weights)
    assert on_dask.nobs == in_memory.nobs
    for call in CALLS.values():
        if drops:
            np.testing.assert_allclose(numbers(call(on_dask)), numbers(call(in_memory)), rtol=1e-10, atol=1e-13)
        else:
            assert data.map_partitions(len).compute().tolist() == [500] * 3
            np.testing.assert_array_equal(numbers(call(on_dask)), numbers(call(in_memory)))


def test_columnwise_table_of_a_weighted_fit_is_refused(weighted):
    fit = kf.fit_probit("y ~ x1 + x2", weighted, weights="fw")
    with pytest.raises(ValueError, match="columnwise=True is not available for a weighted fit"):
        kf.ame(fit, columnwise=True)
