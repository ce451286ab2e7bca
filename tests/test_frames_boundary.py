"""The edges of kestrum_frames' input: values and types that must be refused
with a message naming what is wrong, valid formulas and column types that
must fit, degenerate samples, and linearly dependent columns, which are
dropped. Estimates are compared with statsmodels on designs built here
with NumPy."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import special

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import polars as pl  # noqa: E402
import statsmodels.api as sm  # noqa: E402

from conftest import SM_FIT, TIGHT  # noqa: E402


@pytest.fixture
def data():
    """400 rows indexed 'r0', 'r1', ...: regressors x1, x2, a text column s
    (levels a, b, c), a dotted name, cluster codes g and a 0/1 outcome."""
    rng = np.random.default_rng(7)
    n = 400
    frame = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(1.0, 2.0, n), "s": rng.choice(list("abc"), n)})
    frame["Sepal.Length"] = rng.uniform(4, 8, n)
    frame["g"] = rng.integers(0, 25, n)
    index = 0.2 + 0.8 * frame.x1 - 0.3 * frame.x2 + 0.5 * (frame.s == "b") + 0.1 * frame["Sepal.Length"] - 0.6
    frame["y"] = (index + rng.normal(size=n) > 0).astype(float)
    return frame.set_axis([f"r{i}" for i in range(n)])


def reference(y, columns, cov_type="nonrobust", **kwargs):
    """statsmodels' probit of y on a constant and the columns (a dict)."""
    X = np.column_stack([np.ones(len(y)), *[np.asarray(c, dtype=float) for c in columns.values()]])
    return sm.Probit(np.asarray(y, dtype=float), X).fit(**SM_FIT, cov_type=cov_type, **kwargs)


def assert_matches(result, ref, names):
    """Coefficients within 1e-4 standard errors of statsmodels', standard errors to 1e-5 relative."""
    se = np.asarray(ref.bse)
    np.testing.assert_array_less(np.abs(result.params[names].to_numpy() - ref.params) / se, 1e-4)
    np.testing.assert_allclose(result.bse[names].to_numpy(), se, rtol=1e-5)


def caught_messages(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = call()
    return value, [str(w.message) for w in caught]


# Wrong answers that become errors or the right numbers


@pytest.mark.parametrize("library", ["pandas", "polars", "dask"])
@pytest.mark.parametrize(
    "formula, change, term, value",
    [
        ("y ~ x1 + x2", lambda f: f.assign(x2=f.x2.where(f.index != "r7", np.inf)), "x2", "inf"),
        ("y ~ x1 + np.log(x2)", lambda f: f.assign(x2=f.x2.abs().where(f.index != "r7", 0.0)), "np.log(x2)", "-inf"),
        # A row with a missing value before it: the rows are looked through again without it.
        ("y ~ x1 + x2", lambda f: f.assign(x1=f.x1.where(f.index != "r2", np.nan),
                                           x2=f.x2.where(f.index != "r7", -np.inf)), "x2", "-inf"),
    ],
)
def test_an_infinite_regressor_is_refused_naming_term_row_and_value(data, library, formula, change, term, value):
    convert = {"pandas": lambda f: f, "polars": pl.from_pandas, "dask": lambda f: dd.from_pandas(f, npartitions=3)}
    frame = convert[library](change(data))
    where = r"row 7" if library == "polars" else r"row \d+ \(index 'r7'\)"
    message = rf"regressor '{re.escape(term)}' must be finite: found {value} in {where}$"
    with np.errstate(divide="ignore"), pytest.raises(ValueError, match=message):
        kf.fit_probit(formula, frame)


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize(
    "change, rows",
    [
        # Finite values whose squares overflow: the first pass's sums are not finite, yet no row is bad.
        (lambda f: f.assign(x2=f.x2 * 1e160), 400),
        # A missing regressor value found by the first pass: the fit is that of the other rows.
        (lambda f: f.assign(x2=f.x2.where(~f.index.isin(["r3", "r250"]), np.nan)), 398),
    ],
)
def test_the_first_pass_tells_a_missing_regressor_from_sums_that_overflow(data, library, change, rows):
    changed = change(data)
    frame = pl.from_pandas(changed) if library == "polars" else changed
    fitted, messages = caught_messages(lambda: kf.fit_probit("y ~ x1 + x2", frame, **TIGHT))
    assert fitted.nobs == rows
    kept = changed.dropna(subset=["x2"])
    overflowing = rows == 400
    assert any(m.startswith("Regressors out of range") for m in messages) == overflowing
    if not overflowing:
        assert_matches(fitted, reference(kept.y, {"x1": kept.x1, "x2": kept.x2}), ["Intercept", "x1", "x2"])


CODES = {"a": 1, "b": 2, "c": 3, "d": 4}


@pytest.mark.parametrize(
    "formula, column, term, level_b, unseen",
    [
        ("y ~ x1 + s", lambda s: s, "s", "s[T.b]", "'d'"),
        ("y ~ x1 + s", lambda s: s.astype("category"), "s", "s[T.b]", "'d'"),
        ("y ~ x1 + C(s)", lambda s: s, "C(s)", "C(s)[T.b]", "'d'"),
        ("y ~ x1 + C(s)", lambda s: s.map(CODES), "C(s)", "C(s)[T.2]", "4"),
    ],
)
def test_predict_gives_nan_for_a_level_the_fit_never_saw(data, formula, column, term, level_b, unseen):
    fitted = kf.fit_probit(formula, data.assign(s=column(data.s)), **TIGHT)
    new = pd.DataFrame({"x1": [0.3, -1.0, 0.5, 2.0], "s": column(pd.Series(["b", "d", "a", "d"]))})

    predicted, messages = caught_messages(lambda: fitted.predict(new))

    assert len(messages) == 1 and f"term {term} holds levels the fit never saw ({unseen})" in messages[0]
    assert predicted.isna().tolist() == [False, True, False, True]
    b = fitted.params
    by_hand = special.ndtr(b["Intercept"] + np.array([b[level_b], 0.0]) + b["x1"] * np.array([0.3, 0.5]))
    np.testing.assert_allclose(predicted.iloc[[0, 2]].to_numpy(), by_hand, rtol=1e-12)


@pytest.mark.parametrize(
    "call, column",
    [
        (lambda f: kf.fit_probit("y ~ x1 + w", f.assign(w=f.x2 + 1j)), "w"),
        (lambda f: kf.fit_probit("y ~ x1 + w", f.assign(w=(f.x2 + 1j).where(f.index != "r3", np.nan))), "w"),
        (lambda f: kf.fit_probit("w ~ x1", f.assign(w=f.y + 0j)), "w"),
        (lambda f: kf.fit_probit("y ~ x1 + I(2 * w)", dd.from_pandas(f.assign(w=f.x2 + 2j), npartitions=2)), "w"),
        (lambda f: kf.fit_probit("y ~ x1 + x2", f).predict(f.assign(x2=f.x2 + 1j)), "x2"),
    ],
)
def test_a_complex_column_is_refused_by_name(data, call, column):
    with pytest.raises(TypeError, match=rf"column '{column}' of (data|newdata) is complex"):
        call(data)


@pytest.mark.parametrize("persist", [False, True])
@pytest.mark.parametrize(
    "formula, change, error, message",
    [  # each changes partition 1 of 3, rows 130-259, behind the meta's back
        ("y ~ x1 + s", lambda p: p.assign(s=p.s.cat.add_categories("d").where(p.index != "r134", "d")), ValueError,
         r"partition 1 of data: term s holds levels .*'d' \(first in row 4 \(index 'r134'\)\)"),
        ("y ~ x1 + x2", lambda p: p.drop(columns="x2"), KeyError, "partition 1 of data lacks the column.* 'x2'"),
        ("y ~ x1 + x2", lambda p: p.assign(x2=p.x2.astype(str)), TypeError, "column 'x2' of partition 1 of data has"),
        ("y ~ x1 + s", lambda p: p.assign(s=p.s.cat.codes), TypeError, "column 's' of partition 1 of data has"),
    ],
)
def test_a_malformed_dask_partition_is_named(data, formula, change, error, message, persist):
    data = data.assign(s=data.s.astype("category"))
    parts = [data.iloc[:130], change(data.iloc[130:260]), data.iloc[260:]]
    frame = dd.from_delayed([dask.delayed(p) for p in parts], meta=data.iloc[:0], verify_meta=False)
    with pytest.raises(error, match=message):
        kf.fit_probit(formula, frame, persist=persist)


# Valid input that must fit


@pytest.mark.parametrize(
    "formula, regressor",
    [
        ("y ~ abs(x1)", lambda f: np.abs(f.x1)),
        ("y ~ round(x2)", lambda f: np.round(f.x2)),
        ("y ~ I(np.maximum(x1, 0))", lambda f: np.maximum(f.x1, 0)),
        ("y ~ I(x2.astype(int))", lambda f: f.x2.to_numpy().astype(int)),
        ("y ~ `Sepal.Length`", lambda f: f["Sepal.Length"]),
        ("y ~ np.log(Q('Sepal.Length'))", lambda f: np.log(f["Sepal.Length"])),
    ],
)
def test_functions_and_quoted_names_in_formulas(data, formula, regressor):
    result = kf.fit_probit(formula, data, **TIGHT)
    assert_matches(result, reference(data.y, {"r": regressor(data)}), list(result.params.index))


@pytest.mark.parametrize("library", ["pandas", "dask"])
@pytest.mark.parametrize("dtype", ["string", "string[python]", "string[pyarrow]", "str"])
def test_text_columns_of_every_string_type_are_categorical(data, dtype, library):
    text = data.s.astype(dtype).where(data.index != "r5", None)  # one missing value: its row is dropped
    frame = data.assign(s=text)
    if library == "dask":
        with pytest.raises(ValueError, match=r"categorize\(columns=\['s'\]\)"):
            kf.fit_probit("y ~ s + x1", dd.from_pandas(frame, npartitions=2))
        frame = dd.from_pandas(frame.assign(s=frame.s.astype("category")), npartitions=2)
    result = kf.fit_probit("y ~ s + x1", frame, **TIGHT)

    kept = data.drop(index="r5")
    ref = reference(kept.y, {"b": kept.s == "b", "c": kept.s == "c", "x1": kept.x1})
    assert result.nobs == len(kept)
    assert_matches(result, ref, ["Intercept", "s[T.b]", "s[T.c]", "x1"])


# Mistakes that must be named


def _polars(frame, **columns):
    return pl.from_pandas(frame).with_columns(**columns)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: kf.fit_probit("y ~ x1", pd.concat([f, f[["x1"]]], axis=1)), ValueError,
         "column 'x1' appears 2 times in data"),
        (lambda f: kf.fit_probit("y ~ x1", f).predict(pd.concat([f, f[["x1"]]], axis=1)), ValueError,
         "column 'x1' appears 2 times in newdata"),
        (lambda f: kf.fit_probit("y ~ Q('1')", f.assign(w=f.x1).rename(columns={"w": 1})), TypeError,
         "column names must be strings: data has the column 1 of type int"),
        (lambda f: kf.fit_probit("y ~ d", f.assign(d=pd.Timestamp("2024-01-01") + pd.to_timedelta(f.g, "D"))),
         TypeError, r"column 'd' of data holds dates or durations \(datetime64"),
        (lambda f: kf.fit_probit("y ~ d", f.assign(d=pd.to_timedelta(f.g, "D"))), TypeError, "column 'd' .* durations"),
        (lambda f: kf.fit_probit("y ~ d", f.assign(d=pd.Timestamp("2024-01-01", tz="UTC") + pd.to_timedelta(f.g, "D"))),
         TypeError, r"column 'd' .*UTC"),
        (lambda f: kf.fit_probit("y ~ d", _polars(f, d=pl.col("g").cast(pl.Int128))), TypeError, "column 'd' .*Int128"),
        (lambda f: kf.fit_probit("y ~ d", _polars(f, d=pl.concat_list("x1", "x2"))), TypeError, "column 'd' .*List"),
        (lambda f: kf.fit_probit("y ~ x1 | x2 | g", f), ValueError, r"more than one '\|'"),
        (lambda f: kf.fit_probit("y ~ .", f), ValueError, r"uses '\.'"),
        (lambda f: kf.fit_probit("y ~ x1", f, tol=float("nan")), ValueError, "tol must be a number, not nan"),
        (lambda f: kf.fit_probit("y ~ x1", f).conf_int(alpha=2), ValueError, "alpha must be between 0 and 1"),
        (lambda f: kf.fit_probit("y ~ x1 + nothere.attr", f), KeyError, "'nothere.attr' is not in data"),
    ],
)
def test_mistakes_raise_an_error_that_names_them(data, call, error, message):
    before = data.copy()
    with pytest.raises(error, match=message):
        call(data)
    pd.testing.assert_frame_equal(data, before)


@pytest.mark.parametrize("outcome", [0.0, 1.0, "one row"])
def test_a_constant_outcome_has_a_nan_pseudo_r_squared_and_a_summary(data, outcome):
    frame = data.head(1) if outcome == "one row" else data.assign(y=outcome)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # separation: the estimate does not exist
        result = kf.fit_probit("y ~ x1", frame)
    assert result.llnull == 0.0 and np.isnan(result.prsquared)
    assert "Pseudo R-squ.:" in str(result.summary()) and "nan" in str(result.summary())


# Linearly dependent columns


@pytest.mark.parametrize("cov", ["nonrobust", "HC0", "cluster"])
@pytest.mark.parametrize(
    "formula, dropped, kept, unidentified",
    [
        ("y ~ x1 + x2 + I(x1 - 2 * x2)", ["I(x1 - 2 * x2)"], ["x1", "x2"], []),
        ("y ~ x1 + x1_copy + x2", ["x1_copy"], ["x1", "x2"], ["x1_copy"]),
        ("y ~ x1 + a + b + c", ["c"], ["x1", "a", "b"], ["c"]),  # the dummy trap: a + b + c is the intercept
        ("y ~ x1 + zero + x2", ["zero"], ["x1", "x2"], ["zero"]),
    ],
)
def test_dependent_columns_are_dropped_and_the_others_identified(data, formula, dropped, kept, unidentified, cov):
    frame = data.assign(x1_copy=data.x1, zero=0.0, **{level: (data.s == level) * 1.0 for level in "abc"})
    options = {"nonrobust": {}, "HC0": {"vcov": "HC0"}, "cluster": {"cluster": "g", "vcov": "CR0"}}[cov]
    sm_options = {"cov_kwds": {"groups": frame.g.to_numpy(), "use_correction": False}} if cov == "cluster" else {}

    result, messages = caught_messages(lambda: kf.fit_probit(formula, frame, **options, **TIGHT))

    assert len(messages) == 1 and f"dropped {', '.join(dropped)}," in messages[0]
    assert result.params[dropped].isna().all() and result.cov_params()[dropped].isna().all().all()
    ref = reference(frame.y, {name: frame[name] for name in kept}, cov_type=cov, **sm_options)
    assert_matches(result, ref, ["Intercept", *kept])
    margins = ref.get_margeff(at="overall", dummy=True)
    columnwise, effects = kf.ame(result, columnwise=True), kf.ame(result)
    for table, unknown in ((columnwise, dropped), (effects, unidentified)):  # per column, per variable
        np.testing.assert_allclose(table.loc[kept, "dy/dx"], margins.margeff, rtol=1e-5)
        np.testing.assert_allclose(table.loc[kept, "Std. Err"], margins.margeff_se, rtol=1e-4)
        assert table.loc[unknown, ["dy/dx", "Std. Err"]].isna().all().all()
    assert sorted(effects.index) == sorted(kept + unidentified)
    np.testing.assert_allclose(result.predict(frame.head(20)), ref.predict()[:20], rtol=1e-6)
