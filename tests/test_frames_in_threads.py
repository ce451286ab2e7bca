"""The pool of threads that runs passes over frames in memory, and what importing the package costs."""

import os
import signal
import sys
import threading

import pytest

pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")

from kestrum_frames.progress import in_threads  # noqa: E402


def test_results_in_order_from_several_threads():
    barrier = threading.Barrier(2, timeout=30)  # two calls must run at once to pass it

    def call(i):
        if i < 2:
            barrier.wait()
        return i * i, threading.current_thread().name

    results = in_threads([lambda i=i: call(i) for i in range(6)])
    assert [value for value, _ in results] == [i * i for i in range(6)]
    assert all(name.startswith("kestrum_frames") for _, name in results)


def test_a_call_that_runs_passes_itself_does_not_wait_on_the_pool():
    """Every thread of the pool busy with a call that runs its own calls."""
    def outer(i):
        return sum(in_threads([lambda j=j: i * j for j in range(4)]))

    assert in_threads([lambda i=i: outer(i) for i in range(8)]) == [6 * i for i in range(8)]


def test_the_first_failure_in_order_is_raised():
    def fails(i):
        raise ValueError(f"partition {i}")

    with pytest.raises(ValueError, match="partition 1"):
        in_threads([lambda: 0, lambda: fails(1), lambda: fails(2)])


@pytest.mark.skipif(not hasattr(os, "fork") or sys.platform == "darwin", reason="fork")
def test_a_forked_child_gets_threads_of_its_own():
    in_threads([lambda i=i: i for i in range(8)])  # the parent's pool exists, its threads idle
    pid = os.fork()
    if pid == 0:  # the child: the parent's threads are gone; a wait on them ends by the alarm
        try:
            signal.alarm(20)
            os._exit(0 if in_threads([lambda: 1, lambda: 2]) == [1, 2] else 1)
        finally:
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_importing_the_package_leaves_dask_dataframe_and_scipy_stats_for_later():
    """A script fitting a pandas frame never pays for dask.dataframe's import
    (most of a second), nor for scipy.stats' before it asks for a test."""
    import subprocess

    code = ("import sys, kestrum_frames; "
            "print(sorted(m for m in ('dask.dataframe', 'scipy.stats') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=os.environ)
    assert out.stdout.strip() == "[]"
