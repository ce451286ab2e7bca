"""Running out of memory anywhere in a call gives MemoryError: never
PanicException, never an aborted process. A child interpreter makes the i-th
allocation of the call fail (_testcapi.set_nomemory), for every i until the
call needs no more, and reports the outcomes.

Some CPython releases do not survive that harness themselves (3.13.0 dies on
a pure-Python call, 3.9 inside its warnings module). So a canary child first
runs the same loop over calls that do what the kestrum calls do around the
module (NumPy arrays, an exception raised and caught, a warning) without any
kestrum code; when the canary does not come back, the tests are skipped with
that reason, whatever the version."""

from __future__ import annotations

import functools
import json
import os
import subprocess
import sys
import textwrap

import pytest

if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
    pytest.skip("this interpreter cannot make allocations fail", allow_module_level=True)

# The loop of every child: the i-th allocation of call() fails, for every i
# until 50 attempts in a row need no more; prints the outcomes and their counts.
HARNESS = """
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

seen, clean = collections.Counter(), 0  # clean: attempts in a row without MemoryError
while clean < 50:
    attempt(sum(seen.values()))
    error = outcome[0]
    kind = error if isinstance(error, str) else type(error).__name__ + ": " + str(error)
    if kind == "SystemError: error return without exception set":
        kind = "interpreter"  # the caller's own frame could not record the exception
    seen["MemoryError" if kind.startswith("MemoryError") else kind] += 1
    clean = 0 if kind == "MemoryError" else clean + 1
print(json.dumps(seen))
"""

CANARY = textwrap.dedent(
    """
    import collections, json, sys, types, warnings
    import numpy as np, pandas, _testcapi

    X = np.column_stack([np.ones(50), np.linspace(-2, 2, 50)])
    fitted = types.SimpleNamespace(params=X[0], cov_params=lambda: np.eye(2), model=types.SimpleNamespace(exog=X))

    def refused():
        raise ValueError(f"endog must hold only 0 and 1: found {X[0, 1]!r} at row 0")

    call = {
        "plain": lambda: (lambda r: (r, r))(len("abc")),
        "arrays": lambda: (lambda r: (r.model.exog.shape, r.cov_params() @ r.params, X.T @ X))(fitted),
        "refused": refused,
        "warning": lambda: warnings.warn("cluster_vars forms a single cluster", RuntimeWarning),
    }[sys.argv[1]]
    """
) + HARNESS

CHILD = textwrap.dedent(
    """
    import collections, json, sys, types
    import numpy as np, pandas, _testcapi, kestrum

    X = np.column_stack([np.ones(50), np.linspace(-2, 2, 50)])
    y, y2, g = (np.arange(50) % 3 == 0) * 1.0, (np.arange(50) % 3 == 0) * 2.0, (np.arange(50) % 5.0)[:, None]
    short = types.SimpleNamespace(params=X[0], cov_params=lambda: np.eye(2), model=types.SimpleNamespace(exog=X, exog_names=["a"]))
    call = {
        "fit": lambda: kestrum.fit_probit(y, X, robust=True, cluster_vars=g),
        "fit-refused": lambda: kestrum.fit_probit(y2, X),
        "fit-warning": lambda: kestrum.fit_probit(y, X, cluster_vars=g),
        "results": lambda: (lambda r: (r.model.exog_names, r.model.endog, r.cov_params(), r.loglike))(kestrum.fit_probit(y, X)),
        "ame": lambda: kestrum.ame(kestrum.fit_probit(y, X)),
        "ame-refused": lambda: kestrum.ame(short),
    }[sys.argv[1]]
    """
) + HARNESS

EXPECTED = {
    "fit": "result",
    "fit-refused": "ValueError: endog must hold only 0 and 1: found 2.0 at row 0",
    "fit-warning": "result",
    "results": "result",
    "ame": "result",
    "ame-refused": "ValueError: model.exog_names has 1 names but model.exog has 2 columns",
}
# The canary calls that stand for each call: what it does besides kestrum's own code.
CANARIES = {call: ("plain", "arrays", "refused") for call in EXPECTED}
CANARIES["fit-warning"] += ("warning",)


def run_child(script: str, call: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), PYTHONWARNINGS="ignore")
    return subprocess.run([sys.executable, "-c", script, call], capture_output=True, text=True, env=env, timeout=300)


@functools.lru_cache(maxsize=None)
def canary_failure(canary: str) -> str | None:
    """Why this interpreter does not survive the harness on a canary call
    that runs no kestrum code, or None when it does."""
    proc = run_child(CANARY, canary)
    if proc.returncode != 0:
        return f"exit status {proc.returncode}"
    if "MemoryError" not in proc.stdout:
        return "no allocation was made to fail"
    return None


@pytest.mark.parametrize("call", list(EXPECTED))
def test_every_failed_allocation_is_a_memory_error(call):
    for canary in CANARIES[call]:
        failure = canary_failure(canary)
        if failure is not None:
            pytest.skip(
                f"CPython {sys.version.split()[0]} does not survive injected allocation failures in a call "
                f"without kestrum code (canary {canary!r}: {failure})"
            )
    proc = run_child(CHILD, call)
    assert proc.returncode == 0, proc.stderr[-2000:]
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    assert seen.get("MemoryError", 0) > 0
    assert set(seen) <= {EXPECTED[call], "MemoryError", "interpreter"}, seen
