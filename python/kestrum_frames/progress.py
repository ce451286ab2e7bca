"""Running passes, and telling how a fit goes.

Every pass is one ``dask.compute``: over a Dask frame on whatever scheduler
is current (the default client of ``distributed`` when there is one), over
a frame in this process's memory on its threads. With ``verbose`` each pass shows Dask's own progress bar, and the
fit's log records (logger ``kestrum_frames``, level INFO) go to standard
error unless logging is configured already.
"""

from __future__ import annotations

import contextlib
import logging

import dask
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
