"""quorin_data.dask on a real local cluster (two worker processes) and the
suite's S3 server: every collection computes what the single-machine calls
give, building with `meta` calls nothing in the client, and failures and
warnings on the workers reach the client."""
import gzip
import io
import os
import runpy
import time
import warnings

import numpy as np
import pandas as pd
import pytest

distributed = pytest.importorskip("distributed")

import quorin_data  # noqa: E402
import quorin_data.dask as qd  # noqa: E402
from quorin_data import _quorin  # noqa: E402
from quorin_data.dask import _indicators  # noqa: E402
from quorin_data.from_bqia import barwork, bqia, bql, querywork  # noqa: E402
from quorin_data.from_s3 import bucketry, snapshelf  # noqa: E402

SEC = {"spx": ("SPX Index", ""), "eur": ("EURUSD Curncy", "BGN")}
FUT = {"es1": ("ES", "Index", 5)}
SPAN = dict(start="2024-01-01", end="2024-12-31", tz="America/New_York")
WINDOW_ORDER = ["EVENT_NAME", "event_datetime", "key", "datetime"]
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=":0")
    c = distributed.Client(cluster)
    qd.connect(c, local_service=bql.sample_folder(), local_package=bqia.sample_folder())
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def single():
    """The single-machine road on the same stand-ins, in this process."""
    bq = bql.use_local_service(bql.sample_folder())
    bqia.use_local_package(bqia.sample_folder())
    bars = barwork.get_intraday_bars(SEC, FUT, **SPAN)
    cal = querywork.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone=SPAN["tz"])
    yield bars, cal
    _quorin.barwork.clear_provider()
    _quorin.barwork.reset()


class MissingEstimates(snapshelf.ECOEST):
    file_path = "economistEstimates/nowhere.parquet"


def canonical(frame, order=WINDOW_ORDER):
    return frame.sort_values(order, kind="stable").reset_index(drop=True)


def test_bars_indicators_windows_and_summary_equal_the_single_calls(client, single):
    bars, cal = single
    chunked = qd.intraday_bars(SEC, FUT, chunk="MS", **SPAN)
    whole = qd.intraday_bars(SEC, FUT, **SPAN)
    assert (chunked.npartitions, whole.npartitions) == (36, 3)
    pd.testing.assert_frame_equal(chunked.compute().reset_index(drop=True), bars)

    # Windowed indicators on month chunks equal the whole security's, bit for
    # bit (warm-ups reach across chunk boundaries, block sums stay aligned).
    spec = {"sma_20": ("sma", "close", {"length": 20}), "wma_7": ("wma", "close", {"length": 7}),
            "hma_9": ("hma", "close"), "cmf_5": ("cmf", ("high", "low", "close", "volume"), {"length": 5}),
            "sma_3_off": ("sma", "close", {"length": 3, "offset": 2}), "tp": ("hlc3", ("high", "low", "close"))}
    want = _indicators._grouped(bars, _indicators._check_spec(spec, list(bars.columns)), ("key",), "datetime")
    got = qd.indicators(chunked, spec).compute().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert got["sma_20"].notna().sum() > 1000
    rec = {"ema_5": ("ema", "close", {"length": 5}), "adosc": ("adosc", ("high", "low", "close", "volume"))}
    with pytest.raises(ValueError, match="'ema_5' \\(ema\\) is recursive"):
        qd.indicators(chunked, rec)
    with pytest.raises(ValueError, match="'m' \\(dema\\) is recursive"):
        qd.indicators(chunked, {"m": ("ma", "close", {"mode": "DEMA"})})
    want = _indicators._grouped(bars, _indicators._check_spec(rec, list(bars.columns)), ("key",), "datetime")
    pd.testing.assert_frame_equal(qd.indicators(whole, rec).compute().reset_index(drop=True), want)
    # Shuffled rows are sorted again by each computation.
    shuffled = qd.whole_groups(chunked, "key")
    by_time = ["key", "datetime"]
    pd.testing.assert_frame_equal(canonical(qd.indicators(shuffled, rec).compute(), by_time),
                                  canonical(want, by_time))
    with pytest.raises(ValueError, match="whole_groups"):
        qd.indicators(chunked[["key", "datetime", "close"]], {"s": ("sma", "close")})

    # Every window once, whatever chunk its release falls in; 2 days of
    # chunks put many windows across boundaries at midnight.
    w1 = barwork.filter_bars_around_events(bars, cal, -30, 90)
    for ddf in (chunked, whole, qd.intraday_bars(SEC, FUT, chunk=2, **SPAN)):
        pd.testing.assert_frame_equal(canonical(qd.filter_bars_around_events(ddf, cal, -30, 90).compute()), w1)
    windows = qd.filter_bars_around_events(chunked, cal)
    s1 = barwork.event_move_summary(barwork.filter_bars_around_events(bars, cal))
    s2 = qd.event_move_summary(windows, split_every=3)
    pd.testing.assert_frame_equal(s2[["key", "time_diff", "count"]], s1[["key", "time_diff", "count"]])
    np.testing.assert_allclose(s2[["mean_move", "mean_move_bp"]], s1[["mean_move", "mean_move_bp"]], rtol=1e-12)
    with pytest.raises(ValueError, match="may span partitions"):
        qd.event_move_summary(windows.repartition(npartitions=2))


def test_store_collections_equal_single_reads_and_errors_reach_the_client(client, s3, monkeypatch):
    b, p = s3["bucket"], s3["prefix"]
    keys = []
    for i in range(5):
        df = pd.DataFrame({"n": np.arange(i, i + 7), "x": np.linspace(0, 1, 7) * i, "t": [f"r{i}"] * 7})
        bucketry.write_to_s3(df, f"many/{i}.csv", "csv", index=False, bucket=b, prefix=p)
        keys.append(f"many/{i}.csv")
    parquet = []
    for name in sorted(os.listdir(os.path.join(bqia.sample_folder(), "bars")))[:3]:
        bucketry.write_to_s3(os.path.join(bqia.sample_folder(), "bars", name), f"pq/{name}", "local_file_path",
                             bucket=b, prefix=p)
        parquet.append(f"pq/{name}")

    def single(ks, fmt):
        return pd.concat([bucketry.read_from_s3(k, fmt, bucket=b, prefix=p) for k in ks])

    ddf = qd.read_from_s3_many(keys, "csv", bucket=b, prefix=p, objects_per_partition=2)
    assert ddf.npartitions == 3 and list(ddf.dtypes.astype(str)) == ["int64", "float64", "object"]
    pd.testing.assert_frame_equal(ddf.compute(), single(keys, "csv"))
    pd.testing.assert_frame_equal(qd.read_from_s3_many(parquet, "parquet", bucket=b, prefix=p).compute(),
                                  single(parquet, "parquet"))

    # With meta given, building calls neither the store nor the packages here.
    def refuse(*a, **k):
        raise AssertionError("called in the client")
    for mod, name in ((bucketry, "read_from_s3"), (_quorin.bucketry, "read_from_s3"),
                      (barwork, "get_intraday_bars"), (_quorin.barwork, "get_intraday_bars"),
                      (bucketry, "list_s3_objects"), (_quorin.bucketry, "list_s3_objects")):
        monkeypatch.setattr(mod, name, refuse)
    meta = {"n": "int64", "x": "float64", "t": "object"}
    built = qd.read_from_s3_many(keys + ["many/missing.csv"], "csv", bucket=b, prefix=p, meta=meta)
    bars_meta = pd.DataFrame({"security": [], "key": [], "close": []}).astype({"close": "float64"})
    qd.intraday_bars(SEC, FUT, chunk=30, meta=bars_meta, **SPAN)
    qd.splc_snapshots(["20190104"], meta=meta)
    monkeypatch.undo()
    with pytest.raises(quorin_data.StoreError) as e:
        built.compute()
    assert e.value.code == "NoSuchKey" and e.value.status == 404
    with pytest.raises(quorin_data.StoreError) as e:
        qd.read_from_s3_many(["many/missing.csv"], "csv", bucket=b, prefix=p)  # the meta read
    assert e.value.code == "NoSuchKey"
    with pytest.raises(ValueError, match="does not give tables"):
        qd.read_from_s3_many(keys, "bytesio", bucket=b, prefix=p)


def test_snapshot_collections_have_date_divisions(client, s3):
    folder, name = snapshelf.SPLC.folder_path, snapshelf.SPLC.dataset_names["competitor"]
    days = ["20190104", "20190111", "20190118"]
    for n, day in enumerate(days):
        rows = "ID_BB_GLOBAL,RELATIONSHIP,RELATED_FIGI,RELTNSHP_START_DT,RELTNSHP_END_DT\n" + "".join(
            f"BBG00{n}{i:05d},COMPETITOR,BBG00{i:06d},2018-0{1 + i % 9}-01,{'' if i % 3 else '2030-01-01'}\n"
            for i in range(20 + n))
        key = snapshelf.SPLC.file_path_func(name, day)
        bucketry.write_to_s3(io.BytesIO(gzip.compress(rows.encode())), key[len(folder) + 1:], "bytesio",
                             bucket=snapshelf.SPLC.bucket, prefix=folder)
    ddf = qd.splc_snapshots(["2019-01-11", "20190104", "20190118"], dataset="competitor")
    assert ddf.known_divisions and ddf.divisions == tuple(pd.Timestamp(d) for d in days + days[-1:])
    want = pd.concat([snapshelf.SPLC(as_of_date=d, dataset="competitor").data.set_axis(
        pd.DatetimeIndex([pd.Timestamp(d)] * (20 + i), name="snapshot_date")) for i, d in enumerate(days)])
    pd.testing.assert_frame_equal(ddf.compute(), want)
    assert len(ddf.loc["2019-01-11"].compute()) == 21
    with pytest.raises(AssertionError, match="^20190105 is not valid. Valid snapshot dates: "):
        qd.splc_snapshots(["20190105"], dataset="competitor", meta=ddf._meta).compute()
    with pytest.raises(ValueError, match="^`dataset`=suppliers is invalid"):
        qd.splc_snapshots(dataset="suppliers")
    # A missing estimates object: the store's answer, on the client.
    with pytest.raises(quorin_data.StoreError) as e:
        qd.ecoest_snapshots(cls=MissingEstimates)
    assert e.value.code == "NoSuchKey"
    # The whole suite's C++ tests leave an estimates history in this store.
    try:
        stored = snapshelf.ECOEST.get_distinct("dlSnapshotDate", snapshelf.ECOEST.bucket, snapshelf.ECOEST.file_path)
    except (quorin_data.StoreError, ValueError):
        return
    days = sorted({pd.Timestamp(d).strftime("%Y%m%d") for d in stored})
    ddf = qd.ecoest_snapshots()
    assert ddf.divisions == tuple(pd.Timestamp(d) for d in days + days[-1:])
    parts = [snapshelf.ECOEST(as_of_date=d).data for d in days]
    want = pd.concat([f.set_axis(pd.DatetimeIndex([pd.Timestamp(d)] * len(f), name="snapshot_date"))
                      for d, f in zip(days, parts)])
    pd.testing.assert_frame_equal(ddf.compute(), want)


def test_workers_are_prepared_checked_and_heard(client):
    # A warning raised on a worker is given again in the client.
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        client.submit(warnings.warn, "raised on a worker", RuntimeWarning, pure=False).result()
        deadline = time.monotonic() + 10
        while not any("raised on a worker" in str(w.message) for w in seen) and time.monotonic() < deadline:
            time.sleep(0.05)
    assert [w.category for w in seen if "raised on a worker" in str(w.message)] == [RuntimeWarning]
    # A worker of another build is refused.
    with pytest.raises(RuntimeError, match="install the same package on every worker"):
        client.register_worker_plugin(qd._cluster.QuorinWorkerSetup("0" * 16), name="quorin_data-check")
    client.unregister_worker_plugin("quorin_data-check")
    # Workers started again get the stand-ins again.
    client.restart()
    got = qd.intraday_bars({"spx": SEC["spx"]}, start="2024-01-01", end="2024-01-31", tz="UTC").compute()
    assert set(got["key"]) == {"spx"} and len(got) > 0
    # The example, on this cluster.
    example = runpy.run_path(os.path.join(HERE, "..", "..", "examples", "event_study_dask.py"))
    summary = example["main"](client.scheduler.address)
    assert set(summary["key"]) == {"spx", "eurusd", "ibm", "es1"} and (summary["count"] > 0).all()
