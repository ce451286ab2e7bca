"""Running passes, and telling how a fit goes.

A pass over a Dask frame is one ``dask.compute`` on whatever scheduler is
current (the default client of ``distributed`` when there is one). A pass
over a frame in this process's memory runs its partitions on a pool of this
process's threads (``in_threads``): handing a Dask graph a few tasks costs
a millisecond or two of the calling thread, which alone would be an eighth
of a fit of a million rows on two cores. With ``verbose`` each pass shows
Dask's own progress bar, and the fit's log records (logger
``kestrum_frames``, level INFO) go to standard error unless logging is
configured already.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import logging
import os
import threading

import dask
import dask.system
import dask.threaded

logger = logging.getLogger("kestrum_frames")


def current_client():
    """The distributed client that dask.compute would use, or None."""
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        client = default_client()
    except ValueError:  # no client
        return None
    return client if dask.base.get_scheduler() == client.get else None


def compute(tasks: list, verbose: bool, in_memory: bool = False) -> list:
    """The tasks' results, in order. Tasks over data held in this process
    (in_memory) run on its threads, never shipped to a cluster: the
    threaded scheduler is named by its function, since by its name Dask
    first imports ``distributed`` to look for a client, which takes longer
    than a fit of a million rows."""
    scheduler = dask.threaded.get if in_memory else None
    if not verbose:
        return list(dask.compute(*tasks, scheduler=scheduler))
    client = None if in_memory else current_client()
    if client is None:
        from dask.diagnostics import ProgressBar

        with ProgressBar():
            return list(dask.compute(*tasks, scheduler=scheduler))
    from distributed import progress

    futures = client.compute(tasks)
    progress(futures)
    return client.gather(futures)


# The cores this process may run on (its affinity and CPU quota): the
# threads of the in-memory passes and of the core's threaded sums.
THREADS = dask.system.CPU_COUNT

_pool = None
_pool_lock = threading.Lock()
_in_pool = threading.local()


def _mark_pool_thread() -> None:
    _in_pool.active = True


def _forget_pool() -> None:  # a forked child has none of the parent's threads
    global _pool
    _pool = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pool)


def _threads() -> concurrent.futures.ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = concurrent.futures.ThreadPoolExecutor(
                max_workers=THREADS, thread_name_prefix="kestrum_frames",
                initializer=_mark_pool_thread,
            )
        return _pool


def in_threads(calls: list, verbose: bool = False) -> list:
    """The results of calls (functions of no arguments) over data in this
    process's memory, in order, run side by side on its threads; with
    verbose, as one Dask computation showing its progress bar. Called from
    one of those threads, the calls run there one after another (a pool
    waiting on itself would never finish)."""
    if verbose:
        return compute([dask.delayed(call, pure=False)() for call in calls], True, in_memory=True)
    if len(calls) <= 1 or getattr(_in_pool, "active", False):
        return [call() for call in calls]
    futures = [_threads().submit(call) for call in calls]
    return [future.result() for future in futures]


@contextlib.contextmanager
def reporting(verbose: bool):
    """With verbose, the fit's INFO records reach standard error even when
    nothing has configured logging."""
    if not verbose or logger.hasHandlers():  # configured by the caller: left as it is
        yield
        return
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
