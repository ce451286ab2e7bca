"""Ctrl-C during a long call: the call ends with KeyboardInterrupt soon after
the signal, not when its work is done."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import sys, time, types
    import numpy as np
    import kestrum

    rng = np.random.default_rng(0)
    if sys.argv[1] == "fit":
        X = np.column_stack([np.ones(2000), rng.normal(size=2000)])
        y = (X[:, 1] + rng.normal(size=2000) > 0).astype(float)
        call = lambda: kestrum.fit_probit(y, X, tol=0.0, max_iter=2**62, robust=True)
    else:
        X = np.broadcast_to(np.array([1.0, 0.5, 1.0]), (2**40, 3))  # hours of work, no memory
        model = types.SimpleNamespace(exog=X, exog_names=["a", "b", "c"])
        results = types.SimpleNamespace(params=np.array([0.1, 0.2, 0.3]), cov_params=lambda: np.eye(3), model=model)
        call = lambda: kestrum.ame(results, chunk_size=None if sys.argv[1] == "ame" else 1000)
    print("ready", flush=True)
    start = time.monotonic()
    try:
        call()
    except KeyboardInterrupt:
        print(f"interrupted after {time.monotonic() - start:.1f} s", flush=True)
    """
)

# Time the call runs before the signal, and the most the child may take after.
RUN_BEFORE_SIGNAL = 0.5
GRACE = 20.0


@pytest.mark.parametrize("call", ["fit", "ame", "ame-chunked"])
def test_ctrl_c_interrupts_a_long_call(call):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", CHILD, call], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "ready"
        try:
            child.wait(RUN_BEFORE_SIGNAL)
        except subprocess.TimeoutExpired:
            pass
        assert child.poll() is None, "the call ended before the signal: " + child.stderr.read()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=GRACE)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail(f"{call} went on running {GRACE:.0f} s after SIGINT")
    assert child.returncode == 0, err
    assert out.startswith("interrupted after "), out + err
