"""Runs every public path of kestrum once, for scripts/check_memory.sh.

Fits (nonrobust, HC0, cluster; singular Hessian; no convergence), every kind
of failure of fit_probit and ame, their warnings (also as errors), a call
interrupted by a signal handler, ame on kestrum and statsmodels results, and
every getter of the result classes. Each call is checked for the outcome it
should have, so the memory checker sees the paths it is meant to see.
Kept short: under valgrind every instruction costs about fifty.
"""

import os
import signal
import sys
import warnings

import numpy as np
import pandas as pd
import statsmodels.api as sm

import kestrum

print("kestrum from", kestrum.__file__)

calls = 0


def expect(exc, f, *args, **kwargs):
    """f(*args, **kwargs) raises exc (by class, or by name for PanicException)."""
    global calls
    calls += 1
    try:
        f(*args, **kwargs)
    except BaseException as e:  # PanicException derives from BaseException
        ok = type(e).__name__ == exc if isinstance(exc, str) else isinstance(e, exc)
        if not ok:
            raise AssertionError(f"expected {exc}, got {type(e).__name__}: {e}") from e
        return e
    raise AssertionError(f"expected {exc}, got a result")


def ok(f, *args, **kwargs):
    global calls
    calls += 1
    return f(*args, **kwargs)


# ---------------------------------------------------------------- data

rng = np.random.default_rng(5)
N = 120
X = np.column_stack(
    [np.ones(N), rng.normal(size=N), (rng.random(N) < 0.4).astype(float), rng.normal(3.0, 2.0, N)]
)
y = (X @ [-0.2, 0.8, 0.5, 0.1] + rng.normal(size=N) > 0).astype(float)
G = (np.arange(N) % 9).astype(float).reshape(-1, 1)
Z = np.column_stack([X, X[:, 1]])  # collinear: singular Hessian


class Shaped:
    def __init__(self, shape):
        self.shape = shape


# ---------------------------------------------------------------- fits and getters

fits = {
    "nonrobust": ok(kestrum.fit_probit, y, X),
    "robust": ok(kestrum.fit_probit, y, X, robust=True),
    "cluster": ok(kestrum.fit_probit, y, X, robust=True, cluster_vars=G),
    "cluster-each-row": ok(kestrum.fit_probit, y, X, robust=True, cluster_vars=np.arange(N * 2.0).reshape(N, 2)),
    "fortran": ok(kestrum.fit_probit, y, np.asfortranarray(X)),
    "strided": ok(kestrum.fit_probit, y[::-1], X[::-1]),
    "endog-column": ok(kestrum.fit_probit, y.reshape(-1, 1), X, max_iter=50, tol=1e-8),
    "max-iter-0": ok(kestrum.fit_probit, y, X, max_iter=0),
    "singular": ok(kestrum.fit_probit, y, Z, robust=True, cluster_vars=G, max_iter=3),
    "empty": ok(kestrum.fit_probit, y[:0], X[:0]),
    "no-columns": ok(kestrum.fit_probit, y, X[:, :0]),
}
for name, r in fits.items():
    m = r.model
    values = (r.params, r.cov_params(), r.loglike, r.iterations, r.converged, m.endog, m.exog, m.exog_names)
    assert values[0].shape == (r.model.exog.shape[1],), name
    assert isinstance(values[4], bool), name
    expect(TypeError, type(r))  # no constructor
    expect(TypeError, type(m))
    expect(AttributeError, setattr, r, "params", 1)
    expect(AttributeError, setattr, m, "exog", 1)
assert fits["nonrobust"].converged and not fits["max-iter-0"].converged
assert np.isnan(fits["singular"].cov_params()).all()

# ---------------------------------------------------------------- fit_probit failures

Yi, Xi = y.astype(np.int64), X.astype(np.int64)
fit_failures = [
    (TypeError, (), {}),  # missing arguments
    (TypeError, (y, X, 1, 1.0, True, G, 7), {}),  # too many
    (TypeError, (y, X), {"foo": 1}),  # unexpected keyword
    (TypeError, (y, X), {"exog_py": X}),  # given twice
    (TypeError, (y, X.tolist()), {}),  # exog not an array
    (TypeError, (y, y), {}),  # exog 1-D
    (TypeError, (y, Xi), {}),  # exog int64
    (TypeError, (y, X), {"max_iter": 2.0}),
    (OverflowError, (y, X), {"max_iter": -1}),
    (OverflowError, (y, X), {"max_iter": 2**64}),
    (TypeError, (y, X), {"tol": "x"}),
    (TypeError, (y, X), {"robust": 1}),
    (AttributeError, (y.tolist(), X), {}),  # endog without shape
    (TypeError, (Shaped([N]), X), {}),  # shape not a tuple
    (ValueError, (y.reshape(-1, 1, 1), X), {}),
    (ValueError, (np.column_stack([y, y]), X), {}),
    (TypeError, (Yi, X), {}),
    (TypeError, (Shaped((N,)), X), {}),  # shape but not an array
    (ValueError, (y, X[:-1]), {}),  # rows differ
    (TypeError, (y, X), {"robust": True, "cluster_vars": G.tolist()}),
    (TypeError, (y, X), {"robust": True, "cluster_vars": y}),
    (ValueError, (y, X), {"robust": True, "cluster_vars": G[:-1]}),
    (ValueError, (y, X), {"robust": True, "cluster_vars": G[:, :0]}),
    (ValueError, (2 * y - 1, X), {}),  # outcomes not 0/1
    (ValueError, ((2 * y).reshape(-1, 1), X), {}),
    (ValueError, (y, np.where(X == X[7, 3], np.nan, X)), {}),  # exog not finite
    (TypeError, (np.ma.masked_array(y), X), {}),
    (TypeError, (y, np.ma.masked_array(X)), {}),
    (TypeError, (y, X), {"robust": True, "cluster_vars": np.ma.masked_array(G)}),
]
for exc, args, kwargs in fit_failures:
    expect(exc, kestrum.fit_probit, *args, **kwargs)

# ---------------------------------------------------------------- warnings and interrupts

G_ONE = np.ones((N, 1))
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    assert np.isnan(ok(kestrum.fit_probit, y, X, robust=True, cluster_vars=G_ONE).cov_params()).all()
    ok(kestrum.fit_probit, y, X, cluster_vars=G)
with warnings.catch_warnings():
    warnings.simplefilter("error")
    expect(RuntimeWarning, kestrum.fit_probit, y, X, robust=True, cluster_vars=G_ONE)
    expect(UserWarning, kestrum.fit_probit, y, X, cluster_vars=G)


class Interrupted(Exception):
    pass


def interrupt(*_):
    raise Interrupted


class Pending:
    """max_iter that leaves a SIGUSR1 pending as it is read: the fit's check between passes raises."""

    def __index__(self):
        os.kill(os.getpid(), signal.SIGUSR1)
        return 10**6


# Separated data: with tol=0 the likelihood keeps rising for many passes, so
# the signal arrives during the fit even where it is delivered late (valgrind).
x_separated = np.linspace(-2.0, 2.0, 2000)
X_separated = np.column_stack([np.ones_like(x_separated), x_separated])
y_separated = (x_separated > 0).astype(float)
previous_handler = signal.signal(signal.SIGUSR1, interrupt)
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    expect(Interrupted, kestrum.fit_probit, y_separated, X_separated, max_iter=Pending(), tol=0.0)
signal.signal(signal.SIGUSR1, previous_handler)

# ---------------------------------------------------------------- ame


class FakeModel:
    def __init__(self, exog, names):
        self.exog = exog
        self.exog_names = names


class Fake:
    def __init__(self, params, cov, exog, names):
        self.params = params
        self._cov = cov
        self.model = FakeModel(exog, names)

    def cov_params(self):
        return self._cov


class Boom(Exception):
    pass


class Raising(Fake):
    def cov_params(self):
        raise Boom("cov_params failed")


res = fits["nonrobust"]
table = ok(kestrum.ame, res)
assert isinstance(table, pd.DataFrame) and len(table) == 4
ok(kestrum.ame, fits["cluster"], chunk_size=7)
ok(kestrum.ame, fits["empty"], chunk_size=0)

names = ["const", "x", "d", "w"]
params, cov = res.params, res.cov_params()
good = Fake(params, cov, X, names)
assert len(ok(kestrum.ame, good)) == 3
ok(kestrum.ame, Fake(params, cov, np.asfortranarray(X), names), 5)
ok(kestrum.ame, Fake(params, cov, X[::-1], names), 1)

sm_res = sm.Probit(y, X).fit(disp=0)  # ndarray data: params is an ndarray
ok(kestrum.ame, sm_res)
sm_robust = sm.Probit(y, X).fit(disp=0, cov_type="HC0")
ok(kestrum.ame, sm_robust, chunk_size=50)
nan_se = ok(kestrum.ame, Fake(params, np.full_like(cov, np.nan), X, names))
assert np.isnan(nan_se["Std. Err"]).all()


def without(attr):
    obj = Fake(params, cov, X, names)
    if attr in ("exog", "exog_names"):
        delattr(obj.model, attr)
    else:
        delattr(obj, attr)
    return obj


no_cov = Fake(params, cov, X, names)
no_cov.cov_params = cov  # not callable
ame_failures = [
    (TypeError, (), {}),
    (TypeError, (good, 1, 2), {}),
    (TypeError, (good,), {"foo": 1}),
    (TypeError, (good,), {"probit_model": good}),
    (TypeError, (good,), {"chunk_size": 2.5}),
    (OverflowError, (good,), {"chunk_size": -1}),
    (OverflowError, (good,), {"chunk_size": 2**64}),
    (ValueError, (good,), {"chunk_size": 0}),
    (AttributeError, (None,), {}),
    (AttributeError, (without("params"),), {}),
    (AttributeError, (without("model"),), {}),
    (AttributeError, (without("exog"),), {}),
    (AttributeError, (without("exog_names"),), {}),
    (TypeError, (no_cov,), {}),
    (Boom, (Raising(params, cov, X, names),), {}),
    (TypeError, (Fake(params.tolist(), cov, X, names),), {}),
    (TypeError, (Fake(params.astype(np.float32), cov, X, names),), {}),
    (TypeError, (Fake(params, cov.astype(np.int64), X, names),), {}),
    (TypeError, (Fake(params, np.diag(cov).copy(), X, names),), {}),
    (TypeError, (Fake(params, cov, X[:, 0].copy(), names),), {}),
    (TypeError, (Fake(params, cov, pd.DataFrame(X), names),), {}),
    (TypeError, (Fake(params, cov, X, "abcd"),), {}),
    (TypeError, (Fake(params, cov, X, 42),), {}),
    (TypeError, (Fake(params, cov, X, ["const", 1, "d", "w"]),), {}),
    (ValueError, (Fake(params, cov, X, names[:3]),), {}),  # names shorter than k
    (ValueError, (Fake(params, cov, X, names + ["v"]),), {}),  # names longer than k
    (ValueError, (Fake(params, cov[:3, :3].copy(), X, names),), {}),
    (ValueError, (Fake(params[:3].copy(), cov, X, names),), {}),
    (TypeError, (sm.Logit(y, X).fit(disp=0),), {}),
    (TypeError, (sm.Probit(y, X, offset=np.zeros(N)).fit(disp=0),), {}),
]
for exc, args, kwargs in ame_failures:
    expect(exc, kestrum.ame, *args, **kwargs)

print(f"exercise_all: {calls} calls, all as expected")
sys.exit(0)
