"""Repeated calls, failing and succeeding, leave neither memory nor
references behind."""

import gc
import os
import signal
import sys
import types
import warnings

import numpy as np
import pytest
import statsmodels.api as sm

import kestrum

N, K = 400, 5  # one copy of X is 16 KB: a leaked copy per call is obvious
CALLS = 1000
WARMUP = 50
# A leak of one X copy per call would add CALLS * 16 KB ~ 16 MB; a single
# leaked small object per call ~ 100 KB or more is caught by the refcounts.
RSS_BOUND = 4 * 2**20


def rss():
    """Resident memory in bytes: the current set on Linux, the peak elsewhere
    on POSIX (a leak raises it all the same); None on Windows, where only the
    reference counts are checked."""
    if sys.platform.startswith("linux"):
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    if sys.platform == "win32":
        return None
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # bytes on macOS


def assert_rss_growth_below_bound(before):
    if before is not None:
        grown = rss() - before
        assert grown < RSS_BOUND, f"RSS grew by {grown / 2**20:.1f} MB"


class Shaped:
    def __init__(self, shape):
        self.shape = shape


def make_inputs():
    rng = np.random.default_rng(8)
    X = np.column_stack([np.ones(N), rng.normal(size=(N, K - 1))])
    y = (X @ rng.normal(size=K) * 0.5 + rng.normal(size=N) > 0).astype(float)
    g = (np.arange(N) % 13).astype(float).reshape(-1, 1)
    return y, X, g


Y, X, G = make_inputs()
Z = np.column_stack([X, np.zeros(N)])  # singular Hessian
XF = np.asfortranarray(X)
XR = np.ascontiguousarray(X[::-1])[::-1]
X_INT = X.astype(np.int64)
Y_INT = Y.astype(np.int64)
SHAPED_1 = Shaped((N,))
SHAPED_BAD = Shaped([N])
Y_LIST = Y.tolist()
G_LIST = G.tolist()
X_NAN = X.copy()
X_NAN[N // 2, 1] = np.nan
Y_MASKED = np.ma.masked_array(Y, mask=np.arange(N) == 3)
X_MASKED = np.ma.masked_array(X)
G_MASKED = np.ma.masked_array(G)
G_ONE = np.ones((N, 1))
G_EACH = np.arange(float(N)).reshape(-1, 1)


class Interrupted(Exception):
    pass


def leave_signal_pending(value):
    """Returns value with a SIGUSR1 pending: its handler raises Interrupted
    when the module next checks for signals."""
    os.kill(os.getpid(), signal.SIGUSR1)
    return value


class Pending:
    def __index__(self):
        return leave_signal_pending(50)

FAILING = [
    ("missing", (), {}, TypeError),
    ("too-many", (Y, X, 1, 1.0, True, G, 7), {}, TypeError),
    ("unexpected-kw", (Y, X), {"foo": 1}, TypeError),
    ("multiple", (Y, X), {"exog_py": X}, TypeError),
    ("exog-list", (Y, G_LIST), {}, TypeError),
    ("exog-1d", (Y, Y), {}, TypeError),
    ("exog-int", (Y, X_INT), {}, TypeError),
    ("max-iter-float", (Y, X), {"max_iter": 2.0}, TypeError),
    ("max-iter-negative", (Y, X), {"max_iter": -1}, OverflowError),
    ("tol-str", (Y, X), {"tol": "x"}, TypeError),
    ("robust-int", (Y, X), {"robust": 1}, TypeError),
    ("endog-list", (Y_LIST, X), {}, AttributeError),
    ("endog-shape-list", (SHAPED_BAD, X), {}, TypeError),
    ("endog-3d", (Y.reshape(-1, 1, 1), X), {}, ValueError),
    ("endog-n-by-2", (np.column_stack([Y, Y]), X), {}, ValueError),
    ("endog-int", (Y_INT, X), {}, TypeError),
    ("endog-fake", (SHAPED_1, X), {}, TypeError),
    ("exog-rows", (Y, X[:-1]), {}, ValueError),
    ("cluster-list", (Y, X), {"robust": True, "cluster_vars": G_LIST, "max_iter": 3}, TypeError),
    ("cluster-1d", (Y, X), {"robust": True, "cluster_vars": Y, "max_iter": 3}, TypeError),
    ("cluster-rows", (Y, X), {"robust": True, "cluster_vars": G[:-1], "max_iter": 3}, ValueError),
    ("cluster-rows-singular", (Y, Z), {"robust": True, "cluster_vars": G[:-1], "max_iter": 3}, ValueError),
    ("cluster-no-columns", (Y, X), {"robust": True, "cluster_vars": G[:, :0]}, ValueError),
    ("endog-values", (2 * Y, X), {}, ValueError),
    ("endog-column-values", ((2 * Y).reshape(-1, 1), X), {}, ValueError),
    ("exog-nan", (Y, X_NAN), {}, ValueError),
    ("endog-masked", (Y_MASKED, X), {}, TypeError),
    ("exog-masked", (Y, X_MASKED), {}, TypeError),
    ("cluster-masked", (Y, X), {"robust": True, "cluster_vars": G_MASKED}, TypeError),
]

SUCCEEDING = [
    ("nonrobust", (Y, X), {}),
    ("robust", (Y, X), {"robust": True}),
    ("cluster", (Y, X), {"robust": True, "cluster_vars": G}),
    ("cluster-each-row", (Y, X), {"robust": True, "cluster_vars": G_EACH}),
    ("fortran", (Y, XF), {}),
    ("reversed", (Y[::-1], XR), {}),
    ("endog-column", (Y.reshape(-1, 1), X), {}),
    ("singular", (Y, Z), {"robust": True, "cluster_vars": G, "max_iter": 3}),
    ("max-iter-0", (Y, X), {"max_iter": 0}),
    ("empty", (Y[:0], X[:0]), {}),
    ("no-columns", (Y, X[:, :0]), {}),
]


def objects_of(args, kwargs):
    return [a for a in list(args) + list(kwargs.values()) if not isinstance(a, (int, float, bool, str))]


def measure(call, objs):
    for _ in range(WARMUP):
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    # RSS counts what every thread of the process allocates (a Dask cluster
    # that an earlier test closed may still be winding down): noise grows
    # one round, a leak grows every round.
    for _ in range(3):
        before = rss()
        for _ in range(CALLS):
            call()
        gc.collect()
        if before is None or rss() - before < RSS_BOUND:
            break
    assert_rss_growth_below_bound(before)
    assert [sys.getrefcount(o) for o in objs] == refs


@pytest.mark.parametrize("name, args, kwargs, exc", FAILING, ids=[c[0] for c in FAILING])
def test_failing_path_leaks_nothing(capfd, name, args, kwargs, exc):
    def call():
        try:
            kestrum.fit_probit(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError("expected " + exc.__name__)

    measure(call, objects_of(args, kwargs))
    capfd.readouterr()


WARNING = [
    ("one-cluster", {"robust": True, "cluster_vars": G_ONE}, RuntimeWarning),
    ("clusters-ignored", {"cluster_vars": G}, UserWarning),
]


@pytest.mark.parametrize("action", ["ignore", "error"])
@pytest.mark.parametrize("name, kwargs, category", WARNING, ids=[c[0] for c in WARNING])
def test_warning_paths_leak_nothing(name, kwargs, category, action):
    def call():
        try:
            kestrum.fit_probit(Y, X, **kwargs)
        except category:
            assert action == "error"

    with warnings.catch_warnings():
        warnings.simplefilter(action, category)
        measure(call, objects_of((), kwargs))


@pytest.mark.parametrize("name, args, kwargs", SUCCEEDING, ids=[c[0] for c in SUCCEEDING])
def test_successful_path_leaks_nothing(capfd, name, args, kwargs):
    def call():
        r = kestrum.fit_probit(*args, **kwargs)
        m = r.model
        m.exog_names
        r.cov_params()
        r.params
        r.loglike
        r.iterations
        r.converged

    measure(call, objects_of(args, kwargs))
    capfd.readouterr()


def test_getters_do_not_leak_references():
    r = kestrum.fit_probit(Y, X, robust=True)
    params, cov = r.params, r.cov_params()
    exog, endog = r.model.exog, r.model.endog
    bases = [a.base for a in (params, cov, exog, endog)]
    tracked = [r, params, cov, exog, endog] + bases
    gc.collect()
    refs = [sys.getrefcount(o) for o in tracked]
    before = rss()
    for _ in range(20 * CALLS):
        r.params
        r.cov_params()
        m = r.model
        m.exog
        m.endog
        m.exog_names
        r.loglike
        r.iterations
        r.converged
    del m
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == refs
    assert_rss_growth_below_bound(before)


def test_results_release_their_arrays():
    r = kestrum.fit_probit(Y, X)
    exog = r.model.exog
    base = exog.base
    gc.collect()
    before = sys.getrefcount(base)
    # the results record and every model handed out hold the array; once they
    # are gone only our own references remain
    models = [r.model for _ in range(10)]
    del models, r
    gc.collect()
    assert sys.getrefcount(base) == before
    assert sys.getrefcount(exog) == 2  # the local name and the call argument


# ------------------------------------------------------------------ ame paths


class Raised(Exception):
    pass


def _raise():
    raise Raised


def fitted(params=None, cov=None, names=None, exog=None, drop=()):
    """A results-like object; `drop` names attributes it lacks."""
    names = [f"x{j}" for j in range(K)] if names is None else names
    model = types.SimpleNamespace(exog_names=names, exog=X if exog is None else exog)
    parts = {
        "params": RESULT.params if params is None else params,
        "cov_params": (lambda: RESULT.cov_params()) if cov is None else cov,
        "model": model,
    }
    return types.SimpleNamespace(**{k: v for k, v in parts.items() if k not in drop})


RESULT = kestrum.fit_probit(Y, X)
NAMED = fitted(names=["const"] + [f"v{j}" for j in range(1, K)])
LOGIT = sm.Logit(Y, X).fit(disp=0)
PROBIT_OFFSET = sm.Probit(Y, X, offset=np.zeros(N)).fit(disp=0)

AME_FAILING = [
    ("missing", (), {}, TypeError),
    ("too-many", (RESULT, 1, 2), {}, TypeError),
    ("chunk-negative", (RESULT,), {"chunk_size": -1}, OverflowError),
    ("chunk-float", (RESULT,), {"chunk_size": 2.5}, TypeError),
    ("chunk-zero", (RESULT,), {"chunk_size": 0}, ValueError),
    ("no-params", (fitted(drop=("params",)),), {}, AttributeError),
    ("params-list", (fitted(params=[0.0] * K),), {}, TypeError),
    ("params-int", (fitted(params=np.zeros(K, dtype=np.int64)),), {}, TypeError),
    ("cov-not-callable", (fitted(cov=np.eye(K)),), {}, TypeError),
    ("cov-raises", (fitted(cov=_raise),), {}, Raised),
    ("cov-1d", (fitted(cov=lambda: np.ones(K)),), {}, TypeError),
    ("names-str", (fitted(names="x0"),), {}, TypeError),
    ("names-int", (fitted(names=3),), {}, TypeError),
    ("names-item", (fitted(names=["x0", 1] + ["x"] * (K - 2)),), {}, TypeError),
    ("exog-int", (fitted(exog=X_INT),), {}, TypeError),
    ("names-short", (fitted(names=["x0"]),), {}, ValueError),
    ("names-long", (fitted(names=[f"x{j}" for j in range(K + 1)]),), {}, ValueError),
    ("cov-shape", (fitted(cov=lambda: np.eye(K + 1)),), {}, ValueError),
    ("params-short", (fitted(params=np.zeros(K - 1)),), {}, ValueError),
    ("logit", (LOGIT,), {}, TypeError),
    ("probit-offset", (PROBIT_OFFSET,), {}, TypeError),
]
AME_SUCCEEDING = [
    ("result", (RESULT,), {}),
    ("named", (NAMED,), {}),
    ("chunked", (RESULT,), {"chunk_size": 7}),
    ("fortran", (fitted(exog=XF),), {}),
    ("empty", (fitted(exog=X[:0]),), {}),
    ("nan-variance", (fitted(cov=lambda: np.full((K, K), np.nan)),), {}),
]


@pytest.mark.parametrize("name, args, kwargs, exc", AME_FAILING, ids=[c[0] for c in AME_FAILING])
def test_failing_ame_leaks_nothing(name, args, kwargs, exc):
    def call():
        with pytest.raises(exc):
            kestrum.ame(*args, **kwargs)

    measure(call, objects_of(args, kwargs))


@pytest.mark.parametrize("name, args, kwargs", AME_SUCCEEDING, ids=[c[0] for c in AME_SUCCEEDING])
def test_successful_ame_leaks_nothing(name, args, kwargs):
    measure(lambda: kestrum.ame(*args, **kwargs), objects_of(args, kwargs))



class PendingModel:
    exog = np.broadcast_to(X[0], (1 << 17, K))  # rows enough for the check between tiles, and no memory
    exog_names = property(lambda self: leave_signal_pending([f"x{j}" for j in range(K)]))


INTERRUPTED = {
    "fit": lambda: kestrum.fit_probit(Y, X, robust=True, cluster_vars=G, max_iter=Pending(), tol=0.0),
    "ame": lambda: kestrum.ame(types.SimpleNamespace(params=RESULT.params, cov_params=RESULT.cov_params,
                                                     model=PendingModel())),
}


@pytest.mark.parametrize("call", list(INTERRUPTED))
def test_interrupted_call_leaks_nothing(call):
    def interrupted():
        with pytest.raises(Interrupted):
            INTERRUPTED[call]()

    def handler(*_):
        raise Interrupted

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        measure(interrupted, [Y, X, G, RESULT])
    finally:
        signal.signal(signal.SIGUSR1, previous)
