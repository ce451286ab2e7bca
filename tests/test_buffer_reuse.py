"""Large buffers freed are reused by later fits: a result never sees memory
another result still owns, reused memory changes no bits, and repeated fits
hold no more than a couple of freed copies."""

import gc

import numpy as np
import pytest

import kestrum
from test_leaks import rss

K = 16
LARGE, SMALLER = 60_000, 40_000  # X of 7.7 MB and 5.1 MB: above the 4 MiB from which buffers are kept


def design(n, seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, K - 1))])
    y = (X @ rng.normal(size=K) * 0.3 + rng.normal(size=n) > 0).astype(float)
    return y, X


def summary(result):
    return result.params.copy(), result.cov_params().copy(), result.model.exog.copy(), result.model.endog.copy()


def assert_same(a, b):
    for x, y in zip(a, b):
        assert np.array_equal(x, y)


@pytest.mark.parametrize("sizes", [(LARGE, LARGE), (LARGE, SMALLER), (SMALLER, LARGE)])
def test_reused_memory_changes_no_bits(sizes):
    first, second = design(sizes[0], 1), design(sizes[1], 2)
    fresh = summary(kestrum.fit_probit(*first))
    kept = kestrum.fit_probit(*first)
    other = kestrum.fit_probit(*second)
    for _ in range(3):  # the blocks of dropped results go round
        assert_same(summary(kestrum.fit_probit(*first)), fresh)
        assert_same(summary(kestrum.fit_probit(*second)), summary(other))
    # Results alive all along still hold their own copies.
    assert_same(summary(kept), fresh)
    assert np.array_equal(other.model.exog, second[1]) and np.array_equal(kept.model.exog, first[1])


def test_repeated_fits_keep_at_most_two_freed_copies():
    y, X = design(LARGE, 3)
    kestrum.fit_probit(y, X)
    gc.collect()
    before = rss()
    if before is None:
        pytest.skip("no resident-memory reading here")
    for _ in range(20):
        kestrum.fit_probit(y, X)
    gc.collect()
    grown = rss() - before
    assert grown < 2 * (X.nbytes + y.nbytes), f"RSS grew by {grown / 2**20:.1f} MB"
