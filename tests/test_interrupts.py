"""Ctrl-C during a long call ends it with KeyboardInterrupt soon after the
signal, not when its work is done."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import sys, time, types, warnings
    import numpy as np, kestrum

    # separated data: with tol=0 the likelihood keeps rising for minutes
    x = np.linspace(-2, 2, 400_000)
    X = np.column_stack([np.ones_like(x), x])
    y = (x > 0) * 1.0
    Xb = np.broadcast_to(np.array([1.0, 0.5]), (2**40, 2))  # hours of work, no memory
    results = types.SimpleNamespace(params=np.array([0.1, 0.2]), cov_params=lambda: np.eye(2),
                                    model=types.SimpleNamespace(exog=Xb, exog_names=["a", "b"]))
    warnings.simplefilter("ignore")
    call = {"fit": lambda: kestrum.fit_probit(y, X, tol=0.0, max_iter=2**62, robust=True),
            "ame": lambda: kestrum.ame(results),
            "ame-chunked": lambda: kestrum.ame(results, chunk_size=1000)}[sys.argv[1]]
    print("ready", flush=True)
    try:
        call()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)

RUN_BEFORE_SIGNAL = 0.5  # seconds
GRACE = 20.0  # the most the child may run on after the signal


@pytest.mark.parametrize("call", ["fit", "ame", "ame-chunked"])
def test_ctrl_c_interrupts_a_long_call(call):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", CHILD, call], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        assert child.stdout.readline() == "ready\n"
        with pytest.raises(subprocess.TimeoutExpired):
            child.wait(RUN_BEFORE_SIGNAL)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=GRACE)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0 and out == "interrupted\n", out + err
