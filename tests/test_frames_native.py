"""The private module refuses what it cannot use with an exception, and the
fit reports numerical trouble with kestrum's own warnings."""

import functools
import gc
import operator
import re
import sys
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import special

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import kestrum  # noqa: E402
from kestrum_frames import _native  # noqa: E402
from scipy import special  # noqa: E402

y = np.array([0.0, 1.0, 1.0, 0.0])
X = np.column_stack([np.ones(4), [0.5, 1.5, -0.2, 0.1]])
beta = np.zeros(2)
LG = _native.LOGLIKE | _native.GRADIENT


def finished_maximizer():
    m = _native.Maximizer(2, 0, 1e-6, 0)
    while not m.finished:
        m.supply([_native.probit_sums(y, X, m.point, m.quantities)])
    return m


def started_maximizer():
    return _native.Maximizer(2, 35, 1e-6, 0)


MISUSE = [
        (lambda: _native.probit_sums(y[:3], X, beta, LG), ValueError, "y has 3 rows, expected 4"),
        (lambda: _native.probit_sums(y, X, np.zeros(3), LG), ValueError, "beta has 3 elements, expected 2"),
        (lambda: _native.probit_sums(y, X.astype(np.float32), beta, LG), TypeError, "argument 'X'"),
        (lambda: _native.probit_sums(y, X, beta, 1 << 7), ValueError, "unknown bits"),
        (lambda: _native.cluster_score_sums(y, X, beta, np.array([0, 1, 2, 3.0]), 3), ValueError, r"cluster_of\[3\]"),
        (lambda: _native.cluster_score_sums(y, X, beta, np.array([0, 0.5, 0, 0]), 3), ValueError, "not a cluster"),
        (lambda: _native.effect_sums(X, beta, [False], 10), ValueError, "excluded has 1 entries, expected 2"),
        (lambda: _native.effect_sums(X, beta, [False, False], 0), ValueError, "block_rows must be at least 1"),
        (lambda: _native.finish_effects([], np.eye(2)), ValueError, "parts is empty"),
        (lambda: _native.finish_effects([_native.effect_sums(X, beta, [0, 0], 2)], np.eye(3)), ValueError, "extent 2"),
        (lambda: _native.covariance(np.eye(2), np.eye(3)), ValueError, "meat has 3 rows, expected 2"),
        (lambda: _native.covariance(np.eye(2), None, [(np.eye(3), 2, 1)]), ValueError, r"groupings\[0\]\[0\] has 3 rows"),
        (lambda: _native.covariance(np.eye(2), None, [(np.eye(2), 2, 1), (np.eye(2), 2, 0)]), ValueError,
         r"groupings\[1\]\[2\] must be 1 or -1"),
        (lambda: _native.covariance(np.eye(2), None, [(np.eye(2), 2, -1)]), ValueError, r"groupings\[0\]\[2\] must be 1"),
        (lambda: _native.covariance(np.eye(2), None, [np.eye(2)]), TypeError, "must be \\(meat, G, sign\\)"),
        (lambda: _native.covariance(np.eye(2), vcov="HC2"), ValueError, "vcov must be"),
        (lambda: _native.covariance(np.eye(2), np.eye(2), vcov="HC1"), ValueError, "needs nobs above 1"),
        (lambda: _native.covariance(np.eye(2), names=["a"]), ValueError, "names has 1 items, expected 2"),
        (lambda: _native.covariance(np.eye(2), beta=np.zeros(3)), ValueError, "beta has 3 elements, expected 2"),
        (lambda: _native.fit_warnings(0, [2], ["a", "b"]), ValueError, "out_of_range holds 2, beyond"),
        (lambda: _native.gather_columns([y, X[:, 1]], 0, 4), ValueError, r"columns\[1\] must be contiguous"),
        (lambda: _native.gather_columns([None, y], 0, 5), ValueError, "with at least 5 rows"),
        (lambda: _native.probit_sums(y, [None, X[:, 1]], beta, LG), ValueError, r"X\[1\] must be contiguous"),
        (lambda: _native.probit_sums(y, [y[:3], y], beta, LG), ValueError, r"X\[1\] has 4 rows, expected 3"),
        (lambda: _native.effect_sums([None, None], beta, [0, 0], 2), ValueError, "column that is not None"),
        (lambda: _native.row_predictions(X, beta, np.eye(3)), ValueError, "cov has 3 rows, expected 2"),
        (lambda: _native.row_predictions(X, np.zeros(3), np.eye(2)), ValueError, "beta has 3 elements, expected 2"),
        (lambda: _native.row_predictions(y, beta, np.eye(2)), TypeError, "argument 'X'"),
        (lambda: started_maximizer().supply([{"loglike": 0.0}]), KeyError, "no 'gradient'"),
        (lambda: started_maximizer().supply([_native.probit_sums(y, X, beta, LG)]), ValueError, "'meat' is None"),
        (lambda: started_maximizer().outcome(), ValueError, "has not finished"),
        (lambda: finished_maximizer().supply([]), ValueError, "has finished"),
        (lambda: _native.Maximizer(2, 35, 1e-6, _native.HESSIAN), ValueError, "only for the robust meat"),
        (lambda: _native.effect_group_sums(False, X, beta, (), np.zeros(4), 1), TypeError, "a list"),
        (lambda: _native.effect_group_sums(False, X, beta, [(1, [1])], np.zeros(4), 1), TypeError,
         r"tuples \(kind, columns, A, B\)"),
        (lambda: _native.effect_group_sums(False, X, beta, [(3, [1], X, X)], np.zeros(4), 1), ValueError,
         "kind must be 0, 1 or 2"),
        (lambda: _native.effect_group_sums(False, X, beta, [(1, [1], X, None)], np.zeros(4), 1),
         ValueError, "A has 2 columns, expected 1"),
        (lambda: _native.effect_group_sums(False, X, beta, [(0, [], None, None)], np.full(4, 2.0), 2),
         ValueError, "group holds 2.000000 in row 0"),
]


@pytest.mark.parametrize("call, error, message", MISUSE)
def test_misuse_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("k", [1, 5, 22, 37])
@pytest.mark.parametrize("n", [1, 127, 129, 3001])
def test_columns_give_the_bits_of_the_gathered_block(n, k):
    """X handed over as its columns (or as a column-major block) is read in
    place a tile at a time, with the same arithmetic as the gathered row-major
    block: every sum bit for bit, with and without row weights, for widths
    below, across and beyond the kernels' register groups (4, 32 columns)."""
    rng = np.random.default_rng([n, k])
    columns = [rng.normal(size=n) * 10.0 ** ((j % 5) - 2) for j in range(k)]
    columns[0] = None if k > 1 else columns[0]  # a column of ones
    if k > 2:
        columns[-1] = (rng.random(n) < 0.3) * 1.0
    block, _ = _native.gather_columns(columns, 0, n)
    outcome = (rng.random(n) < 0.4) * 1.0
    point = rng.normal(size=k) * 0.3 / np.sqrt(k)
    clusters = rng.integers(0, 7, n) * 1.0
    weights = rng.integers(0, 4, n) * 1.0
    everything = LG | _native.HESSIAN | _native.ROBUST_MEAT | _native.EXPECTED_HESSIAN
    excluded = [j == 0 for j in range(k)]
    for call in (
        lambda X: _native.probit_sums(outcome, X, point, everything),
        lambda X: _native.probit_sums(outcome, X, point, everything, weights),
        lambda X: {"sums": _native.cluster_score_sums(outcome, X, point, clusters, 7)},
        lambda X: {"sums": _native.cluster_score_sums(outcome, X, point, clusters, 7, weights)},
        lambda X: _native.effect_sums(X, point, excluded, 100),
    ):
        expected = call(block)
        for form in (columns, np.asfortranarray(block)):
            got = call(form)
            for key, value in expected.items():
                assert np.array_equal(np.asarray(got[key]), np.asarray(value)), key
    # and the gradient is the score sum X'(q phi(q eta) / Phi(q eta)), formed here by scipy
    q = 2.0 * outcome - 1.0
    eta = block @ point
    score_factor = q * np.exp(-0.5 * eta * eta - 0.5 * np.log(2.0 * np.pi) - special.log_ndtr(q * eta))
    gradient = block.T @ (weights * score_factor)
    got = _native.probit_sums(outcome, columns, point, LG, weights)["gradient"]
    assert np.allclose(got, gradient, rtol=1e-9, atol=1e-9 * np.abs(block).sum())


@pytest.mark.parametrize("start, stop", [(0, 3000), (7, 2063), (40, 40)])
@pytest.mark.parametrize("k", [1, 6])
def test_gathered_rows_by_position_against_numpy(k, start, stop):
    rng = np.random.default_rng(k)
    columns = [rng.normal(size=500) for _ in range(k)]
    positions = rng.integers(0, 500, 3000)  # any order, repeats too
    nan_row = positions[1500]
    others = np.flatnonzero(positions == nan_row)
    positions[others[others != 1500]] = (nan_row + 1) % 500  # the row appears at position 1500 alone
    columns[0][nan_row] = np.nan  # seen only when position 1500 is gathered
    with_ones = [columns[0], None, *columns[1:]]
    block, nonfinite = _native.gather_columns(with_ones, start, stop, rows=positions)
    expected = np.column_stack([columns[0], np.ones(500), *columns[1:]])[positions[start:stop]]
    np.testing.assert_array_equal(block, expected)
    assert block.flags.c_contiguous and nonfinite == (start <= 1500 < stop)
    for threads in (2, 3):  # in blocks of tiles (256 rows) on several threads: the same block
        many, many_nonfinite = _native.gather_columns(with_ones, start, stop, positions, threads)
        np.testing.assert_array_equal(many, block)
        assert many_nonfinite == nonfinite


@pytest.mark.parametrize("rows, error, message", [
    (np.array([3, 500]), ValueError, r"rows holds position 500, beyond the 500 rows of columns\[0\]"),
    (np.array([3, -1]), ValueError, r"rows\[1\] is negative"),
    (np.array([3]), ValueError, "rows must hold at least 2 positions"),
    (np.array([3.0, 4.0]), TypeError, "rows must be a 1-D int64 array"),
])
def test_gathered_rows_by_position_misuse_raises(rows, error, message):
    with pytest.raises(error, match=message):
        _native.gather_columns([np.zeros(500)], 0, 2, rows=rows)


def test_maximizer_outcome_is_kept():
    m = finished_maximizer()
    first, second = m.outcome(), m.outcome()
    assert first is second and first["iterations"] == 0 and first["hessian"].shape == (2, 2)


def core_warning(y, X):
    with pytest.warns(RuntimeWarning) as caught:
        kestrum.fit_probit(y, X)
    return str(caught[0].message)


def test_singular_hessian_warning_names_the_terms(frame_design):
    """kestrum names the columns involved; the frames layer names the same
    ones and drops the dependent one (the dependent columns are tested in
    test_frames_boundary.py)."""
    frame, y, X, _ = frame_design
    frame = frame.assign(z_twice=2 * frame["z"])
    expected = core_warning(y, np.column_stack([X, 2 * X[:, 5]]))
    names = {f"x{j}": name for j, name in enumerate(["Intercept", "dummy_a", "dummy_b", "income", "rate", "z", "z_twice"])}
    involved = re.sub(r"\bx\d\b", lambda m: names[m.group()], re.search(r"columns involved: ([^.]*)\.", expected).group(1))

    with pytest.warns(RuntimeWarning) as caught:
        result = kf.fit_probit("y ~ dummy_a + dummy_b + income + rate + z + z_twice", frame, npartitions=2)

    message = str(caught[0].message)
    assert f"columns involved: {involved})" in message
    assert "dropped z_twice," in message
    assert result.cov_params().drop(index="z_twice", columns="z_twice").notna().all().all()


def test_separation_warning_is_kestrums():
    x = np.linspace(-1, 1, 200)
    outcome = (x > 0.1).astype(float)
    expected = core_warning(outcome, np.column_stack([np.ones_like(x), x]))
    import pandas as pd

    with pytest.warns(RuntimeWarning) as caught:
        result = kf.fit_probit("y ~ x", pd.DataFrame({"y": outcome, "x": x}), npartitions=3)

    assert str(caught[0].message) == expected
    assert not result.converged


def test_a_warning_made_an_error_is_raised(frame_design):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="Hessian singular"):
            kf.fit_probit("y ~ z + I(2 * z)", frame_design[0])


def full_fit():
    m = _native.Maximizer(2, 35, 1e-6, _native.ROBUST_MEAT)
    while not m.finished:
        m.supply([_native.probit_sums(y[:2], X[:2], m.point, m.quantities), _native.probit_sums(y[2:], X[2:], m.point, m.quantities)])
    outcome = m.outcome()
    score_sums = _native.cluster_score_sums(y, X, outcome["beta"], np.array([0, 1, 0, 1.0]), 2)
    _native.covariance(outcome["hessian"], _native.cluster_meat(score_sums))
    meat = _native.cluster_meat(score_sums)
    _native.covariance(outcome["hessian"], None, [(meat, 2, 1), (meat, 1, -1)], "CR1", None, outcome["beta"], ["a", "b"])
    _native.fit_warnings(3, [1], ["a", "b"])
    _native.cluster_codes(_native.cluster_keys(X[:, 1].copy()))
    _native.finish_effects([_native.effect_sums(X, outcome["beta"], [True, False], 3)] * 2, np.eye(2))
    _native.row_predictions(X, outcome["beta"], _native.covariance(outcome["hessian"])["cov"])
    ones = np.broadcast_to(np.ones(1), (4, 1))
    _native.effect_group_sums(False, X, outcome["beta"],
                              [(1, [1], ones, None), (1, [1], X[:, 1:], None), (2, [1], ones, 0 * ones)], y, 2)


def expect_failure(call, error):
    def run():
        with pytest.raises(error):
            call()

    return run


@pytest.mark.parametrize("call", [full_fit] + [expect_failure(c, e) for c, e, _ in MISUSE])
def test_repeated_calls_leave_nothing_behind(call):
    """One leaked object per call would show as 2000 of them."""
    refs = [sys.getrefcount(a) for a in (y, X, beta)]
    tracemalloc.start()
    try:
        for _ in range(200):  # traced too, so that caches refilled by the calls are counted when they settle
            call()
        # tracemalloc counts every thread's allocations: a thread left by an
        # earlier test (a closed Dask cluster's) can grow one round; a leak
        # grows every round.
        for _ in range(3):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(2000):
                call()
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
            if grown < 2000 * 16:
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in (y, X, beta)] == refs
    assert grown < 2000 * 16, f"{grown} bytes more after 2000 calls"


WEIGHT_MISUSE = [
    (lambda: _native.probit_sums(y, X, beta, LG, np.ones(3)), ValueError, "weights has 3 rows, expected 4"),
    (lambda: _native.probit_sums(y, X, beta, LG, np.array([1, -1, 1, 1.0])), ValueError, r"weights\[1\] is -1"),
    (lambda: _native.probit_sums(y, X, beta, LG, np.array([1, 1, np.nan, 1])), ValueError, r"weights\[2\] is nan"),
    (lambda: _native.probit_sums(y, X, beta, LG, np.array([1, 1, 1, np.inf])), ValueError, r"weights\[3\] is inf"),
    (lambda: _native.probit_sums(y, X, beta, LG, np.ones(8)[::2]), ValueError, "weights must be contiguous"),
    (lambda: _native.cluster_score_sums(y, X, beta, [np.zeros(4)], [1, 2]), ValueError, "as many arrays"),
    (lambda: _native.cluster_score_sums(y, X, beta, [np.zeros(4), np.full(4, 2.0)], [1, 2]), ValueError,
     r"cluster_of\[1\]\[0\] is 2"),
    (lambda: _native.parts_cluster_sums([(np.array([0.0, 3.0]), np.ones((2, 2)))], 3), ValueError, r"parts\[0\]\[0\]"),
    (lambda: _native.parts_cluster_sums([np.ones(2)], 3), TypeError, r"parts\[0\] must be a pair"),
    (lambda: _native.cell_score_meats([(y, X, None)], beta, 1, [], 1, 1), TypeError, r"partitions\[0\] must be a tuple"),
    (lambda: _native.cell_score_meats([(y, X, None, np.array([0, 1, 0, 2]))], beta, 2, [], 1, 1), ValueError,
     r"partitions\[0\]\[3\]\[3\] is 2"),
    (lambda: _native.cell_score_meats([(y, X, None, np.zeros(3, dtype=np.int64))], beta, 1, [], 1, 1), ValueError,
     r"partitions\[0\]\[3\] has 3 rows"),
    (lambda: _native.cell_score_meats([(y, X, -np.ones(4), np.zeros(4, dtype=np.int64))], beta, 1, [], 1, 1), ValueError,
     r"weights\[0\] is -1"),
    (lambda: _native.cell_score_meats([], beta, 1, [], 1, 1), ValueError, "partitions must not be empty"),
    (lambda: _native.cell_score_meats([(y, X, None, np.zeros(4, dtype=np.int64))], beta, 1, [], 1, 0), ValueError, "threads must be at least 1"),
    (lambda: _native.cell_score_meats([(y, X, None, np.zeros(4, dtype=np.int64))], beta, 1, [], 0, 1), ValueError, "cells_per_piece must be"),
    (lambda: _native.cell_score_meats([(y, X, None, np.zeros(4, dtype=np.int64))], beta, 1, [(np.array([0, 0]), 1)], 1, 1), ValueError,
     r"coarser\[0\]\[0\] has 2 rows"),
    (lambda: _native.cell_meats(np.ones((3, 2)), [(np.array([0, 1, 2]), 2)], 1, 1), ValueError,
     r"coarser\[0\]\[0\]\[2\] is 2"),
    (lambda: _native.cell_meats(np.ones((3, 2)), [np.array([0, 1, 0])], 1, 1), TypeError, r"coarser\[0\] must be a pair"),
]


@pytest.mark.parametrize("call, error, message", WEIGHT_MISUSE)
def test_weight_and_grouping_misuse_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("row", [0, 127, 128, 299])
@pytest.mark.parametrize("bad", [-0.5, np.nan, -np.inf])
@pytest.mark.parametrize("quantities", [
    _native.LOGLIKE, _native.HESSIAN, _native.EXPECTED_HESSIAN,
    _native.LOGLIKE | _native.GRADIENT | _native.HESSIAN | _native.ROBUST_MEAT | _native.EXPECTED_HESSIAN,
])
def test_probit_sums_refuse_the_first_bad_weight_in_any_tile(row, bad, quantities):
    """The pass checks the weights as each tile of rows reads them: a bad
    weight in the first, a middle or the last tile is refused, whichever
    sums are asked for, naming the first bad row."""
    rng = np.random.default_rng(row)
    X3 = np.column_stack([np.ones(300), rng.normal(size=(300, 2))])
    y3 = (rng.normal(size=300) > 0).astype(float)
    w = rng.uniform(0.5, 2.0, 300)
    w[row] = bad
    w[-1] = -1.0 if row != 299 else w[-1]  # a later bad weight is not the one named
    with pytest.raises(ValueError, match=rf"weights\[{row}\] is "):
        _native.probit_sums(y3, X3, np.zeros(3), quantities, w)


def test_row_weights_count_rows_and_groupings_share_a_pass():
    """Integer weights give the sums of the repeated rows (the expected
    Hessian too, against numpy); several groupings from one pass give each
    grouping's own sums bit for bit."""
    rng = np.random.default_rng(2)
    n = 300
    Xw = np.column_stack([np.ones(n), rng.normal(size=(n, 3))])
    yw = (rng.random(n) < 0.4).astype(float)
    point = np.array([0.2, -0.5, 0.3, 1.1])
    w = rng.integers(0, 4, n).astype(float)
    everything = _native.LOGLIKE | _native.GRADIENT | _native.HESSIAN | _native.ROBUST_MEAT | _native.EXPECTED_HESSIAN
    weighted = _native.probit_sums(yw, Xw, point, everything, w)
    rows = np.repeat(np.arange(n), w.astype(int))
    repeated = _native.probit_sums(yw[rows], np.ascontiguousarray(Xw[rows]), point, everything)
    for key in ["gradient", "hessian", "meat", "expected_hessian"]:
        np.testing.assert_allclose(weighted[key], repeated[key], rtol=1e-12, atol=1e-12)
    assert weighted["loglike"] == pytest.approx(repeated["loglike"], rel=1e-13)
    eta = Xw @ point
    v = np.exp(-(eta**2)) / (2 * np.pi) / (special.ndtr(eta) * special.ndtr(-eta))
    np.testing.assert_allclose(weighted["expected_hessian"], -(Xw * (w * v)[:, None]).T @ Xw, rtol=1e-12)

    groupings = [rng.integers(0, 5, n).astype(float), rng.integers(0, 40, n).astype(float)]
    together = _native.cluster_score_sums(yw, Xw, point, groupings, [5, 40], w)
    for grouping, count, sums in zip(groupings, [5, 40], together):
        assert np.array_equal(sums, _native.cluster_score_sums(yw, Xw, point, grouping, count, w))
    unweighted = _native.cluster_score_sums(yw, Xw, point, groupings[0], 5)
    assert np.array_equal(unweighted, _native.cluster_score_sums(yw, Xw, point, groupings[0], 5, np.ones(n)))


@pytest.mark.parametrize("link", [False, True])
@pytest.mark.parametrize("grouped", [False, True])
@pytest.mark.parametrize("layout", ["rows", "one row seen n times"])
def test_slope_sums_against_numpy(link, grouped, layout):
    """Per group: sum f(z) t and its gradient sum f(z) d on the columns plus
    f'(z) t x (t = d'b), written here in NumPy; a derivative that is the same
    in every row (the sums shared by such slopes) and one per row agree."""
    rng = np.random.default_rng(11)
    n, k = 1000, 5
    X = rng.normal(size=(n, k))
    beta = rng.normal(size=k) * 0.4
    z = X @ beta
    group = rng.integers(-1, 3, n).astype(float) if grouped else np.zeros(n)
    groups = 3 if grouped else 1
    d = np.array([1.0, -0.5])
    A = np.broadcast_to(d, (n, 2)) if layout != "rows" else np.ascontiguousarray(np.broadcast_to(d, (n, 2)))
    columns = [1, 3]
    sums = _native.effect_group_sums(link, X, beta, [(1, columns, A, None), (0, [], None, None)], group, groups)
    f = np.ones(n) if link else np.exp(-z * z / 2) / np.sqrt(2 * np.pi)
    slope = np.zeros(n) if link else -z * f  # f'(z)
    t = d @ beta[columns]
    for g in range(groups):
        rows = group == g
        gradient = ((slope * t)[rows, None] * X[rows]).sum(axis=0)
        gradient[columns] += f[rows].sum() * d
        np.testing.assert_allclose(sums[0][0][g], (f * t)[rows].sum(), rtol=1e-13)
        np.testing.assert_allclose(sums[0][1][g], gradient, rtol=1e-12, atol=1e-12)
        F = z if link else special.ndtr(z)
        np.testing.assert_allclose(sums[1][0][g], F[rows].sum(), rtol=1e-12)


@pytest.mark.parametrize("grouped", [False, True])
def test_effect_sums_of_columns_held_apart_are_those_of_the_block(grouped):
    """X given as its columns (None for the intercept), copied a tile at a
    time, gives the bits of X given as one row-major block, for slopes,
    contrasts and predictions over more rows than one tile; so do A and B
    given as lists of their columns."""
    rng = np.random.default_rng(12)
    n = 1000
    X = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, n).astype(float), rng.normal(size=n)])
    beta = np.array([0.2, -0.4, 0.7, 0.3])
    group = rng.integers(-1, 3, n).astype(float) if grouped else np.zeros(n)
    derivative = np.column_stack([np.ones(n), X[:, 3]])
    level, base = np.broadcast_to([1.0], (n, 1)), np.broadcast_to([0.0], (n, 1))
    effects = [(1, [1, 3], derivative, None), (2, [2], level, base), (0, [], None, None)]
    block = _native.effect_group_sums(False, X, beta, effects, group, 3)
    columns = [None] + [np.ascontiguousarray(X[:, j]) for j in range(1, 4)]
    apart = _native.effect_group_sums(False, columns, beta, effects, group, 3)
    listed = [(1, [1, 3], [derivative[:, 0], X[:, 3]], None), (2, [2], [level[:, 0]], (base[:, 0],)),
              (0, [], None, None)]
    as_lists = _native.effect_group_sums(False, columns, beta, listed, group, 3)
    for (values, gradients), *others in zip(block, apart, as_lists):
        for values_other, gradients_other in others:
            assert np.array_equal(values, values_other) and np.array_equal(gradients, gradients_other)
    np.testing.assert_allclose(block[2][0].sum(), special.ndtr(X @ beta)[group >= 0].sum(), rtol=1e-13)


@pytest.mark.parametrize("extent", [None, "range", "wide"])
@pytest.mark.parametrize("values", [5, 3000, 150_000])
def test_cluster_codes_number_by_first_appearance(values, extent):
    """Against pandas' factorize (codes in order of first appearance): the
    direct table of a small range, the hash table otherwise, strided input."""
    rng = np.random.default_rng(values)
    codes = rng.integers(0, values, 200_000) * 7 - 3 * values  # negative codes too
    expected, uniques = pd.factorize(codes)
    bound = {"range": 7 * values, "wide": 10**12}.get(extent)
    shifted = codes + 3 * values if bound else codes  # the extent's codes lie in [0, extent)
    numbers, count = _native.cluster_codes(shifted) if bound is None else _native.cluster_codes(shifted, bound)
    assert numbers.dtype == np.int64 and count == len(uniques)
    assert np.array_equal(numbers, expected)
    strided, _ = _native.cluster_codes(np.repeat(shifted, 2)[::2], *([bound] if bound else []))
    assert np.array_equal(strided, expected)


CODE_MISUSE = [
    (lambda: _native.cluster_codes(np.array([0, 3]), 3), ValueError, r"codes\[1\] is 3, outside \[0, extent = 3\)"),
    (lambda: _native.cluster_codes(np.array([-1, 0]), 3), ValueError, r"codes\[0\] is -1"),
    (lambda: _native.cluster_codes(np.array([0.0, 1.0])), TypeError, "codes must be a 1-D int64 array"),
    (lambda: _native.cluster_codes(np.zeros((2, 2), dtype=np.int64)), TypeError, "1-D int64"),
    (lambda: _native.cluster_score_sums(y, X, beta, np.array([0, 1, 2, 3]), 3), ValueError,
     r"cluster_of\[3\] is 3, not a cluster number below 3"),
    (lambda: _native.combined_codes([]), ValueError, "columns must not be empty"),
    (lambda: _native.combined_codes([np.array([0, 1])]), TypeError, r"columns\[0\] must be a pair"),
    (lambda: _native.combined_codes([(np.array([0, 1]), 2), (np.array([0, 2]), 2)]), ValueError,
     r"columns\[1\]\[0\]\[1\] is 2, not a cluster number below 2"),
    (lambda: _native.combined_codes([(np.array([0, 1, 1, 0, -1]), 2), (np.zeros(5, dtype=np.int64), 1)]), ValueError,
     r"columns\[0\]\[0\]\[4\] is -1, not a cluster number below 2"),
    (lambda: _native.combined_codes([(np.array([0, 1]), 2), (np.array([0, 0, 0]), 1)]), ValueError,
     r"columns\[1\]\[0\] has 3 rows, expected 2"),
    (lambda: _native.combined_codes([(np.array([0, 1]), 3)]), ValueError, "more clusters than the 2 rows"),
]


@pytest.mark.parametrize("call, error, message", CODE_MISUSE)
def test_cluster_code_misuse_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_int64_cluster_numbers_give_the_float_numbers_sums():
    numbers = np.array([0, 1, 0, 1])
    assert np.array_equal(_native.cluster_score_sums(y, X, beta, numbers, 2),
                          _native.cluster_score_sums(y, X, beta, numbers.astype(float), 2))
    parts = [(np.array([1, 0]), np.array([[1.0, 2.0], [3.0, 4.0]])), (np.array([1]), np.array([[0.5, 0.25]]))]
    totals = _native.parts_cluster_sums(parts, 2)
    assert np.array_equal(totals, [[3.0, 4.0], [1.5, 2.25]])
    assert np.array_equal(_native.cluster_meat(totals), totals.T @ totals)


@pytest.mark.parametrize("k", [4, 5, 8, 12])
def test_cluster_meat_is_the_same_read_in_place_or_copied(k):
    """sum_c g_c g_c' from packed rows (read in place when k fills whole
    register blocks), from a column-major copy and from a view with a wider
    row stride (both copied into padded rows): the same bits, exactly
    symmetric, and numpy's product to rounding."""
    rng = np.random.default_rng(k)
    sums = rng.normal(size=(700, k)) * np.exp(rng.normal(0, 3, size=(700, 1)))
    wider = np.zeros((700, k + 3))
    wider[:, 1:k + 1] = sums
    meats = [_native.cluster_meat(layout) for layout in (sums, np.asfortranarray(sums), wider[:, 1:k + 1])]
    assert all(np.array_equal(meat, meats[0]) for meat in meats[1:])
    assert np.array_equal(meats[0], meats[0].T)
    np.testing.assert_allclose(meats[0], sums.T @ sums, rtol=1e-12, atol=1e-300)


@pytest.mark.parametrize("kind", ["int64", "strided int64", "few int64", "strided few int64", "int64 up to 2^53",
                                  "int64 from -2^53", "int64 beyond 2^53", "float64", "strided float64", "rounding"])
def test_value_codes_number_the_values_keys_by_first_appearance(kind):
    """Against pandas' factorize (NaN one cluster) of values that round to
    themselves, ints read in place (as the doubles they convert to), strided
    or not, spread out (hashed) or over a small range (a table indexed by
    value, up to 2^53 in magnitude; beyond, ints that convert to one double
    are one cluster); values that round alike to four decimals as the key
    rule's two-step path (cluster_keys, then cluster_codes) numbers them."""
    rng = np.random.default_rng(3)
    if kind == "int64 up to 2^53":
        values = 2**53 - rng.integers(0, 3000, 50_000)
    elif kind == "int64 from -2^53":
        values = rng.integers(0, 3000, 50_000) - 2**53
    elif kind == "int64 beyond 2^53":
        values = 2**53 + rng.integers(-3000, 3000, 50_000)
    elif "few int64" in kind:
        values = rng.integers(-50, 3000, 50_000)
    elif "int64" in kind:
        values = rng.integers(-5000, 5000, 50_000) * 1_000_003
    elif kind == "rounding":
        values = rng.integers(0, 300, 50_000) / 8 + rng.choice([0.0, 1e-6, -2e-5, 5e-5], 50_000)
    else:
        values = np.where(rng.random(50_000) < 0.05, np.nan, rng.integers(0, 900, 50_000) / 4)
    if "strided" in kind:
        values = np.repeat(values, 3)[::3]
    numbers, count = _native.value_codes(values)
    if kind == "rounding":
        expected, expected_count = _native.cluster_codes(_native.cluster_keys(np.ascontiguousarray(values)))
    else:
        expected = pd.factorize(values.astype(np.float64), use_na_sentinel=False)[0]  # ints read as doubles
        expected_count = expected.max() + 1
    assert numbers.dtype == np.int64 and np.array_equal(numbers, expected) and count == expected_count
    with pytest.raises(TypeError, match="values"):
        _native.value_codes(np.zeros(3, dtype=np.int32))


@pytest.mark.parametrize("counts", [(300,), (300, 70), (3000, 2000), (40, 7, 3)])
def test_combined_codes_number_the_combinations_by_first_appearance(counts):
    """Against pandas' factorize of the tuples of values (numbered by first
    appearance), for one to three columns, through the direct table (few
    combinations) and the hash table (3000 x 2000 > 4 n); strided input;
    with the first row of each cluster, against numpy's first index of each
    number."""
    rng = np.random.default_rng(len(counts))
    rows = 100_000
    values = [rng.integers(0, count, rows) for count in counts]
    numbered = [_native.cluster_codes(column) for column in values]
    expected = pd.factorize(pd.MultiIndex.from_arrays(values))[0]
    numbers, count = _native.combined_codes(numbered)
    assert numbers.dtype == np.int64 and np.array_equal(numbers, expected) and count == expected.max() + 1
    _, expected_first = np.unique(expected, return_index=True)
    numbers, count, first = _native.combined_codes(numbered, with_first_rows=True)
    assert np.array_equal(numbers, expected) and count == len(expected_first)
    assert first.dtype == np.int64 and np.array_equal(first, expected_first)
    strided = [(np.repeat(codes, 2)[::2], count) for codes, count in numbered]
    assert np.array_equal(_native.combined_codes(strided)[0], expected)


@pytest.mark.parametrize("clusters", [1, 40, 5000])
def test_first_rows_are_where_each_cluster_first_appears(clusters):
    """Against numpy's first index of each value, for numbers by first
    appearance; strided input; no rows."""
    rng = np.random.default_rng(clusters)
    numbers, count = _native.cluster_codes(rng.integers(0, clusters, 20_000))
    _, expected = np.unique(numbers, return_index=True)  # in the order of the numbers, 0 .. count - 1
    first = _native.first_rows(numbers)
    assert first.dtype == np.int64 and len(first) == count and np.array_equal(first, expected)
    assert np.array_equal(_native.first_rows(np.repeat(numbers, 2)[::2]), expected)
    assert _native.first_rows(np.zeros(0, dtype=np.int64)).shape == (0,)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("numbering", ["first appearance", "any order"])
@pytest.mark.parametrize("cells", [1500, 40])
def test_cell_score_meats_sum_each_partitions_cells_in_partition_order(weighted, numbering, cells):
    """Bit for bit the meats of the partitions' cluster_score_sums by their
    own cells (numbered by first appearance there) added by
    parts_cluster_sums (what a Dask fit's client adds), on any number of
    threads, with cells numbered by first appearance (the first partition's
    sums formed in the totals) or not, and cells many or few (few: the
    larger partitions sum by the model-wide numbers); those within rounding
    of numpy's sums of w_i lambda_i x_i by cell and by coarser cluster."""
    rng = np.random.default_rng(7)
    rows, k = 6000, 4
    Xs = np.column_stack([np.ones(rows), rng.normal(size=(rows, k - 1))])
    ys = (rng.normal(size=rows) + Xs[:, 1] > 0).astype(float)
    ws = rng.uniform(0.2, 3.0, rows) if weighted else None
    b = rng.normal(0, 0.3, k)
    cell = rng.integers(0, cells, rows)
    if numbering == "first appearance":
        cell, _ = _native.cluster_codes(cell)
    else:
        cells += 3  # cells no row is in: zero sums
    coarser = [(np.arange(cells) % 7, 7), (np.arange(cells) // 2, (cells + 1) // 2)]
    bounds = [0, 1700, 1701, 4000, rows]
    partitions, parts = [], []
    for p, (start, stop) in enumerate(zip(bounds[:-1], bounds[1:])):
        X_p = Xs[start:stop] if p % 2 else [None] + [np.ascontiguousarray(Xs[start:stop, j]) for j in range(1, k)]
        w_p = None if ws is None else ws[start:stop]
        partitions.append((ys[start:stop], X_p, w_p, cell[start:stop]))
        local, _ = _native.cluster_codes(cell[start:stop])
        ids = cell[start:stop][_native.first_rows(local)]
        parts.append((ids, _native.cluster_score_sums(ys[start:stop], X_p, b, local, len(ids), w_p)))
    totals = _native.parts_cluster_sums(parts, cells)
    expected = _native.cell_meats(totals, coarser, 400, 2)
    for threads in (1, 2, 3, 8):
        meats = _native.cell_score_meats(partitions, b, cells, coarser, 400, threads)
        assert len(meats) == 3 and all(np.array_equal(m, e) for m, e in zip(meats, expected))
    eta = Xs @ b
    q = 2 * ys - 1
    lam = q * np.exp(-0.5 * eta**2) / np.sqrt(2 * np.pi) / special.ndtr(q * eta)
    by_cell = np.zeros((cells, k))
    np.add.at(by_cell, cell, (lam * (1.0 if ws is None else ws))[:, None] * Xs)
    np.testing.assert_allclose(totals, by_cell, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(expected[0], by_cell.T @ by_cell, rtol=1e-10)
    for meat, (cluster_of, count) in zip(expected[1:], coarser):
        g = np.zeros((count, k))
        np.add.at(g, cluster_of, by_cell)
        np.testing.assert_allclose(meat, g.T @ g, rtol=1e-10)


@pytest.mark.parametrize("threads", [1, 2])
def test_cell_score_meats_of_no_columns_are_empty(threads):
    ys = np.array([0.0, 1.0, 0.0, 1.0])
    meats = _native.cell_score_meats([(ys, np.zeros((4, 0)), None, np.array([0, 1, 0, 2]))], np.zeros(0), 3,
                                     [(np.array([0, 0, 1]), 2)], 4, threads)
    assert [m.shape for m in meats] == [(0, 0), (0, 0)]


@pytest.mark.parametrize("cells_per_piece", [1, 7, 1000, 5000])
def test_cell_meats_add_the_pieces_meats_in_order(cells_per_piece):
    """The finest meat is the pieces' cluster_meat added in piece order
    (pieces of consecutive cells, bounds p G // pieces), the coarser ones
    the one-way meats of the cells' sums by coarser cluster: summed within
    each piece and added in piece order where the pieces' sums of them take
    at most a quarter of the totals' room, else in cell order; bit
    for bit on any number of threads; with no coarser grouping, the finest
    alone."""
    rng = np.random.default_rng(cells_per_piece)
    cells, k = 3000, 5
    totals = rng.normal(size=(cells, k)) * np.exp(rng.normal(0, 3, size=(cells, 1)))
    coarser = [(rng.integers(0, count, cells), count) for count in (1, 40)]
    pieces = max(1, -(-cells // cells_per_piece))
    bounds = [p * cells // pieces for p in range(pieces + 1)]
    finest = _native.cluster_meat(totals[: bounds[1]])
    for first, stop in zip(bounds[1:-1], bounds[2:]):
        finest = finest + _native.cluster_meat(totals[first:stop])
    in_pieces = pieces * sum(count for _, count in coarser) <= cells // 4
    pieces_of_sums = list(zip(bounds[:-1], bounds[1:])) if in_pieces else [(0, cells)]
    expected = [finest]
    for cluster_of, count in coarser:
        # Each piece's sums of its cells in cell order from 0.0, added in piece order, and their meat.
        sums = [_native.parts_cluster_sums([(cluster_of[first:stop], totals[first:stop])], count)
                for first, stop in pieces_of_sums]
        expected.append(_native.cluster_meat(functools.reduce(operator.add, sums)))
    for threads in (1, 2, 5):
        meats = _native.cell_meats(totals, coarser, cells_per_piece, threads)
        assert len(meats) == 3 and all(np.array_equal(m, e) for m, e in zip(meats, expected))
    assert [np.array_equal(m, finest) for m in _native.cell_meats(totals, [], cells_per_piece, 2)] == [True]
    assert _native.cell_meats(np.zeros((0, k)), [], 5, 2)[0].shape == (k, k)


@pytest.mark.parametrize("counts, cells_per_piece", [((1, 7, 2500), 1000), ((1, 7, 40), 300)],
                         ids=["a task a grouping", "within 10 pieces"])
def test_cell_meats_of_coarser_groupings_against_numpy(counts, cells_per_piece):
    """Against numpy: each coarser grouping's g_c, the cells' sums added up
    from 0.0 (np.add.at), and sum_c g_c g_c'; symmetric to the bit."""
    rng = np.random.default_rng(19)
    cells, k = 3000, 5
    sums = rng.normal(size=(cells, k)) * np.exp(rng.normal(0, 3, size=(cells, 1)))  # magnitudes far apart
    groupings = [(rng.integers(0, count, cells), count) for count in counts]
    meats = _native.cell_meats(sums, groupings, cells_per_piece, 2)[1:]
    assert len(meats) == len(groupings)
    for meat, (cluster_of, count) in zip(meats, groupings):
        totals = np.zeros((count, k))
        np.add.at(totals, cluster_of, sums)
        np.testing.assert_allclose(meat, totals.T @ totals, rtol=1e-12, atol=1e-300)
        assert np.array_equal(meat, meat.T)
