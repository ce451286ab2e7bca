"""How fit_probit accepts, reads and hands back NumPy arrays."""

import gc
import warnings

import numpy as np
import pandas as pd
import pytest

import kestrum

DOWNCAST = "'{}' object cannot be converted to 'PyArray<T, D>'"


@pytest.fixture
def data():
    rng = np.random.default_rng(11)
    n = 60
    X = np.column_stack([np.ones(n), rng.normal(size=n), rng.normal(2.0, 3.0, size=n)])
    y = (X @ [0.3, -0.7, 0.25] + rng.normal(size=n) > 0).astype(float)
    return y, X


def fit(y, X, **kw):
    kw.setdefault("tol", 1e-12)
    kw.setdefault("max_iter", 200)
    return kestrum.fit_probit(y, X, **kw)


def assert_same_fit(a, b):
    # Identical data in a different memory layout: the estimates agree to
    # rounding (summation orders inside products may differ with layout).
    np.testing.assert_allclose(a.params, b.params, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(a.cov_params(), b.cov_params(), rtol=1e-8, atol=1e-14)
    assert a.loglike == pytest.approx(b.loglike, rel=1e-13)


class NdSub(np.ndarray):
    pass


class Shaped:
    """Not an array, but it announces a shape."""

    def __init__(self, shape):
        self.shape = shape


# ---------------------------------------------------------------- exog_py: strict extraction


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda X: X.tolist(), "argument 'exog_py': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda X: None, "argument 'exog_py': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        (lambda X: pd.DataFrame(X), "argument 'exog_py': 'DataFrame' object cannot be converted to 'PyArray<T, D>'"),
        (lambda X: X[:, 0].copy(), "argument 'exog_py': dimensionality mismatch:\n from=1, to=2"),
        (lambda X: X[None], "argument 'exog_py': dimensionality mismatch:\n from=3, to=2"),
        (lambda X: np.array(1.0), "argument 'exog_py': dimensionality mismatch:\n from=0, to=2"),
        (lambda X: X.astype(np.float32), "argument 'exog_py': type mismatch:\n from=float32, to=float64"),
        (lambda X: X.astype(np.int64), "argument 'exog_py': type mismatch:\n from=int64, to=float64"),
        (lambda X: X.astype(np.complex128), "argument 'exog_py': type mismatch:\n from=complex128, to=float64"),
        (lambda X: X.astype(object), "argument 'exog_py': type mismatch:\n from=object, to=float64"),
        # the dimension test comes before the type test
        (lambda X: X[:, 0].astype(np.int64), "argument 'exog_py': dimensionality mismatch:\n from=1, to=2"),
    ],
    ids=["list", "None", "DataFrame", "1d", "3d", "0d", "float32", "int64", "complex", "object", "1d-int"],
)
def test_exog_strict_extraction_messages(data, make, message):
    y, X = data
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit(y, make(X))
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_wrong_exog_is_reported_before_wrong_endog(data):
    _, X = data
    with pytest.raises(TypeError, match="^argument 'exog_py': dimensionality mismatch"):
        kestrum.fit_probit([1, 2, 3], X[:, 0].copy())


def test_byte_swapped_float64_is_accepted(data):
    # '>f8' has a descriptor equivalent to float64 only on big-endian hosts;
    # on little-endian it is a different type and must be refused.
    y, X = data
    swapped = X.astype(X.dtype.newbyteorder())
    if np.dtype(">f8").isnative:
        assert_same_fit(fit(y, swapped), fit(y, X))
    else:
        with pytest.raises(TypeError, match="^argument 'exog_py': type mismatch:\n from=>f8, to=float64$"):
            kestrum.fit_probit(y, swapped)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_ndarray_subclasses_are_accepted(data):
    y, X = data
    r = fit(y.view(NdSub), X.view(NdSub))
    assert_same_fit(r, fit(y, X))
    # np.matrix is a two-dimensional subclass: fine as exog and as (n, 1) endog
    r = fit(np.asmatrix(y).T, np.asmatrix(X))
    assert_same_fit(r, fit(y, X))


# ---------------------------------------------------------------- endog_py


@pytest.mark.parametrize(
    "make_endog, exc, message",
    [
        (lambda y: y.tolist(), AttributeError, "'list' object has no attribute 'shape'"),
        (lambda y: None, AttributeError, "'NoneType' object has no attribute 'shape'"),
        (lambda y: Shaped([len(y)]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (lambda y: Shaped(len(y)), TypeError, "'int' object cannot be converted to 'PyTuple'"),
        (lambda y: y.reshape(-1, 1, 1), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (lambda y: np.array(1.0), ValueError, "expected tuple of length 2, but got tuple of length 0"),
        (lambda y: np.column_stack([y, y]), ValueError, "endog must be shape (nobs,) or (nobs,1). got=(60,Some(2))"),
        (lambda y: np.zeros((5, 3)), ValueError, "endog must be shape (nobs,) or (nobs,1). got=(5,Some(3))"),
        (lambda y: np.zeros((60, 0)), ValueError, "endog must be shape (nobs,) or (nobs,1). got=(60,Some(0))"),
        (lambda y: y.astype(np.int64), TypeError, DOWNCAST.format("ndarray")),
        (lambda y: y.astype(np.float32).reshape(-1, 1), TypeError, DOWNCAST.format("ndarray")),
        (lambda y: y.astype(bool), TypeError, DOWNCAST.format("ndarray")),
        (lambda y: pd.Series(y), TypeError, DOWNCAST.format("Series")),
        (lambda y: pd.DataFrame(y), TypeError, DOWNCAST.format("DataFrame")),
        (lambda y: Shaped((60,)), TypeError, DOWNCAST.format("Shaped")),
        (lambda y: Shaped((60, 1)), TypeError, DOWNCAST.format("Shaped")),
        # the announced shape decides the dimension that is then required
        (lambda y: Shaped((60, 2)), ValueError, "endog must be shape (nobs,) or (nobs,1). got=(60,Some(2))"),
        (lambda y: Shaped((1.5,)), TypeError, "'float' object cannot be interpreted as an integer"),
    ],
    ids=[
        "list", "None", "shape-list", "shape-int", "3d", "0d", "n-by-2", "5-by-3", "n-by-0",
        "int64", "float32-col", "bool", "Series", "DataFrame", "fake-1d", "fake-2d", "fake-n-by-2", "shape-float",
    ],
)
def test_endog_inspection_messages(data, make_endog, exc, message):
    _, X = data
    with pytest.raises(exc) as info:
        kestrum.fit_probit(make_endog(data[0]), X)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("shape", [(-1,), (60, -1)])
def test_negative_shape_entry_raises_unprefixed_overflow(data, shape):
    with pytest.raises(OverflowError) as info:
        kestrum.fit_probit(Shaped(shape), data[1])
    assert not str(info.value).startswith("argument")


class _FailingShape:
    @property
    def shape(self):
        raise RuntimeError("shape exploded")


def test_error_from_shape_attribute_passes_through(data):
    with pytest.raises(RuntimeError, match="^shape exploded$"):
        kestrum.fit_probit(_FailingShape(), data[1])


# ---------------------------------------------------------------- exog row count


@pytest.mark.parametrize("rows", [0, 1, 59, 61, 120])
def test_exog_row_count_must_equal_nobs(data, rows):
    y, _ = data
    X = np.ones((rows, 2))
    with pytest.raises(ValueError) as info:
        kestrum.fit_probit(y, X)
    assert str(info.value) == f"exog mismatch: got {rows} rows, nobs=60"


def test_exog_rows_checked_against_column_endog(data):
    y, X = data
    with pytest.raises(ValueError, match=r"^exog mismatch: got 59 rows, nobs=60$"):
        kestrum.fit_probit(y.reshape(-1, 1), X[:59])


def test_exog_row_mismatch_comes_before_any_estimation(capfd):
    # a zero column would make the Hessian singular and a bad cluster_vars
    # would raise later: neither is reached
    y = (np.arange(10) % 2).astype(float)
    X = np.zeros((9, 2))
    with pytest.raises(ValueError, match=r"^exog mismatch: got 9 rows, nobs=10$"):
        kestrum.fit_probit(y, X, robust=True, cluster_vars="not an array")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "endog, exc",
    [
        (np.zeros((60, 2)), ValueError),
        (np.zeros(60, dtype=np.int64), TypeError),
        ([0.0] * 60, AttributeError),
    ],
)
def test_endog_errors_come_before_exog_row_mismatch(endog, exc):
    with pytest.raises(exc) as info:
        kestrum.fit_probit(endog, np.ones((7, 2)))
    assert "exog mismatch" not in str(info.value)


# ---------------------------------------------------------------- cluster_vars: combined check


@pytest.mark.parametrize(
    "make, qualname",
    [
        (lambda n: np.zeros(n), "ndarray"),  # one-dimensional, even with the right length
        (lambda n: np.zeros((n, 1), dtype=np.int64), "ndarray"),
        (lambda n: np.zeros((n, 1), dtype=np.float32), "ndarray"),
        (lambda n: np.zeros((n, 1, 1)), "ndarray"),
        (lambda n: [[0.0]] * n, "list"),
        (lambda n: pd.DataFrame(np.zeros((n, 1))), "DataFrame"),
        (lambda n: pd.Series(np.zeros(n)), "Series"),
        (lambda n: "groups", "str"),
        (lambda n: 3.0, "float"),
        # the type is checked before the row count
        (lambda n: np.zeros((n + 5, 1), dtype=np.int64), "ndarray"),
    ],
    ids=["1d", "int64", "float32", "3d", "list", "DataFrame", "Series", "str", "float", "int64-wrong-rows"],
)
def test_cluster_vars_combined_check(data, make, qualname):
    y, X = data
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit(y, X, robust=True, cluster_vars=make(len(y)))
    assert type(info.value) is TypeError
    assert str(info.value) == DOWNCAST.format(qualname)


def test_cluster_vars_subclass_is_accepted(data):
    y, X = data
    g = (np.arange(len(y)) % 7).astype(float).reshape(-1, 1)
    a = fit(y, X, robust=True, cluster_vars=g.view(NdSub))
    b = fit(y, X, robust=True, cluster_vars=g)
    np.testing.assert_array_equal(a.cov_params(), b.cov_params())


# ---------------------------------------------------------------- masked arrays and value rules


@pytest.mark.parametrize("argument", ["endog_py", "exog_py", "cluster_vars"])
@pytest.mark.parametrize("masked", ["one-row", "nothing"])
def test_masked_arrays_are_refused(data, argument, masked):
    # the mask used to be ignored, and the values under it used as data
    y, X = data
    values = {"endog_py": y, "exog_py": X, "cluster_vars": (np.arange(len(y)) % 4.0).reshape(-1, 1)}
    a = values[argument].copy()
    mask = np.zeros(a.shape, dtype=bool)
    if masked == "one-row":
        a[3] = np.nan  # what usually lies under a mask
        mask[3] = True
    values[argument] = np.ma.masked_array(a, mask=mask)
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit(robust=True, **values)
    assert str(info.value).startswith(f"argument '{argument}': masked arrays are not accepted")
    assert ".filled(value)" in str(info.value)


@pytest.mark.parametrize(
    "change, exc, message",
    [
        # every argument error first, in its old order
        ({"max_iter": 1.5}, TypeError, "argument 'max_iter'"),
        ({"robust": 1}, TypeError, "argument 'robust'"),
        ({"endog_py": np.zeros(60, dtype=np.int64)}, TypeError, "'ndarray' object cannot be converted"),
        ({"exog_py": np.ones((59, 3))}, ValueError, "exog mismatch"),
        ({"cluster_vars": np.zeros((59, 1))}, ValueError, "cluster mismatch"),
        ({"cluster_vars": np.zeros((60, 0))}, ValueError, "cluster_vars has no columns"),
        ({"cluster_vars": np.ma.zeros((60, 1))}, TypeError, "argument 'cluster_vars': masked"),
        # then the values: endog's, then exog's
        ({}, ValueError, "endog must hold only 0 and 1: found 2.0 at row 0"),
        ({"endog_py": np.zeros(60)}, ValueError, "exog must be finite: found inf at row 0, column 2"),
    ],
    ids=["max_iter", "robust", "endog-dtype", "exog-rows", "cluster-rows", "cluster-no-columns", "cluster-masked",
         "endog-values", "exog-values"],
)
def test_value_errors_come_after_the_argument_errors(data, change, exc, message):
    y, X = data
    X = X.copy()
    X[0, 2] = np.inf
    values = {"endog_py": 2 * y, "exog_py": X, "robust": True, "cluster_vars": np.arange(60.0).reshape(-1, 1)}
    with pytest.raises(exc) as info:
        kestrum.fit_probit(**{**values, **change})
    assert str(info.value).startswith(message)


# ---------------------------------------------------------------- layouts


def _c_order(X):
    return X


def _fortran(X):
    return np.asfortranarray(X)


def _column_step_2(X):
    wide = np.empty((X.shape[0], 2 * X.shape[1]))
    wide[:, ::2] = X
    wide[:, 1::2] = np.nan  # never read
    return wide[:, ::2]


def _row_step_2(X):
    tall = np.full((2 * X.shape[0], X.shape[1]), np.nan)
    tall[::2] = X
    return tall[::2]


def _reversed_rows(X):
    return np.ascontiguousarray(X[::-1])[::-1]


def _reversed_columns(X):
    return np.ascontiguousarray(X[:, ::-1])[:, ::-1]


def _reversed_both(X):
    return np.ascontiguousarray(X[::-1, ::-1])[::-1, ::-1]


def _fortran_reversed_rows(X):
    return np.asfortranarray(X[::-1])[::-1]


def _transposed(X):
    return np.ascontiguousarray(X.T).T


@pytest.mark.parametrize(
    "layout, expect",
    [
        (_c_order, "C"),
        (_fortran, "F"),
        (_transposed, "F"),
        (_column_step_2, "C"),
        (_row_step_2, "C"),
        (_reversed_rows, "rows-negative"),
        (_reversed_columns, "cols-negative"),
        (_reversed_both, "both-negative"),
        (_fortran_reversed_rows, "F-rows-negative"),
    ],
)
def test_exog_layouts(data, layout, expect):
    y, X = data
    Xl = layout(X.copy())
    np.testing.assert_array_equal(Xl, X)
    before = Xl.copy()
    r = fit(y, Xl)
    exog = r.model.exog
    np.testing.assert_array_equal(exog, X)
    np.testing.assert_array_equal(Xl, before)
    s0, s1 = exog.strides
    if expect == "C":
        assert exog.flags.c_contiguous and exog.strides == (8 * X.shape[1], 8)
    elif expect == "F":
        assert exog.flags.f_contiguous and exog.strides == (8, 8 * X.shape[0])
    elif expect == "rows-negative":
        assert (s0, s1) == (-8 * X.shape[1], 8)
    elif expect == "cols-negative":
        assert (s0, s1) == (8 * X.shape[1], -8)
    elif expect == "both-negative":
        assert (s0, s1) == (-8 * X.shape[1], -8)
    elif expect == "F-rows-negative":
        assert (s0, s1) == (-8, 8 * X.shape[0])
    assert_same_fit(r, fit(y, X))


@pytest.mark.parametrize(
    "make, negative",
    [
        (lambda y: y, False),
        (lambda y: np.ascontiguousarray(y[::-1])[::-1], True),
        (lambda y: np.repeat(y, 3)[::3], False),
        (lambda y: np.column_stack([y, y * 0 + np.nan])[:, :1], False),
        (lambda y: np.asfortranarray(y.reshape(-1, 1)), False),
        (lambda y: np.ascontiguousarray(y[::-1]).reshape(-1, 1)[::-1], False),
    ],
    ids=["contiguous", "reversed", "step-3", "column-of-2", "fortran-col", "reversed-col"],
)
def test_endog_layouts(data, make, negative):
    y, X = data
    e = make(y.copy())
    r = fit(e, X)
    endog = r.model.endog
    assert endog.ndim == 1 and endog.shape == (len(y),)
    np.testing.assert_array_equal(endog, y)
    # a reversed contiguous vector keeps its negative stride in the copy;
    # everything else becomes a plain contiguous vector
    assert (endog.strides[0] < 0) == negative
    assert abs(endog.strides[0]) == 8
    assert_same_fit(r, fit(y, X))


# ---------------------------------------------------------------- packed structured arrays

PACKED = np.dtype([("a", "i1"), ("b", "f8")], align=False)


def packed_field(values):
    """values as the float64 field of a packed structured array: byte strides
    are multiples of 9 and the data are not 8-byte aligned."""
    s = np.zeros(values.shape, dtype=PACKED)
    s["a"] = 7
    s["b"] = values
    out = s["b"]
    assert out.dtype == np.float64
    assert all(st % 8 for st in out.strides if st)
    return out


def packed_field_transposed(values):
    return packed_field(np.ascontiguousarray(values.T)).T


@pytest.mark.parametrize("exog_form", [packed_field, packed_field_transposed, None], ids=["X-rows", "X-cols", "X-plain"])
@pytest.mark.parametrize("endog_form", ["1d", "col", "plain"])
def test_packed_structured_fields_are_read_exactly(data, exog_form, endog_form):
    y, X = data
    Xs = exog_form(X) if exog_form else X
    if endog_form == "1d":
        ys = packed_field(y)
    elif endog_form == "col":
        ys = packed_field(y.reshape(-1, 1))
    else:
        ys = y
    r = fit(ys, Xs)
    np.testing.assert_array_equal(r.model.exog, X)
    np.testing.assert_array_equal(r.model.endog, y)
    ref = fit(y, X)
    np.testing.assert_array_equal(r.params, ref.params)
    np.testing.assert_array_equal(r.cov_params(), ref.cov_params())
    assert r.loglike == ref.loglike


def test_packed_structured_cluster_vars(data):
    y, X = data
    g = np.column_stack([np.arange(len(y)) % 5, np.arange(len(y)) % 3]).astype(float)
    a = fit(y, X, robust=True, cluster_vars=packed_field(g))
    b = fit(y, X, robust=True, cluster_vars=g)
    np.testing.assert_allclose(a.cov_params(), b.cov_params(), rtol=1e-12, atol=1e-15)


def _misaligned_contiguous(X):
    raw = bytearray(X.nbytes + 1)
    out = np.frombuffer(raw, dtype=np.float64, offset=1, count=X.size).reshape(X.shape)
    out[...] = X
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


def _misaligned_stride_16(X):
    # float64 field at offset 1 of a 16-byte packed record: strides are
    # multiples of 8 but the data are not aligned
    dt = np.dtype([("a", "i1"), ("b", "f8"), ("c", "7i1")], align=False)
    s = np.zeros(X.shape, dtype=dt)
    s["b"] = X
    out = s["b"]
    assert not out.flags.aligned and out.strides[-1] == 16
    return out


def _sliding_window(X):
    # rows overlap in memory: row i is v[i:i+k]
    n, k = X.shape
    v = np.empty(n + k - 1)
    v[:k] = X[0]
    v[k:] = X[1:, -1]
    return np.lib.stride_tricks.as_strided(v, shape=(n, k), strides=(8, 8), writeable=False)


def _sliding_design(n, k, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=n + k - 1)
    return np.lib.stride_tricks.as_strided(v, shape=(n, k), strides=(8, 8)).copy()


@pytest.mark.parametrize(
    "layout",
    [_misaligned_contiguous, _misaligned_stride_16, lambda X: packed_field(X)[::-1][::-1], lambda X: packed_field(np.ascontiguousarray(X[::-1]))[::-1]],
    ids=["misaligned-contiguous", "misaligned-stride-16", "packed-double-reverse", "packed-reversed"],
)
def test_unaligned_inputs(data, layout):
    y, X = data
    r = fit(layout(y), layout(X))
    np.testing.assert_array_equal(r.model.exog, X)
    np.testing.assert_array_equal(r.model.endog, y)
    assert_same_fit(r, fit(y, X))


def test_overlapping_rows_are_read_as_laid_out():
    rng = np.random.default_rng(4)
    X = _sliding_design(120, 3, 4)
    y = (X @ [0.5, -0.4, 0.3] + rng.normal(size=120) > 0).astype(float)
    Xw = _sliding_window(X)
    np.testing.assert_array_equal(Xw, X)
    r = fit(y, Xw)
    np.testing.assert_array_equal(r.model.exog, X)
    assert r.model.exog.flags.c_contiguous
    assert_same_fit(r, fit(y, X))


def test_zero_strides_are_read_as_laid_out():
    # a broadcast constant regressor (every stride 0): the constant-only model,
    # whose estimate is Phi^-1(mean y)
    n = 90
    y = (np.arange(n) % 3 == 0).astype(float)
    Xb = np.broadcast_to(1.0, (n, 1))
    assert Xb.strides == (0, 0)
    r = fit(y, Xb)
    np.testing.assert_array_equal(r.model.exog, np.ones((n, 1)))
    assert r.model.exog.strides == (8, 8)
    assert_same_fit(r, fit(y, np.ones((n, 1))))
    # a cluster column repeated by a zero column stride
    g = np.broadcast_to((np.arange(n) % 4.0)[:, None], (n, 2))
    assert g.strides == (8, 0)
    a = fit(y, np.ones((n, 1)), robust=True, cluster_vars=g)
    b = fit(y, np.ones((n, 1)), robust=True, cluster_vars=np.array(g))
    np.testing.assert_array_equal(a.cov_params(), b.cov_params())


def test_single_row_and_single_column_slices(data):
    y, X = data
    big = np.asfortranarray(np.column_stack([X, X]))
    one_col = big[:, 1:2]  # extent-1 axis with a large stride
    r = fit(y, one_col)
    np.testing.assert_array_equal(r.model.exog, X[:, 1:2])
    assert_same_fit(r, fit(y, np.ascontiguousarray(X[:, 1:2])))
    one_row = big[3:4, :3]
    r = kestrum.fit_probit(y[3:4], one_row, max_iter=0)
    np.testing.assert_array_equal(r.model.exog, X[3:4])


# ---------------------------------------------------------------- output arrays


def outputs(r):
    m = r.model
    return {"params": r.params, "cov_params": r.cov_params(), "exog": m.exog, "endog": m.endog}


@pytest.mark.parametrize("robust", [False, True])
def test_output_arrays_are_writeable_float64_owned_by_slice_container(data, robust):
    y, X = data
    g = (np.arange(len(y)) % 4).astype(float).reshape(-1, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # cluster_vars without robust=True
        r = kestrum.fit_probit(y, X, robust=robust, cluster_vars=g)
    for name, arr in outputs(r).items():
        assert type(arr) is np.ndarray, name
        assert arr.dtype == np.float64, name
        assert arr.flags.writeable, name
        assert not arr.flags.owndata, name
        base = arr.base
        t = type(base)
        assert t.__name__ == "PySliceContainer", name
        assert t.__module__ == "builtins"
        assert t.__doc__ == "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap"
        for other in (y, X, g):
            assert not np.shares_memory(arr, other), name
    arrays = list(outputs(r).values())
    for i in range(len(arrays)):
        for j in range(i + 1, len(arrays)):
            assert not np.shares_memory(arrays[i], arrays[j])


def test_slice_container_type_cannot_be_called_or_subclassed(data):
    r = kestrum.fit_probit(*data)
    t = type(r.params.base)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        t()
    with pytest.raises(TypeError):
        type("Sub", (t,), {})
    assert not gc.is_tracked(r.params.base)
    # every output array has its own container, all of the one type
    assert type(r.cov_params().base) is t
    assert r.cov_params().base is not r.params.base


def test_shapes_of_outputs(data):
    y, X = data
    r = kestrum.fit_probit(y.reshape(-1, 1), X)
    assert r.params.shape == (3,)
    assert r.cov_params().shape == (3, 3)
    assert r.model.exog.shape == X.shape
    assert r.model.endog.shape == y.shape
    assert r.params.flags.c_contiguous and r.cov_params().flags.c_contiguous


def test_empty_outputs_have_zero_strides():
    r = kestrum.fit_probit(np.zeros(5), np.zeros((5, 0)))
    assert r.params.shape == (0,) and r.params.strides == (0,)
    assert r.cov_params().shape == (0, 0) and r.cov_params().strides == (0, 0)
    r = kestrum.fit_probit(np.zeros(0), np.zeros((0, 3)))
    assert r.model.exog.shape == (0, 3) and r.model.exog.strides == (0, 0)
    assert r.model.endog.shape == (0,) and r.model.endog.strides == (0,)


@pytest.mark.parametrize("robust", [False, True])
def test_caller_arrays_are_not_modified(data, robust):
    y, X = data
    g = (np.arange(len(y)) % 6).astype(float).reshape(-1, 1)
    copies = [a.copy() for a in (y, X, g)]
    flags = [(a.flags.writeable, a.flags.c_contiguous) for a in (y, X, g)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # cluster_vars without robust=True
        r = kestrum.fit_probit(y, X, robust=robust, cluster_vars=g)
    for a, c, f in zip((y, X, g), copies, flags):
        np.testing.assert_array_equal(a, c)
        assert (a.flags.writeable, a.flags.c_contiguous) == f
    # writing into the outputs leaves the inputs alone, and vice versa
    r.model.exog[:] = -5.0
    r.model.endog[:] = -5.0
    np.testing.assert_array_equal(X, copies[1])
    np.testing.assert_array_equal(y, copies[0])
    r2 = kestrum.fit_probit(y, X)
    X[:] = 99.0
    y[:] = 99.0
    np.testing.assert_array_equal(r2.model.exog, copies[1])
    np.testing.assert_array_equal(r2.model.endog, copies[0])


def test_read_only_inputs_are_accepted(data):
    y, X = data
    y2, X2 = y.copy(), X.copy()
    y2.flags.writeable = False
    X2.flags.writeable = False
    r = fit(y2, X2)
    assert r.model.exog.flags.writeable and r.model.endog.flags.writeable
    assert_same_fit(r, fit(y, X))


def test_output_buffer_lives_as_long_as_a_view_of_it(data):
    r = kestrum.fit_probit(*data)
    expected = r.params.copy()
    expected_exog = r.model.exog.copy()
    tail = r.params[1:]
    column = r.model.exog[:, 2]
    del r
    gc.collect()
    # churn the allocator so that a freed buffer would likely be reused
    junk = [np.full(64, 123.0) for _ in range(200)]
    np.testing.assert_array_equal(tail, expected[1:])
    np.testing.assert_array_equal(column, expected_exog[:, 2])
    del junk


def test_writes_into_outputs_are_seen_by_later_reads(data):
    r = kestrum.fit_probit(*data)
    r.params[0] = 42.0
    r.cov_params()[1, 1] = -1.0
    r.model.exog[0, 0] = 7.0
    assert r.params[0] == 42.0
    assert r.cov_params()[1, 1] == -1.0
    assert r.model.exog[0, 0] == 7.0
