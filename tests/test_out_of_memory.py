"""Running out of memory anywhere in a call gives MemoryError: never
PanicException, never an aborted process.

A child interpreter makes the i-th allocation of the call fail (through
CPython's _testcapi.set_nomemory), for every i until the call makes fewer
allocations than that, and reports the outcomes."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

testcapi = pytest.importorskip("_testcapi")
if not hasattr(testcapi, "set_nomemory"):
    pytest.skip("this interpreter cannot make allocations fail", allow_module_level=True)

CHILD = textwrap.dedent(
    """
    import collections, json, sys, types
    import numpy as np
    import pandas  # noqa: F401  (imported by ame; not part of the sweep)
    import _testcapi
    import kestrum

    rng = np.random.default_rng(0)
    X = np.column_stack([np.ones(50), rng.normal(size=50)])
    y = (X[:, 1] + rng.normal(size=50) > 0).astype(float)
    y2 = 2 * y
    g = (np.arange(50) % 5.0).reshape(-1, 1)
    short = types.SimpleNamespace(exog=X, exog_names=["a"])
    calls = {
        "fit": lambda: kestrum.fit_probit(y, X, robust=True, cluster_vars=g),
        "fit-refused": lambda: kestrum.fit_probit(y2, X),
        "fit-warning": lambda: kestrum.fit_probit(y, X, cluster_vars=g),
        "results": lambda: (lambda r: (r.model.exog_names, r.model.endog, r.params, r.cov_params(), r.loglike))(
            kestrum.fit_probit(y, X)),
        "ame": lambda: kestrum.ame(kestrum.fit_probit(y, X)),
        "ame-refused": lambda: kestrum.ame(types.SimpleNamespace(params=X[0], cov_params=lambda: np.eye(2),
                                                                 model=short)),
    }
    call = calls[sys.argv[1]]
    outcome = [None]

    def attempt(i):
        _testcapi.set_nomemory(i, i + 1)
        try:
            call()
            outcome[0] = "result"
        except BaseException as error:
            outcome[0] = error
        finally:
            _testcapi.remove_mem_hooks()

    seen = collections.Counter()
    clean = 0  # attempts in a row that met no MemoryError: past the call's last allocation
    for i in range(100000):
        attempt(i)
        error = outcome[0]
        kind = error if isinstance(error, str) else type(error).__name__
        if kind == "SystemError" and str(error) == "error return without exception set":
            kind = "interpreter"  # the caller's own frame could not record the exception
        seen[kind if kind in ("result", "MemoryError", "interpreter") else kind + ": " + str(error)] += 1
        clean = clean + 1 if kind != "MemoryError" else 0
        if clean == 50:
            break
    print(json.dumps(seen))
    """
)

EXPECTED = {
    "fit": "result",
    "fit-refused": "ValueError: endog must hold only 0 and 1: found 2.0 at row 0",
    "fit-warning": "result",
    "results": "result",
    "ame": "result",
    "ame-refused": "ValueError: model.exog_names has 1 names but model.exog has 2 columns",
}


@pytest.mark.parametrize("call", list(EXPECTED))
def test_every_failed_allocation_is_a_memory_error(call):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), PYTHONWARNINGS="ignore")
    proc = subprocess.run([sys.executable, "-c", CHILD, call], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    assert seen.get("MemoryError", 0) > 0
    assert set(seen) <= {EXPECTED[call], "MemoryError", "interpreter"}, seen
