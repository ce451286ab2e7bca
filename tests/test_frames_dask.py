"""kestrum_frames on Dask DataFrames: kestrum's estimates from partitions
read where they live, the same bits on a cluster of worker processes as on
the local schedulers, out-of-core Parquet and the clustered sums through
Dask's groupby."""

import logging

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import kestrum  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

from conftest import FRAME_FORMULA, FRAME_REGRESSORS, assert_same_fit  # noqa: E402
from kestrum_frames import clusters, dask_data, strategy  # noqa: E402
from test_frames_agreement import COVARIANCES, named  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            yield client


def dask_frame(frame, npartitions=4):
    return dd.from_pandas(frame, npartitions=npartitions)


def all_numbers(result, table=None):
    """Every number of a fit (and of its marginal effects), for bitwise comparison."""
    numbers = [result.params.to_numpy(), result.cov_params().to_numpy().ravel(), [result.loglike]]
    if table is not None:
        numbers.append(table.iloc[:, :4].to_numpy(float).ravel())
    return np.concatenate(numbers)


@pytest.mark.parametrize("covariance", COVARIANCES)
def test_cluster_fit_and_ame_agree_with_kestrum(client, frame_design, covariance):
    frame, y, X, clusters = frame_design
    options, core_options = COVARIANCES[covariance]
    if "cluster" in options:
        core_options = dict(core_options, cluster_vars=clusters)
    reference = kestrum.fit_probit(y, X, **core_options)

    result = kf.fit_probit(FRAME_FORMULA, dask_frame(frame), **options)

    assert_same_fit(result, reference)
    assert result.loglike == pytest.approx(reference.loglike, rel=1e-12)
    assert (result.nobs, result.converged) == (len(y), reference.converged)
    table = kf.ame(result)
    expected = kestrum.ame(named(reference, X, ["Intercept", *FRAME_REGRESSORS]))
    np.testing.assert_allclose(table.iloc[:, :4].to_numpy(float), expected.iloc[:, :4].to_numpy(float), rtol=1e-10)


# Either iteration, whichever the persistence would choose: Newton's start
# reads the sample where the rows are (built from the frame or persisted).
@pytest.mark.parametrize("method", ["bfgs", "newton"])
@pytest.mark.parametrize("shuffled", [False, True])
@pytest.mark.parametrize("options", [{"robust": True}, {"cluster": ("g", "h")}])
def test_same_bits_on_every_scheduler(client, frame_design, monkeypatch, options, shuffled, method):
    options = dict(options, method=method)
    frame = frame_design[0]
    if shuffled:  # the cluster sums go through a shuffle into several partitions
        monkeypatch.setattr(dask_data, "CLIENT_SUMS_BYTES", 0)
        monkeypatch.setattr(dask_data, "SHUFFLE_CLUSTERS", 16)
    data = dask_frame(frame, npartitions=5)
    on_cluster = kf.fit_probit(FRAME_FORMULA, data, persist=False, **options)  # read anew every pass
    numbers = all_numbers(on_cluster, kf.ame(on_cluster))
    for scheduler in ["threads", "sync"]:
        with dask.config.set(scheduler=scheduler):
            local = kf.fit_probit(FRAME_FORMULA, data, persist=False, **options)
            assert np.array_equal(all_numbers(local, kf.ame(local)), numbers), scheduler
    for persist in [True, None]:  # kept on the workers from the start, or once counted
        persisted = kf.fit_probit(FRAME_FORMULA, data, persist=persist, **options)
        assert np.array_equal(all_numbers(persisted, kf.ame(persisted)), numbers), persist


@pytest.mark.parametrize("client_bytes, shuffle_clusters", [(1 << 30, 1 << 20), (0, 1 << 20), (0, 100)])
def test_one_cluster_per_row(client, frame_design, monkeypatch, client_bytes, shuffle_clusters):
    """A cluster per row: the grouping is then the HC0 meat, whether the
    partial sums are added on the client, by a tree or by a shuffle into
    several partitions."""
    frame, y, X, _ = frame_design
    monkeypatch.setattr(dask_data, "CLIENT_SUMS_BYTES", client_bytes)
    monkeypatch.setattr(dask_data, "SHUFFLE_CLUSTERS", shuffle_clusters)
    frame = frame.assign(row=np.arange(len(frame)) * 0.5 + 1e6)  # whole and half keys
    result = kf.fit_probit(FRAME_FORMULA, dask_frame(frame), cluster="row", vcov="CR0")
    assert result.n_clusters == len(frame)
    assert_same_fit(result, kestrum.fit_probit(y, X, robust=True))


def test_cluster_keys_follow_the_core_rule(client, frame_design):
    """Values that round alike to four decimals are one cluster, -0.0 is 0.0,
    and a text column clusters by its values."""
    frame, y, X, _ = frame_design
    codes = np.arange(len(frame)) % 7
    frame = frame.assign(near=np.where(codes == 0, -0.0, codes + 1e-6 * (np.arange(len(frame)) % 2)))
    frame = frame.assign(label=pd.Series(codes).map(lambda c: f"firm {c}").astype(object))
    reference = kestrum.fit_probit(y, X, robust=True, cluster_vars=codes.astype(float)[:, None])
    for column in ["near", "label"]:
        result = kf.fit_probit(FRAME_FORMULA, dask_frame(frame), cluster=column, vcov="CR0")
        assert result.n_clusters == 7
        assert_same_fit(result, reference)


def test_categories_must_be_known(client, frame_design):
    frame = frame_design[0].assign(region=lambda f: pd.Series(f["h"].map({0: "north", 1: "south", 2: "west"})))
    data = dask_frame(frame)
    with pytest.raises(ValueError, match=r"categorize\(columns=\['region'\]\)"):
        kf.fit_probit("y ~ C(region) + z", data)
    with pytest.raises(ValueError, match=r"categorize\(columns=\['h'\]\)"):
        kf.fit_probit("y ~ C(h) + z", data)
    with pytest.raises(ValueError, match="center"):
        kf.fit_probit("y ~ center(z)", data)
    result = kf.fit_probit("y ~ C(region) + z", data.categorize(columns=["region"]))
    expected = kf.fit_probit("y ~ C(region) + z", frame)
    assert result.params.index.tolist() == expected.params.index.tolist()
    assert_same_fit(result, expected)


def test_parquet_out_of_core_with_missing_rows(tmp_path, frame_design, caplog):
    """Files read anew on every pass: rows with a missing value are dropped
    and counted in the partitions, and each pass is logged."""
    frame = frame_design[0].copy()
    frame.loc[[5, 1500, 2999], "income"] = np.nan
    for part, rows in enumerate(np.array_split(np.arange(len(frame)), 3)):
        frame.iloc[rows].to_parquet(tmp_path / f"part{part}.parquet")
    with caplog.at_level(logging.INFO, logger="kestrum_frames"):
        result = kf.fit_probit(FRAME_FORMULA, dd.read_parquet(tmp_path), cluster="g", persist=False)
    # Newton's iteration, as for rows read anew every pass; the same partitions (999 rows each) in memory
    expected = kf.fit_probit(FRAME_FORMULA, frame, cluster="g", npartitions=3, method="newton")
    assert result.strategy == "newton"
    assert (result.nobs, result.n_dropped, result.n_clusters) == (expected.nobs, 3, expected.n_clusters)
    assert_same_fit(result, expected)
    passes = [record for record in caplog.records if "log-likelihood" in record.getMessage()]
    assert len(passes) == result.passes  # every pass of the iteration, and the summary
    assert f"{result.loglike:.10g}" in passes[-1].getMessage()


def test_bad_partition_names_it(frame_design):
    frame = frame_design[0].copy()
    frame.loc[2900, "y"] = 2.0
    with pytest.raises(ValueError, match=r"partition 3 of data: outcome 'y' must be 0 or 1: row \d+ \(index 2900\)"):
        kf.fit_probit(FRAME_FORMULA, dask_frame(frame))
    with pytest.raises(ValueError, match="npartitions"):
        kf.fit_probit(FRAME_FORMULA, dask_frame(frame), npartitions=2)


def test_verbose_shows_a_progress_bar_per_pass(frame_design, capsys):
    with dask.config.set(scheduler="threads"):
        result = kf.fit_probit(FRAME_FORMULA, dask_frame(frame_design[0]), verbose=True)
    bars = capsys.readouterr().out.count("100% Completed")
    assert bars == result.passes


@pytest.mark.parametrize("persist", [None, False])
def test_rows_are_kept_in_memory_when_they_fit(frame_design, persist):
    """Without a choice, the first pass counts the rows and, as they are few,
    they are built once more and kept: two reads of each partition in all."""
    frame = frame_design[0]
    reads = []
    data = dask_frame(frame).map_partitions(lambda part: reads.append(len(part)) or part, meta=frame.iloc[:0])
    with dask.config.set(scheduler="threads"):
        result = kf.fit_probit(FRAME_FORMULA, data, robust=True, persist=persist)
        kf.ame(result)
    expected = 2 if persist is None else result.passes + 1
    # Newton's start (persist=False), or telling whether the rows will be kept
    # (persist=None), reads the sample's partitions once more.
    sample = [len(part) for part in np.array_split(frame, data.npartitions)]
    sample = [sample[p] for p in strategy.sample_positions(data.npartitions)]
    assert len(reads) == expected * data.npartitions + len(sample)
    assert sum(reads) == expected * len(frame) + sum(sample)


# Every covariance option and weighting: on the same partitions, a Dask frame
# gives a pandas frame's numbers.
ROW_OPTIONS = {
    "expected HC0": {"information": "expected", "vcov": "HC0"},
    "frequency weights HC1": {"weights": "fw", "robust": True},
    "probability weights": {"weights": "pw", "weight_type": "probability"},
}
CLUSTER_OPTIONS = {
    "one-way CR1": {"cluster": "g"},
    "two-way CR1": {"cluster": ["g", "k"]},
    "probability two-way": {"cluster": ["g", "k"], "weights": "pw", "weight_type": "probability"},
    "frequency two-way": {"cluster": ["g", ("h", "k")], "weights": "fw"},
    "probability CR1": {"cluster": "g", "weights": "pw", "weight_type": "probability"},
    # Cells of one row: a panel (g, u), a row id, and cells of one row within
    # each partition that recur in another (v repeats every 750 rows).
    "panel two-way": {"cluster": ["g", "u"]},
    "probability panel two-way": {"cluster": ["g", "u"], "weights": "pw", "weight_type": "probability"},
    "row id two-way": {"cluster": ["g", "r"], "weights": "fw"},
    "rows recurring across partitions": {"cluster": ["v", "g"]},
}


def weighted_frame(frame):
    rng = np.random.default_rng(11)
    return frame.assign(fw=rng.integers(1, 4, len(frame)), pw=rng.uniform(0.2, 3.0, len(frame)),
                        k=rng.integers(0, 25, len(frame)), u=frame.groupby("g").cumcount(),
                        r=np.arange(len(frame)), v=np.arange(len(frame)) % 750)


@pytest.mark.parametrize("options", ROW_OPTIONS.values(), ids=ROW_OPTIONS.keys())
def test_row_options_give_pandas_bits(client, frame_design, options):
    frame = weighted_frame(frame_design[0])
    data = dask_frame(frame, npartitions=4)
    assert data.map_partitions(len).compute().tolist() == [750] * 4  # the pandas path's partitions
    on_dask = kf.fit_probit(FRAME_FORMULA, data, **options)
    in_memory = kf.fit_probit(FRAME_FORMULA, frame, npartitions=4, **options)
    assert np.array_equal(all_numbers(on_dask), all_numbers(in_memory))
    assert (on_dask.nobs, on_dask.cov_type, on_dask.llnull) == (in_memory.nobs, in_memory.cov_type, in_memory.llnull)
    other = {"vcov": "HC0"} if options.get("information") != "expected" else {"information": "observed"}
    assert np.array_equal(all_numbers(on_dask.with_vcov(**other)), all_numbers(in_memory.with_vcov(**other)))


@pytest.mark.filterwarnings("ignore:the multi-way cluster-robust covariance is not positive")
# In three pieces of (g, k)'s 1,315 cells, the sums of its 85 coarser
# clusters take under a quarter of the totals' room, so they are summed
# within the pieces; in pieces of 7 cells they are not.
@pytest.mark.parametrize("cells_per_piece", [None, 7, 500], ids=["one piece", "pieces of 7 cells", "pieces of 500"])
@pytest.mark.parametrize("options", CLUSTER_OPTIONS.values(), ids=CLUSTER_OPTIONS.keys())
def test_cluster_options_give_pandas_bits(client, frame_design, monkeypatch, options, cells_per_piece):
    """The partitions' cluster sums are numbered and added on the client in
    the pandas path's order (the pandas path totals the pieces of cells
    side by side from sorted parts, Dask in one sweep): every number equal,
    with its text clusters too."""
    if cells_per_piece is not None:
        monkeypatch.setattr(clusters, "CELLS_PER_PIECE", cells_per_piece)
    frame = weighted_frame(frame_design[0])
    frame = frame.assign(g=frame["g"].map(lambda code: f"firm {code}").astype(object))  # text keys on the client
    on_dask = kf.fit_probit(FRAME_FORMULA, dask_frame(frame, npartitions=4), **options)
    in_memory = kf.fit_probit(FRAME_FORMULA, frame, npartitions=4, **options)
    assert np.array_equal(all_numbers(on_dask), all_numbers(in_memory))
    assert (on_dask.nobs, on_dask.n_clusters, on_dask.cov_type) == (in_memory.nobs, in_memory.n_clusters,
                                                                     in_memory.cov_type)
    assert np.array_equal(on_dask.with_vcov(vcov="CR0").cov_params(), in_memory.with_vcov(vcov="CR0").cov_params())


@pytest.mark.filterwarnings("ignore:the multi-way cluster-robust covariance is not positive")
@pytest.mark.parametrize("options", CLUSTER_OPTIONS.values(), ids=CLUSTER_OPTIONS.keys())
def test_shuffled_cluster_sums_agree_with_pandas(client, frame_design, monkeypatch, options):
    """Cluster sums too many for the client are added by Dask's groupby in
    a shuffle, in another order: the same estimate, the covariance to rounding."""
    monkeypatch.setattr(dask_data, "CLIENT_SUMS_BYTES", 0)
    monkeypatch.setattr(dask_data, "SHUFFLE_CLUSTERS", 16)
    frame = weighted_frame(frame_design[0])
    on_dask = kf.fit_probit(FRAME_FORMULA, dask_frame(frame, npartitions=4), **options)
    in_memory = kf.fit_probit(FRAME_FORMULA, frame, npartitions=4, **options)
    assert np.array_equal(on_dask.params, in_memory.params) and on_dask.loglike == in_memory.loglike
    assert (on_dask.nobs, on_dask.n_clusters, on_dask.cov_type) == (in_memory.nobs, in_memory.n_clusters,
                                                                     in_memory.cov_type)
    np.testing.assert_allclose(on_dask.cov_params(), in_memory.cov_params(), rtol=1e-11, atol=0)


@pytest.mark.filterwarnings("ignore:the multi-way cluster-robust covariance is not positive")
@pytest.mark.parametrize("persist", [False, True])
def test_with_vcov_on_other_columns_gives_pandas_bits(client, frame_design, persist):
    """Cluster columns the fit did not read come from the partitions at the
    rows the fit used: the pandas with_vcov's numbers (on the same
    partitions), and a refit's, also where a row the fit drops lacks one."""
    frame = weighted_frame(frame_design[0])
    frame = frame.assign(label=frame["h"].map(lambda code: f"region {code}").astype(object))
    holed = frame.copy()
    holed.loc[[3, 900], "y"] = np.nan
    holed.loc[[3], "k"] = np.nan  # in a row the fit drops
    in_memory = kf.fit_probit(FRAME_FORMULA, frame, cluster="g", npartitions=4)
    on_dask = kf.fit_probit(FRAME_FORMULA, dask_frame(frame, npartitions=4), cluster="g", persist=persist,
                            method="bfgs")  # the pandas fit's iteration
    holed_fit = kf.fit_probit(FRAME_FORMULA, dask_frame(holed, npartitions=4), cluster="g", persist=persist,
                              method="bfgs")
    for target in [{"cluster": "k"}, {"cluster": ["k", "label"], "vcov": "CR0"}, {"cluster": ["g", ("k", "h")]}]:
        assert np.array_equal(all_numbers(on_dask.with_vcov(**target)), all_numbers(in_memory.with_vcov(**target)))
        other = holed_fit.with_vcov(**target)
        refit = kf.fit_probit(FRAME_FORMULA, dask_frame(holed, npartitions=4), method="bfgs",
                              **{"cluster": "g", **target})
        assert np.array_equal(other.cov_params(), refit.cov_params()) and other.n_clusters == refit.n_clusters
    holed.loc[800, "k"] = np.nan  # partition 1 holds rows 750 to 1499
    fitted = kf.fit_probit(FRAME_FORMULA, dask_frame(holed, npartitions=4), persist=persist)
    with pytest.raises(ValueError, match=r"cluster column 'k' has no value in row 50 \(index 800\) of partition 1"):
        fitted.with_vcov(cluster="k")
