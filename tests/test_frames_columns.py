"""A pandas or polars frame's partitions are row ranges of its columns, read
in place: the results are those of row-major blocks gathered from the same
columns, bit for bit, and rows with a NaN regressor are still found."""

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
from kestrum_frames import _native, model_data  # noqa: E402
from kestrum_frames.design import Design  # noqa: E402
from kestrum_frames.frames import Columns  # noqa: E402
from kestrum_frames.regressors import Regressors  # noqa: E402

from conftest import FRAME_FORMULA, FRAME_REGRESSORS, assert_params_close  # noqa: E402


def gathered(regressors, start, stop, check=True):
    """Partitions as row-major blocks, as a frame's were built before."""
    X, nonfinite = _native.gather_columns(regressors, start, stop)
    return Regressors(X), check and nonfinite


def with_holes(frame):
    holed = frame.assign(income=frame["income"].mask(frame.index % 97 == 5), y=frame["y"].mask(frame.index == 8))
    return holed.assign(count=frame.index % 5, flag=frame.index % 3 == 0)


DESIGNS = [
    # formula, cluster, robust, holes
    (FRAME_FORMULA, None, False, False),
    (FRAME_FORMULA, None, True, True),
    ("y ~ 0 + dummy_a + z + rate", "g", True, False),
    ("y ~ C(h) + I(z ** 2) + income:rate + dummy_b", None, True, True),
    ("y ~ count + flag + z", ["g", "h"], True, True),
]


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("formula, cluster, robust, holes", DESIGNS)
def test_results_have_the_bits_of_gathered_blocks(frame_design, monkeypatch, library, formula, cluster, robust, holes):
    frame = with_holes(frame_design[0]) if holes else frame_design[0].assign(count=0, flag=False)
    data = pytest.importorskip("polars").from_pandas(frame, nan_to_null=False) if library == "polars" else frame

    def fit():
        result = kf.fit_probit(formula, data, robust=robust, cluster=cluster, npartitions=3)
        return result, kf.ame(result), result.predict()

    by_columns = fit()
    monkeypatch.setattr(model_data, "partition_columns", gathered)
    by_blocks = fit()

    (result, effects, fitted), (reference, reference_effects, reference_fitted) = by_columns, by_blocks
    assert result.model.data.partitions[0].X.by_column
    assert not reference.model.data.partitions[0].X.by_column
    assert result.nobs == reference.nobs and result.n_dropped == reference.n_dropped
    assert (result.loglike, result.iterations) == (reference.loglike, reference.iterations)
    assert np.array_equal(result.params.to_numpy(), reference.params.to_numpy())
    assert np.array_equal(result.cov_params().to_numpy(), reference.cov_params().to_numpy())
    assert np.array_equal(effects.to_numpy()[:, :4].astype(float), reference_effects.to_numpy()[:, :4].astype(float))
    assert np.array_equal(fitted, reference_fitted)


@pytest.mark.parametrize("formula", [FRAME_FORMULA, "y ~ C(h) + I(z ** 2) + income:rate + dummy_b"])
def test_column_partitions_fit_as_statsmodels_does(frame_design, formula):
    """The same fits against an independent implementation: statsmodels'
    formula API on the rows without a missing value."""
    smf = pytest.importorskip("statsmodels.formula.api")
    frame = with_holes(frame_design[0])
    result = kf.fit_probit(formula, frame, npartitions=3, tol=1e-10, max_iter=500)
    reference = smf.probit(formula, frame.dropna(subset=["y", "income"])).fit(method="newton", tol=1e-12, disp=0)
    names = result.params.index  # statsmodels orders the terms its own way
    assert result.nobs == reference.nobs and sorted(names) == sorted(reference.params.index)
    reference_cov = reference.cov_params().loc[names, names].to_numpy()
    assert_params_close(result.params.to_numpy(), reference.params[names].to_numpy(), reference_cov, 1e-3)


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_plain_columns_are_not_copied(frame_design, library):
    frame = frame_design[0]
    data = pytest.importorskip("polars").from_pandas(frame) if library == "polars" else frame
    columns = Columns(data)
    built = model_data.build_model_data(Design.from_formula(FRAME_FORMULA, columns), columns, [], 4)

    sources = [columns.numeric(name) for name in FRAME_REGRESSORS]
    (first, *_, last) = built.partitions
    assert first.X.source[0] is None and len(first.X.source) == len(FRAME_REGRESSORS) + 1
    for partition in (first, last):
        for column, source in zip(partition.X.source[1:], sources):
            # A column that pandas keeps inside a 2-D block (older pandas
            # consolidate) is strided, and its rows must be copied to be read.
            assert np.shares_memory(column, source) == source.flags.c_contiguous
    assert sum(p.X.nrows for p in built.partitions) == len(frame)


CONTENTS = {
    "plain": lambda n: np.linspace(-1.0, 1.0, n),
    "overflowing sum": lambda n: np.full(n, 1e308),
    "inf and -inf": lambda n: np.where(np.arange(n) % 2 == 0, np.inf, -np.inf),
    "one NaN": lambda n: np.where(np.arange(n) == n - 3, np.nan, 1.0),
    "NaN among infinities": lambda n: np.where(np.arange(n) == 7, np.nan, np.inf),
}


@pytest.mark.parametrize("content", CONTENTS)
@pytest.mark.parametrize("start, stop", [(0, 40), (0, 7), (8, 40), (37, 38)])
def test_a_value_that_is_not_finite_in_a_row_range_is_told(content, start, stop):
    column = CONTENTS[content](40)
    with np.errstate(all="raise"):  # no warning either
        X, nonfinite = model_data.partition_columns([None, column, np.zeros(40)], start, stop)
    assert nonfinite == (not np.isfinite(column[start:stop]).all())
    assert X.source[0] is None and np.array_equal(X.column(1), column[start:stop], equal_nan=True)


def test_intercept_alone_is_a_block():
    X, nonfinite = model_data.partition_columns([None], 2, 7)
    assert not X.by_column and np.array_equal(X.source, np.ones((5, 1))) and not nonfinite


def test_misaligned_columns_are_read_aligned():
    raw = np.zeros(8 * 101 + 1, dtype=np.uint8)
    column = raw[1:].view(np.float64)  # a column that arrived unaligned
    column[:] = np.arange(101.0)
    X, _ = model_data.partition_columns([column], 10, 60)
    assert X.column(0).flags.aligned and np.array_equal(X.column(0), np.arange(10.0, 60.0))
    assert pd.Series(X.column(0)).sum() == sum(range(10, 60))
