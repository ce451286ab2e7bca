"""The plots draw one point and one interval per estimate, where the tables
put them (no image comparison)."""

import pathlib

import numpy as np
import pandas as pd
import pytest
from scipy import special

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402

MROZ = pathlib.Path(__file__).resolve().parents[1] / "data" / "mroz.csv"
FORMULA = "inlf ~ nwifeinc + educ + exper + age + kidslt6 + city"
NEEDS_PREDICTIONS = pytest.mark.skipif(
    not hasattr(kf, "avg_predictions"), reason="needs kf.avg_predictions and kf.ame(variables=, at=)"
)


@pytest.fixture(scope="module")
def mroz():
    return pd.read_csv(MROZ)


@pytest.fixture(scope="module")
def result(mroz):
    return kf.fit_probit(FORMULA, mroz)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def bars(ax):
    """Per errorbar series: the points (x, y) and the interval segments."""
    return [
        (np.column_stack(container.lines[0].get_data()), container.lines[2][0].get_segments())
        for container in ax.containers
    ]


def bands(ax):
    return [c for c in ax.collections if isinstance(c, PolyCollection)]


@pytest.mark.parametrize("alpha", [0.05, 0.1])
def test_plot_ame_draws_each_effect_with_its_interval(result, alpha):
    table = kf.ame(result)
    ax = kf.plot_ame(result, alpha=alpha)
    [(points, segments)] = bars(ax)
    assert len(points) == len(segments) == len(table)
    half = special.ndtri(1 - alpha / 2) * table["Std. Err"].to_numpy()
    np.testing.assert_allclose(points[:, 0], table["dy/dx"], rtol=1e-12)
    np.testing.assert_allclose([s[0][0] for s in segments], table["dy/dx"] - half, rtol=1e-12)
    np.testing.assert_allclose([s[1][0] for s in segments], table["dy/dx"] + half, rtol=1e-12)
    # The first term at the top, each on its own row, named on the axis.
    assert [t.get_text() for t in ax.get_yticklabels()] == list(table.index)
    assert list(points[:, 1]) == sorted(points[:, 1], reverse=True)


def test_plot_ame_takes_a_tables_own_interval_columns(result):
    table = kf.ame(result)
    # Deliberately lopsided bounds, to tell them from -/+ 1.96 SE.
    table = table.assign(**{"[0.025": table["dy/dx"] - table["Std. Err"], "0.975]": table["dy/dx"] + 3 * table["Std. Err"]})
    _, ax = plt.subplots()
    assert kf.plot_ame(table, ax=ax) is ax
    [(_, segments)] = bars(ax)
    np.testing.assert_allclose([s[0][0] for s in segments], table["[0.025"], rtol=1e-12)
    np.testing.assert_allclose([s[1][0] for s in segments], table["0.975]"], rtol=1e-12)


def test_plot_ame_groups_a_multiindex_table_by_its_by_level(mroz):
    # Effects by city as separate fits: a table of the shape by= gives.
    parts = {city: kf.ame(kf.fit_probit("inlf ~ nwifeinc + educ + exper + age", group))
             for city, group in mroz.groupby("city")}
    table = pd.concat(parts, names=["city", "term"])
    ax = kf.plot_ame(table)
    series = bars(ax)
    assert len(series) == 2 and all(len(points) == len(segments) == 4 for points, segments in series)
    for (points, _), effects in zip(series, parts.values()):
        np.testing.assert_allclose(points[:, 0], effects["dy/dx"], rtol=1e-12)
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["0", "1"]
    assert ax.get_legend().get_title().get_text() == "city"
    assert [t.get_text() for t in ax.get_yticklabels()] == ["nwifeinc", "educ", "exper", "age"]


def test_plot_ame_names_a_missing_column():
    with pytest.raises(ValueError, match="no 'Std. Err' column"):
        kf.plot_ame(pd.DataFrame({"dy/dx": [0.1]}, index=["x"]))


@NEEDS_PREDICTIONS
@pytest.mark.parametrize("by, groups", [(None, 1), ("city", 2)])
def test_plot_predictions_draws_a_line_and_band_per_group(result, by, groups):
    grid = [30.0, 37.5, 45.0, 52.5, 60.0]
    table = kf.avg_predictions(result, at={"age": grid}, by=by)
    ax = kf.plot_predictions(result, condition="age", by=by, grid=grid)
    lines = [line for line in ax.lines if len(line.get_xdata()) == len(grid)]
    assert len(lines) == groups and len(bands(ax)) == groups
    assert sorted(np.concatenate([line.get_ydata() for line in lines])) == pytest.approx(
        sorted(table["Prediction"]), rel=1e-12)
    for line in lines:
        np.testing.assert_allclose(line.get_xdata(), grid)


@NEEDS_PREDICTIONS
def test_plot_predictions_spans_the_conditions_range_by_default(result, mroz):
    ax = kf.plot_predictions(result, condition="age")
    [line] = ax.lines
    assert (line.get_xdata()[0], line.get_xdata()[-1]) == (mroz["age"].min(), mroz["age"].max())
    assert len(line.get_xdata()) == 25 and len(bands(ax)) == 1


@NEEDS_PREDICTIONS
def test_plot_slopes_draws_the_effect_along_the_condition(result):
    grid = [30.0, 40.0, 50.0, 60.0]
    table = kf.ame(result, variables=["educ"], at={"age": grid})
    ax = kf.plot_slopes(result, variable="educ", condition="age", grid=grid)
    lines = [line for line in ax.lines if len(line.get_xdata()) == len(grid)]
    assert len(lines) == 1 and len(bands(ax)) == 1
    np.testing.assert_allclose(lines[0].get_ydata(), table["dy/dx"], rtol=1e-12)


def test_a_condition_outside_the_model_needs_a_grid(result):
    with pytest.raises(ValueError, match="condition 'hours' is not a term of the model"):
        kf.plot_predictions(result, condition="hours")
