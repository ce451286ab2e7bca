"""Property checks of the Python boundary of fit_probit and ame: whatever the arguments, a call returns
its result or raises a documented error, leaves its inputs unchanged and gives back every reference.
The inputs the properties found are pinned as plain tests at the end."""

import contextlib
import ctypes
import gc
import math
import mmap
import operator
import os
import subprocess
import sys
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, note, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import kestrum

BOUNDARY = settings(max_examples=int(os.environ.get("KESTRUM_PROPERTY_EXAMPLES", "500")), deadline=None,
                    derandomize=True, database=None, print_blob=False, suppress_health_check=list(HealthCheck))

# Documented for bad input (AttributeError: a missing attribute); whatever the
# caller's own objects raise passes through.
DOCUMENTED = (TypeError, ValueError, OverflowError, AttributeError)
AME_COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]
# A fit that never meets its tolerance runs exactly max_iter iterations, so
# valid counts above this are folded back into range (see _bounded).
MAX_ITER_CAP = 150
RAISE = object()  # a value meaning "raise RaisedByFake when read"
OMITTED = object()  # an argument left out of a call, an attribute left out of an object


class RaisedByFake(Exception):
    """Raised by the test's own callbacks; the module must let it through."""


def rarely(draw, one_in):
    """True once in `one_in` draws; shrinks towards False, the common case."""
    return draw(st.integers(1, one_in)) == one_in


def seeded(draw):  # for arrays too large to draw value by value
    return np.random.default_rng(draw(st.integers(0, 2**32 - 1)))


def evenly(*strategies):
    """One of the strategies, each as likely (st.one_of flattens any_value's branches, which crowd out the rest)."""
    return st.sampled_from(strategies).flatmap(lambda s: s)


# ---------------------------------------------------------------- scalars

HUGE_INTS = [2**31, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**63), -(2**64),
             10**400]  # the last is beyond any double
EXTREME_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1e300,
                  1.7976931348623157e308, -1.7976931348623157e308, 0.5, 1.0, -1.0]
ints = st.one_of(st.integers(-3, 70), st.sampled_from(HUGE_INTS), st.integers())
floats = st.one_of(st.sampled_from(EXTREME_FLOATS), st.floats(), st.floats(-10, 10))
# any code point, lone surrogates included (they cannot be encoded as UTF-8)
texts = st.one_of(st.text(st.characters(exclude_categories=()), max_size=3),
                  st.sampled_from(["", "const", "Intercept", "x0", "nan", "35"]))
numpy_scalars = st.one_of(
    st.booleans().map(np.bool_), st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64), floats.map(np.float64), st.floats(width=32).map(np.float32),
    st.complex_numbers(max_magnitude=1e10).map(np.complex128), st.just(np.longdouble(1.5)))
scalars = st.one_of(st.none(), st.booleans(), ints, floats, texts, st.binary(max_size=4),
                    st.complex_numbers(max_magnitude=1e6), numpy_scalars)


# ------------------------------------------------ the test's own callbacks

MEDDLES = {  # in-place changes, (attribute, new value): a new number of dimensions, or a new dtype over the same bytes
    "add an axis": ("shape", lambda a: a.shape + (1,)), "flatten": ("shape", lambda a: (a.size,)),
    "one row": ("shape", lambda a: (1, a.size)), "as float32": ("dtype", lambda a: np.float32),
    "as uint8": ("dtype", lambda a: np.uint8), "as int64": ("dtype", lambda a: np.int64)}


class Meddle:
    """An in-place change to a caller's array, run once from a callback; armed just before the call."""

    def __init__(self, target, kind):
        self.target, self.kind, self.armed, self.before = target, kind, False, None

    def arm(self):
        self.before = np.array(self.target)  # the values as the module first sees them
        self.armed = True

    def __call__(self):
        if self.armed:
            self.armed = False
            attribute, value = MEDDLES[self.kind]
            with contextlib.suppress(AttributeError, TypeError, ValueError):  # impossible for some layouts
                setattr(self.target, attribute, value(self.target))

    def __repr__(self):
        return f"Meddle({self.kind!r})"


def after(meddle, make):
    """A callback, or property getter, that meddles and then makes its value."""
    return lambda *_: (meddle(), make())[1]


class Hook:
    """Gives `value` (RAISE: raises) from the hooks a subclass defines, after running `meddle` if any."""

    def __init__(self, value, meddle=None):
        self.value, self.meddle = value, meddle

    def _get(self, *_):
        if self.meddle is not None:
            self.meddle()
        if self.value is RAISE:
            raise RaisedByFake(type(self).__name__)
        return self.value


IndexLike = type("IndexLike", (Hook,), {"__index__": Hook._get})
FloatLike = type("FloatLike", (Hook,), {"__float__": Hook._get})
MeddlingNumber = type("MeddlingNumber", (Hook,), {"__index__": Hook._get, "__float__": Hook._get})
Shaped = type("Shaped", (Hook,), {"shape": property(Hook._get)})  # not an array, but with a shape
SubArray = type("SubArray", (np.ndarray,), {})  # an ndarray subclass that adds nothing


class TrickArray(np.ndarray):
    """An ndarray subclass whose `shape` claims another shape or first runs a Meddle."""
    claimed = meddle = None

    @property
    def shape(self):
        if self.meddle is not None:
            self.meddle()
        return np.ndarray.shape.__get__(self) if self.claimed is None else self.claimed


def trick_array(a, claimed=None, meddle=None):
    v = np.asarray(a).view(TrickArray)
    v.claimed, v.meddle = claimed, meddle
    return v


class FakeObject:
    """Attributes given as keywords: a property runs on each read, RAISE raises, a name not given is missing."""

    def __init__(self, **fields):
        self._fields = fields

    def __getattr__(self, name):
        value = self.__dict__.get("_fields", {}).get(name, OMITTED)
        if value is OMITTED:
            raise AttributeError(name)
        if value is RAISE:
            raise RaisedByFake(name)
        return value.fget(self) if isinstance(value, property) else value

    def __repr__(self):
        return f"FakeObject({self._fields!r})"


class NameSequence(list):
    """Names whose __len__ may lie (`length`; RAISE: raises) and whose __iter__ may run a Meddle first."""

    def __init__(self, names, length=None, meddle=None):
        super().__init__(iter(names))  # iter: list() would ask a lying __len__ for a hint
        self.length, self.meddle = length, meddle

    def __len__(self):
        return super().__len__() if self.length is None else Hook(self.length)._get()

    def __iter__(self):
        if self.meddle is not None:
            self.meddle()
        return super().__iter__()


# ------------------------------------------------------------ NumPy arrays

PACKED = np.dtype([("pad", "u1"), ("v", "<f8")])  # itemsize 9
DTYPES = [np.float64] * 3 + [np.float32, np.float16, np.longdouble, np.int64, np.int32, np.uint64, np.uint8,
                             np.bool_, np.complex128, ">f8", object, "U3", "S2", "M8[ns]", "m8[s]", PACKED,
                             [("v", "<f8")]]
float64_elements = st.one_of(st.floats(-4, 4), st.sampled_from([0.0, 1.0] + EXTREME_FLOATS), st.floats())


def along(axis, step):
    return (slice(None),) * axis + (slice(None, None, step),)


def packed_field(a):
    """The float64 field of packed records: strides that are multiples of 9, odd addresses."""
    s = np.zeros(a.shape, PACKED, order="F" if a.flags.f_contiguous and not a.flags.c_contiguous else "C")
    s["v"] = a
    return s["v"]


LAYOUTS = {
    "fortran": lambda a, axis: np.asfortranarray(a),
    "reverse": lambda a, axis: a[along(axis, -1)] if a.ndim else a,
    "step": lambda a, axis: np.repeat(a, 2, axis)[along(axis, 2)] if a.ndim else a,
    "readonly": lambda a, axis: np.lib.stride_tricks.as_strided(a, writeable=False),
    "broadcast": lambda a, axis: np.broadcast_to(a[:1], a.shape) if a.ndim and len(a) else a,  # stride 0
    "subclass": lambda a, axis: a.view(SubArray),
    # the next two for native float64 only (packed after fortran: records in Fortran order)
    "packed": lambda a, axis: packed_field(a),
    "misaligned": lambda a, axis: np.frombuffer(bytearray(1) + np.ascontiguousarray(a).tobytes(), "<f8",
                                                offset=1).reshape(a.shape),
    # the last two change the shape or the dtype
    "transpose": lambda a, axis: a.T,
    "swap": lambda a, axis: a.astype(a.dtype.newbyteorder()) if a.dtype.names is None else a,
}
KEEPING = list(LAYOUTS)[:-2]  # the layouts that keep a valid float64 array valid


@st.composite
def laid_out(draw, a, names=tuple(LAYOUTS)):
    """The array `a` after zero to two layout changes from `names`."""
    for _ in range(draw(st.integers(0, 2))):
        name = draw(st.sampled_from(names))
        if name in ("packed", "misaligned") and not (a.dtype == np.float64 and a.dtype.isnative):
            continue
        a = LAYOUTS[name](a, draw(st.integers(0, max(a.ndim - 1, 0))))
    return a


def f64(draw, shape):  # a float64 array in a drawn layout
    return draw(laid_out(np.resize(np.array([0.5, -1.0, 2.0]), shape), KEEPING))


@st.composite
def any_array(draw, max_dims=3):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=4))
    elements = {"f": float64_elements if dtype == np.float64 else None,
                "O": st.one_of(st.none(), floats, texts, st.integers(-5, 5))}.get(dtype.kind)
    return draw(laid_out(draw(hnp.arrays(dtype, shape, elements=elements))))


# -------------------------------------------------------- any Python value

trick_objects = st.one_of(
    st.builds(IndexLike, st.one_of(st.just(RAISE), st.none(), ints, st.floats())),
    st.builds(FloatLike, st.one_of(st.just(RAISE), floats, st.integers(), st.text(max_size=2))),
    st.builds(Shaped, st.one_of(
        st.just(RAISE), st.none(), st.integers(0, 4), st.lists(st.integers(0, 4), max_size=3), st.tuples(st.floats()),
        st.tuples(ints, st.builds(IndexLike, st.one_of(st.just(RAISE), st.integers(-1, 3)))))),
    st.sampled_from([object(), Ellipsis, NotImplemented, type, len]),
    st.builds(trick_array, st.sampled_from([np.zeros(3), np.ones((3, 1)), np.zeros((2, 2)), np.zeros(0)]),
              st.sampled_from([(3,), (3, 1), (0,), (2,), (2, 1), (5, 1), (3, 2), ()])),
)
containers = st.recursive(scalars, lambda children: st.one_of(
    st.lists(children, max_size=4), st.lists(children, max_size=4).map(tuple),
    st.dictionaries(st.text(max_size=3), children, max_size=3)), max_leaves=8)
nested_float_lists = st.integers(0, 4).flatmap(lambda k: st.lists(st.lists(floats, min_size=k, max_size=k), max_size=5))
pandas_objects = st.one_of(
    st.lists(floats, max_size=6).map(lambda v: pd.Series(v, dtype=float)), st.lists(texts, max_size=4).map(pd.Index),
    hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, max_side=5), elements=floats).map(pd.DataFrame))
any_value = st.one_of(scalars, any_array(), containers, nested_float_lists, pandas_objects, trick_objects)


# ------------------------------------------------------ what must not change

def _root(a):
    while isinstance(a, np.ndarray) and a.base is not None:
        a = a.base
    return a


def _bytes_of(obj):
    with contextlib.suppress(TypeError):
        return obj.tobytes(order="A") if isinstance(obj, np.ndarray) else memoryview(obj).tobytes()


def _counted(obj):
    """Whether the reference count is the object's own, not a shared singleton's or small cached value's."""
    if obj is None or obj is Ellipsis or obj is NotImplemented or isinstance(obj, (bool, type)):
        return False
    return not ((isinstance(obj, int) and -5 <= obj <= 256) or (isinstance(obj, (str, bytes, tuple)) and len(obj) <= 1))


@contextlib.contextmanager
def unchanged(objects, meddled=()):
    """Checks after the block that arrays (content, layout, flags, the buffer behind), pandas objects and
    reference counts are as before; for arrays the test's own callback changed, only the buffer. The cycle
    collector stays off: it could drop unrelated references to shared objects between the two counts."""
    objects = list({id(o): o for o in objects}.values())
    meddled = {id(a) for a in meddled}
    state = lambda a: (a.shape, a.strides, a.dtype, a.flags.writeable, _bytes_of(a))  # noqa: E731
    arrays = [(a, state(a), _bytes_of(_root(a))) for a in objects if isinstance(a, np.ndarray)]
    frames = [(f, f.copy(deep=True)) for f in objects if isinstance(f, (pd.Series, pd.DataFrame, pd.Index))]
    counted = [o for o in objects if _counted(o)]
    enabled = gc.isenabled()
    gc.disable()
    try:
        counts = [sys.getrefcount(o) for o in counted]
        yield
        for obj, before, now in zip(counted, counts, [sys.getrefcount(o) for o in counted]):
            assert before == now, f"reference count of {type(obj).__name__} {repr(obj)[:80]}: {before} -> {now}"
        for a, before, root in arrays:
            assert _bytes_of(_root(a)) == root, "the buffer behind an input array was modified"
            assert id(a) in meddled or state(a) == before, "an input array was modified"
        for obj, copy in frames:
            assert obj.equals(copy), "an input pandas object was modified"
    finally:
        if enabled:
            gc.enable()


def watched_call(call, meddles=()):
    """Runs call() with the meddles armed: (result, None) or (None, (type, is PanicException, message))."""
    for meddle in meddles:
        meddle.arm()
    try:
        return call(), None
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # PanicException derives from BaseException
        return None, (type(exc), type(exc).__name__ == "PanicException" and not isinstance(exc, Exception), str(exc))
    finally:
        for meddle in meddles:
            meddle.armed = False


def passed(call, name):
    """The value a call passes for a parameter, or OMITTED."""
    index = call.names.index(name)
    return call.args[index] if index < len(call.args) else call.kwargs.get(name, OMITTED)


@st.composite
def arrange(draw, names, values, required):
    """A call: each value by position or keyword, or left out; rarely a surplus, unknown or duplicate
    argument. `bound`: binding cannot fail; `valid` (set by the caller): also every value is acceptable."""
    args, kwargs, positional, bound = [], {}, True, True
    for index, name in enumerate(names):
        value = values[name]
        if value is OMITTED or (index >= required and value is None and rarely(draw, 4)) or (
                index < required and rarely(draw, 30)):
            positional, bound = False, bound and index >= required
        elif positional and draw(st.integers(0, 2)) > 0:
            args.append(value)
        else:
            positional, kwargs[name] = False, value
    extra = draw(st.sampled_from(["nothing"] * 37 + ["surplus", "unknown", "duplicate"]))
    if extra == "surplus":
        args, kwargs, bound = args + [draw(scalars)] * (len(names) + 1 - len(args)), {}, False
    elif extra == "unknown":
        unknown = draw(st.sampled_from(["foo", "endog", "chunk", "Robust", "é", "\ud800", "exog_py\x00"]))
        kwargs[unknown], bound = draw(scalars), False
    elif extra == "duplicate" and args:
        kwargs[names[0]], bound = args[0], False
    return types.SimpleNamespace(names=names, args=tuple(args), kwargs=kwargs, bound=bound, valid=False, meddles=[])


def exercise(function, call, watched, check_result):
    """Calls function, checks the result or that the error is documented, and that no input changed."""
    with unchanged(watched + list(call.args) + list(call.kwargs.values()), [m.target for m in call.meddles]):
        result, error = watched_call(lambda: function(*call.args, **call.kwargs), call.meddles)
        event(f"{function.__name__}: " + ("result" if error is None else error[0].__name__))
        event(f"{function.__name__}: valid = {call.valid}, meddled = {bool(call.meddles)}")
        if error is None:
            check_result(result)
        else:
            kind, panicked, text = error
            note(f"raised {kind.__name__}: {text}")
            assert not call.valid, f"valid arguments were refused: {kind.__name__}: {text}"
            assert not panicked, f"PanicException: {text}"
            assert panicked or issubclass(kind, DOCUMENTED + (RaisedByFake,)), f"undocumented {kind.__name__}: {text}"
        del result


# ------------------------------------------------------ data for both functions

COLUMNS = {  # regressor columns by kind; ame treats a 0/1 column as an indicator
    "continuous": lambda rng, n: rng.normal(size=n), "ones": lambda rng, n: np.ones(n),
    "indicator": lambda rng, n: rng.choice([0.0, 1.0, -0.0], n),
    "extreme": lambda rng, n: np.where(rng.random(n) < 0.3, rng.choice(EXTREME_FLOATS, n), rng.normal(size=n))}


@st.composite
def design(draw, kinds=tuple(COLUMNS), min_k=0):
    """A generator and an n x k regressor matrix with columns of drawn kinds."""
    n = draw(st.integers(257, 700)) if rarely(draw, 8) else draw(st.integers(0, 40))  # several row tiles
    k = draw(st.integers(5, 40)) if rarely(draw, 6) else draw(st.integers(min_k, 4))  # several register blocks
    rng = seeded(draw)
    columns = [COLUMNS[kind](rng, n) for kind in draw(st.lists(st.sampled_from(kinds), min_size=k, max_size=k))]
    return rng, np.column_stack(columns) if k else np.zeros((n, 0))


def _is_float64(value, ndim):
    return (isinstance(value, np.ndarray) and value.ndim == ndim and value.dtype.names is None
            and value.dtype == np.float64 and value.dtype.isnative)


# -------------------------------------------------------------- fit_probit

PARAMETERS = ["endog_py", "exog_py", "max_iter", "tol", "robust", "cluster_vars"]


@st.composite
def probit_data(draw, wild=True):
    """Outcomes and regressors in drawn layouts; if `wild`, sometimes extreme regressors or non-0/1 outcomes."""
    rng, X = draw(design() if wild else design(("continuous", "indicator", "ones")))
    with np.errstate(all="ignore"):
        y = (X @ rng.normal(size=X.shape[1]) + rng.normal(size=len(X)) > 0).astype(float)
    if wild and len(y) and rarely(draw, 5):
        y[rng.integers(0, len(y), 2)] = rng.choice([0.5, 2.0, -1.0, math.nan, math.inf], 2)
    y = y.reshape(-1, 1) if rarely(draw, 5) else y
    return draw(laid_out(y, KEEPING)), draw(laid_out(X, KEEPING))


@st.composite
def cluster_arrays(draw, n):
    rng = seeded(draw)
    codes = rng.integers(0, 4, (draw(st.integers(0, n + 2)) if rarely(draw, 6) else n, draw(st.integers(0, 2))))
    codes = codes.astype(float)
    if codes.size and rarely(draw, 4):
        codes.flat[rng.integers(0, codes.size, 2)] = rng.choice(EXTREME_FLOATS, 2)
    return draw(laid_out(codes, KEEPING))


def valid_options(n):
    return {"max_iter": st.one_of(st.none(), st.integers(0, 60), st.integers(0, 60).map(np.int64),
                                  st.sampled_from([2**63, 2**64 - 1, True])),
            "tol": st.one_of(st.none(), st.floats(1e-12, 1.0), st.integers(0, 2), st.floats(1e-10, 1).map(np.float64),
                             st.sampled_from([0.0, -1.0, math.nan, math.inf])),
            "robust": st.one_of(st.none(), st.booleans()), "cluster_vars": st.one_of(st.none(), cluster_arrays(n))}


def _bounded(max_iter, converges_at_once):
    """A valid max_iter folded into range, unless the fit converges at once (no observations, tol > 0)."""
    with contextlib.suppress(Exception):
        count = operator.index(max_iter)
        if MAX_ITER_CAP < count < 2**64 and not converges_at_once:
            return count % (MAX_ITER_CAP + 1)
    return max_iter


def _rows_off(draw, n):
    return n + draw(st.sampled_from([1, 2] + ([-1] if n else [])))


def _probit_sample(y, X):
    """Whether the outcomes are all 0 or 1 and the regressors all finite."""
    y, X = np.asarray(y, dtype=float), np.asarray(X, dtype=float)
    return bool(np.isin(y, [0.0, 1.0]).all() and np.isfinite(X).all())


# Valid arguments but for one detail the module must reject: name -> the values it replaces.
NEAR_MISSES = {
    "exog rows": lambda d, y, X, n: {"exog_py": f64(d, (_rows_off(d, n), X.shape[1]))},
    "endog columns": lambda d, y, X, n: {"endog_py": f64(d, (n, d(st.sampled_from([0, 2, 3]))))},
    "endog dims": lambda d, y, X, n: {"endog_py": np.asarray(y).reshape(
        d(st.sampled_from([(n, 1, 1), (1, n, 1)] + ([()] if n == 1 else []))))},
    "endog dtype": lambda d, y, X, n: {"endog_py": d(laid_out(np.asarray(y).astype(
        d(st.sampled_from([np.float32, np.int64, np.bool_, ">f8", object, np.complex128]))), KEEPING[:4]))},
    "exog dtype": lambda d, y, X, n: {"exog_py": np.asarray(X).astype(
        d(st.sampled_from([np.float32, np.int64, np.bool_, ">f8", object, np.longdouble, PACKED])))},
    "pandas": lambda d, y, X, n: d(st.sampled_from([{"endog_py": pd.Series(np.asarray(y).ravel())},
                                                    {"exog_py": pd.DataFrame(np.array(X))}])),
    "lists": lambda d, y, X, n: d(st.sampled_from([{"endog_py": np.array(y).tolist()},
                                                   {"exog_py": np.array(X).tolist()}])),
    "cluster rows": lambda d, y, X, n: {"robust": True, "cluster_vars": f64(d, (_rows_off(d, n), 1))},
    "cluster 1-d": lambda d, y, X, n: {"robust": True, "cluster_vars": np.zeros(n)},
    "cluster no columns": lambda d, y, X, n: {"robust": True, "cluster_vars": np.zeros((n, 0))},
    "masked": lambda d, y, X, n: {"exog_py": np.ma.masked_array(np.asarray(X))},
}


def meddling(draw, values):
    """Code the module runs after accepting exog_py changes exog_py or cluster_vars in place."""
    name = "cluster_vars" if isinstance(values["cluster_vars"], np.ndarray) and draw(st.booleans()) else "exog_py"
    if draw(st.booleans()):
        values[name] = np.ascontiguousarray(values[name])  # most of the changes need a contiguous array
    meddle = Meddle(values[name], draw(st.sampled_from(list(MEDDLES))))
    meddle_at(values, meddle, draw(st.sampled_from(["endog_py", "max_iter", "tol"])), draw(st.integers(0, 30)))
    return meddle


def meddle_at(values, meddle, where, max_iter):
    """Has the endog_py.shape getter, or the conversion of max_iter or tol, run the meddle."""
    if where == "endog_py":
        values[where] = trick_array(values["endog_py"], meddle=meddle)
    else:
        values[where] = MeddlingNumber(max_iter if where == "max_iter" else 1e-6, meddle)


@st.composite
def fit_probit_calls(draw):
    mode = draw(st.sampled_from(["valid"] * 5 + ["near miss"] * 2 + ["one wrong"] * 3 + ["empty"] + ["meddling"] * 2))
    y, X = draw(probit_data())
    if mode == "empty":  # no observations: any count of iterations ends at once
        y, X = np.zeros(0), f64(draw, (0, draw(st.integers(0, 3))))
    values = {"endog_py": y, "exog_py": X}
    values.update({name: draw(st.one_of(s, st.just(OMITTED))) for name, s in valid_options(len(y)).items()})
    meddle = meddling(draw, values) if mode == "meddling" else None
    if mode == "near miss":
        values.update(NEAR_MISSES[draw(st.sampled_from(list(NEAR_MISSES)))](draw, y, X, len(y)))
    elif mode == "one wrong":
        # anything, with arrays, objects with odd hooks and out-of-range integers more likely than in any_value
        values[draw(st.sampled_from(PARAMETERS))] = draw(evenly(any_value, any_array(max_dims=2), trick_objects,
                                                               st.sampled_from(HUGE_INTS)))
    tol = values["tol"]
    values["max_iter"] = _bounded(values["max_iter"], mode == "empty" and (tol in (None, OMITTED) or float(tol) > 0))
    call = draw(arrange(PARAMETERS, values, required=2))
    call.meddles = [meddle] if meddle else []
    clusters = values["cluster_vars"]
    call.valid = call.bound and mode in ("valid", "empty") and _probit_sample(y, X) and not (
        values["robust"] is True and isinstance(clusters, np.ndarray)
        and (len(clusters) != len(values["endog_py"]) or clusters.shape[1] == 0))
    return call


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")  # ignored clusters, one cluster
@BOUNDARY
@given(call=fit_probit_calls())
def test_fit_probit_returns_a_result_or_raises_a_documented_error(call):
    def check_result(result):
        # The model holds a copy of exog_py: as it is now, or, when a callback
        # changed it in place during the call, as it was accepted.
        exog = passed(call, "exog_py")
        copies = ([exog] if _is_float64(exog, 2) else []) + [m.before for m in call.meddles if m.target is exog]
        assert any(np.array_equal(result.model.exog, c, equal_nan=True) for c in copies), "model.exog is not exog_py"
        endog = np.asarray(passed(call, "endog_py")).reshape(-1)
        assert np.array_equal(result.model.endog, endog, equal_nan=True), "model.endog is not endog_py"
        k = result.model.exog.shape[1]
        assert result.params.shape == (k,) and result.cov_params().shape == (k, k)

    exercise(kestrum.fit_probit, call, [], check_result)


# --------------------------------------------------------------------- ame

def _dims(a):
    """The true shape of an array, even of a subclass whose `shape` lies."""
    return np.ndarray.shape.__get__(a)


def _excluded(name):
    return str.lower(name) in ("const", "intercept")  # any letter case, nothing else


def _names_list(value):
    """The names as ame reads them (any sequence of str but a str, by iteration), or None if it cannot."""
    if isinstance(value, (str, dict)) or not hasattr(type(value), "__getitem__"):
        return None
    with contextlib.suppress(Exception):
        names = list(iter(value))
        for name in names:
            name.encode("utf-8")  # AttributeError for a non-str, UnicodeError for a lone surrogate
        return names if all(isinstance(name, str) for name in names) else None


class Parts(types.SimpleNamespace):
    """The four pieces ame reads from a model, as the test set them up."""

    def __init__(self, params=None, cov=None, names=None, exog=None):
        super().__init__(params=params, cov=cov, names=names, exog=exog)

    def snapshot(self):
        return Parts(np.array(self.params), np.array(self.cov), list(iter(self.names)), np.array(self.exog))

    def readable(self):
        """The names, if ame can read every piece; else None."""
        if _is_float64(self.params, 1) and _is_float64(self.cov, 2) and _is_float64(self.exog, 2):
            return _names_list(self.names)

    def inconsistent(self):
        """Whether the shapes disagree, which must raise ValueError: names shorter than k, a
        non-constant name past k, len(params) != k, or a covariance not k x k."""
        names = self.readable()
        if names is None:
            return False
        k = _dims(self.exog)[1]
        return (len(names) < k or any(not _excluded(name) for name in names[k:])
                or _dims(self.params)[0] != k or _dims(self.cov) != (k, k))

    def reported_names(self):
        return [name for name in self.readable()[:_dims(self.exog)[1]] if not _excluded(name)]


MEDDLE_POINTS = ["cov_params()", "model", "names", "exog"]


def fake_model(parts, cov_params=OMITTED, meddle=None, point=None):
    """A model object holding `parts`, running `meddle` at `point`; and the fields of its inner model
    (a new object on each read of `model`)."""
    inner = {"exog_names": NameSequence(parts.names, None, meddle) if point == "names" else parts.names,
             "exog": property(after(meddle, lambda: parts.exog)) if point == "exog" else parts.exog}
    make_inner = lambda *_: FakeObject(**inner)  # noqa: E731
    model = property(after(meddle, make_inner) if point == "model" else make_inner)
    cov = parts.cov
    if cov_params is OMITTED:
        cov_params = after(meddle, lambda: cov) if point == "cov_params()" else lambda: cov
    return FakeObject(params=parts.params, cov_params=cov_params, model=model), inner


NAME_CHOICES = ["x0", "x1", "const", "Intercept", "CONST", "intercept ", "constant", "(Intercept)", "ü", "a|b",
                "İntercept", "", "const\x00"]
NAME_WRAPS = [list, tuple, lambda v: np.array(v, dtype=object), lambda v: pd.Series(v, dtype=object),
              *(lambda v, n=n: NameSequence(v, n) for n in [None, -1, 2**70, "x", RAISE])]  # __len__ lies


@st.composite
def model_parts(draw, min_k=0):
    """Pieces of a fitted model; one in four has a piece whose length may disagree with k."""
    rng, X = draw(design(min_k=min_k))
    n, k = X.shape
    params, A = rng.normal(size=k), rng.normal(size=(k, k))
    cov = A @ A.T * 0.01
    for a in (params, cov):
        if a.size and rarely(draw, 4):
            a.flat[rng.integers(0, a.size, 2)] = rng.choice(EXTREME_FLOATS, 2)
    names = draw(st.lists(st.sampled_from(NAME_CHOICES), min_size=k, max_size=k))
    if rarely(draw, 4):  # constant names beyond k are allowed
        names += draw(st.lists(st.sampled_from(["const", "Intercept", "INTERCEPT"]), max_size=2))
    parts = Parts(draw(laid_out(params, KEEPING)), draw(laid_out(cov, KEEPING)), names, draw(laid_out(X, KEEPING)))
    which, off = draw(st.sampled_from([None] * 12 + ["params", "cov", "names", "exog"])), draw(st.integers(0, k + 2))
    if which == "params":
        parts.params = f64(draw, (off,))
    elif which == "cov":
        parts.cov = f64(draw, (off, draw(st.sampled_from([off, k]))))
    elif which == "exog":
        parts.exog = f64(draw, (n, off))
    elif which == "names":
        parts.names = (names + ["x9", "const", "b"])[:off]
    parts.names = draw(st.sampled_from(NAME_WRAPS))(parts.names)
    return parts


FIELDS = ["params", "cov_params", "model", "exog_names", "exog"]
PIECES = {"params": "params", "cov_params": "cov", "exog_names": "names", "exog": "exog"}
COV_STYLES = {  # a "wild" cov_params; None: a method returning anything
    "returns anything": None, "not callable": lambda cov: cov,
    "takes an argument": lambda cov: lambda what: cov, "raises when called": lambda cov: Hook(RAISE)._get}


@st.composite
def fake_models(draw, meddling=False):
    """Fake results objects: about half with one or two attributes missing, raising or arbitrary; or, if
    `meddling`, intact but with a callback that changes params, cov or exog in place later in the call."""
    parts = draw(model_parts(min_k=1 if meddling else 0))
    spoilt = [] if meddling else draw(
        st.sampled_from([[]] * 3 + [[f] for f in FIELDS] + [FIELDS[i:i + 2] for i in range(4)]))
    how = {name: draw(st.sampled_from(["missing", "raises", "wild"])) for name in spoilt}
    for name in [name for name, choice in how.items() if choice == "wild" and name in PIECES]:
        setattr(parts, PIECES[name], draw(evenly(any_value, any_array(max_dims=2))))
    cov_style = COV_STYLES[draw(st.sampled_from(list(COV_STYLES)))] if how.get("cov_params") == "wild" else None
    meddle = point = None
    if meddling:
        piece = draw(st.sampled_from(["params", "cov", "exog"]))
        if draw(st.booleans()):
            setattr(parts, piece, np.ascontiguousarray(getattr(parts, piece)))  # most changes need a contiguous array
        meddle = Meddle(getattr(parts, piece), draw(st.sampled_from(list(MEDDLES))))
        point = draw(st.sampled_from(MEDDLE_POINTS))
    obj, inner = fake_model(parts, cov_style(parts.cov) if cov_style else OMITTED, meddle, point)
    for name, choice in how.items():
        fields = inner if name.startswith("exog") else obj._fields
        if choice == "missing":
            del fields[name]
        elif choice == "raises":
            fields[name] = RAISE
        elif name == "model":  # wild; wild pieces were set above
            fields[name] = draw(any_value)
    watched = [obj, parts.params, parts.cov, parts.names, parts.exog]
    if any(c != "wild" for c in how.values()) or "model" in how or cov_style:
        parts = Parts()  # a read fails before any shape is compared
    return types.SimpleNamespace(obj=obj, parts=parts, watched=watched, meddles=[meddle] if meddle else [])


@st.composite
def real_models(draw):
    y, X = draw(probit_data(wild=False))
    fit = kestrum.fit_probit(y, X, max_iter=draw(st.integers(0, 40)), robust=draw(st.booleans()))
    parts = Parts(fit.params, fit.cov_params(), fit.model.exog_names, fit.model.exog)
    return types.SimpleNamespace(obj=fit, parts=parts, watched=[fit, fit.params, parts.cov, parts.exog], meddles=[])


AME_PARAMETERS = ["probit_model", "chunk_size"]
chunk_sizes = evenly(st.just(OMITTED), st.none(), st.integers(1, 5), st.integers(1, 70), any_value,
                     st.sampled_from([0, 2**63, 2**64 - 1, 2**64, -1, True, False, np.uint64(3), IndexLike(2)]))


def _chunk_accepted(chunk, n):
    """Omitted, None, or an unsigned 64-bit count, 0 only without observations."""
    if chunk is OMITTED or chunk is None:
        return True
    with contextlib.suppress(Exception):
        return 0 < operator.index(chunk) < 2**64 or (operator.index(chunk) == 0 and n == 0)
    return False


@st.composite
def ame_calls(draw):
    source = draw(st.sampled_from(["fake"] * 3 + ["real"] * 2 + ["meddling", "anything"]))
    if source == "anything":
        value = draw(any_value)
        model = types.SimpleNamespace(obj=value, parts=Parts(), watched=[value], meddles=[])
    else:
        model = draw(real_models() if source == "real" else fake_models(meddling=source == "meddling"))
    call = draw(arrange(AME_PARAMETERS, {"probit_model": model.obj, "chunk_size": draw(chunk_sizes)}, required=1))
    call.meddles, p = model.meddles, model.parts
    call.valid = (call.bound and not call.meddles and p.readable() is not None and not p.inconsistent()
                  and _chunk_accepted(passed(call, "chunk_size"), _dims(p.exog)[0]))
    return model, call


@BOUNDARY
@given(drawn=ame_calls())
def test_ame_returns_a_table_or_raises_a_documented_error(drawn):
    model, call = drawn
    # The module works from each piece as it was when read, before or after a
    # callback changed it in place: it is judged against both states.
    states = [model.parts] + ([model.parts.snapshot()] if call.meddles else [])

    def check_result(result):
        assert not all(s.inconsistent() for s in states), "a table for a model whose shapes disagree"
        assert isinstance(result, pd.DataFrame) and list(result.columns) == AME_COLUMNS
        assert any(s.readable() is not None and list(result.index) == s.reported_names() for s in states), \
            f"a table with index {list(result.index)} for a model ame cannot read or names otherwise"
        if model.parts.readable() is None:
            # A callback made the model unreadable after the module had read
            # it: the table must be the one of the pieces as they were read.
            chunk = passed(call, "chunk_size")
            expected = kestrum.ame(fake_model(states[1])[0], **({} if chunk is OMITTED else {"chunk_size": chunk}))
            pd.testing.assert_frame_equal(result, expected, check_exact=False, rtol=1e-9)
        se, p = result["Std. Err"].to_numpy(float), result["Pr(>|z|)"].to_numpy(float)
        assert not (se < 0).any() and not ((p < 0) | (p > 1)).any(), f"standard errors {se}, p-values {p}"

    exercise(kestrum.ame, call, model.watched, check_result)
    event(f"ame: inconsistent = {any(s.inconsistent() for s in states)}")


# ------------------------------------------- inputs the properties found
#
# All come from one gap: an array is accepted, then Python code the module
# itself calls later in the same call changes it in place (a new number of
# dimensions, or a new dtype over the same bytes), and the module goes on as
# if it were the array it accepted. It must refuse the array with a TypeError
# or work with the values as accepted: never PanicException, a read outside
# the array, or a model that does not hold the caller's data.

FIT_CASES = [("add an axis", 2, "endog_py"), ("add an axis", 2, "tol"), ("as float32", 2, "endog_py"),
             ("as uint8", 2, "max_iter"), ("flatten", 1, "endog_py")]
AME_CASES = [("params", "one row", "exog"), ("params", "as uint8", "cov_params()"), ("params", "as float32", "exog"),
             ("cov", "add an axis", "model"), ("cov", "as uint8", "names")]


def fit_case(kind, columns, where, place=np.array):
    """The meddle, the call and a check of the result of a FIT_CASES entry; `place` makes the changing array."""
    exog = place(np.column_stack([np.ones(5), np.arange(5.0)])[:, :columns])
    meddle, values = Meddle(exog, kind), {"endog_py": np.array([0.0, 1.0, 0.0, 1.0, 1.0]), "exog_py": exog}
    meddle_at(values, meddle, where, 10)
    return meddle, lambda: kestrum.fit_probit(**values), lambda result: np.testing.assert_array_equal(
        result.model.exog, meddle.before, "model.exog is not the exog_py that was accepted")


def ame_case(target, kind, point, place=np.array):
    """The same for an AME_CASES entry: the table must be that of the pieces as they were accepted."""
    parts = Parts(np.array([0.2, 0.5]), np.array([[0.01, 0.002], [0.002, 0.03]]), ["a", "b"],
                  np.column_stack([np.ones(6), np.arange(6.0)]))
    setattr(parts, target, place(getattr(parts, target)))
    expected = kestrum.ame(fake_model(parts.snapshot())[0])
    meddle = Meddle(getattr(parts, target), kind)
    model = fake_model(parts, meddle=meddle, point=point)[0]
    return meddle, lambda: kestrum.ame(model), lambda result: pd.testing.assert_frame_equal(result, expected)


CASES = [(fit_case, case) for case in FIT_CASES] + [(ame_case, case) for case in AME_CASES]
CASE_IDS = [f"{make.__name__[:-5]}-{'-'.join(map(str, case))}" for make, case in CASES]


@pytest.mark.parametrize("make, case", CASES, ids=CASE_IDS)
def test_array_changed_in_place_after_it_was_accepted(make, case):
    meddle, call, check = make(*case)
    result, error = watched_call(call, [meddle])
    assert not meddle.armed, "the callback did not run"
    assert error is None or (error[0] is TypeError and not error[1]), f"{error[0].__name__}: {error[2]}"
    if result is not None:
        check(result)


def at_page_end(values):
    """A copy of `values` whose last byte is the last of a page followed by an
    unreadable page: any read past its end faults."""
    page, memory = mmap.PAGESIZE, mmap.mmap(-1, 2 * mmap.PAGESIZE)
    start = ctypes.addressof(ctypes.c_char.from_buffer(memory))
    assert ctypes.CDLL(None).mprotect(ctypes.c_void_p(start + page), ctypes.c_size_t(page), 0) == 0
    a = np.frombuffer(memory, np.float64, values.size, page - values.nbytes).reshape(values.shape)
    a[...] = values
    return a


def run_at_page_end(index):
    """Runs CASES[index] with the changing array at a page end; prints "survived" unless it faults."""
    meddle, call, _ = CASES[index][0](*CASES[index][1], place=at_page_end)
    watched_call(call, [meddle])
    print("survived")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses mprotect through ctypes")
@pytest.mark.parametrize("index", [2, 7, 9], ids=lambda i: CASE_IDS[i])
def test_array_changed_in_place_is_never_read_past_its_end(index):
    """In a child process: a read past the end of the array ends it with SIGSEGV."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + [p for p in sys.path if p]))
    code = f"import test_properties; test_properties.run_at_page_end({index})"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0 and "survived" in proc.stdout, f"exit {proc.returncode}\n{proc.stdout}{proc.stderr}"
