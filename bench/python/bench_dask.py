"""quorin_data.dask on local clusters (threads_per_worker=1, worker
processes), each figure with the load average of the machine when it was
taken:

- the cost of one no-op partition (from_map of an empty frame, 2 workers),
  against the time of the same function called in the client;
- a CPU-bound indicator pass (wma per security) over 16 persisted
  partitions: 1 worker against 2 workers (fresh task keys on every run);
- the peak resident memory of a worker for 8 and for 32 partitions of about
  40 MiB (bars generated in the task, indicators, a sum), against the
  worker's memory limit.

Every time is the best of several runs after a warm-up run."""
import os
import sys
import time
import uuid

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import quorin_data.dask as qd
from quorin_data.dask._indicators import _grouped

MEMORY_LIMIT = 2 << 30


def load():
    return "load %.2f" % os.getloadavg()[0]


def best(fn, repeat=5):
    fn()  # warm-up
    t = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - start)
    return t


def cluster(n_workers, memory_limit=MEMORY_LIMIT):
    c = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                     dashboard_address=":0", memory_limit=memory_limit)
    client = Client(c)
    qd.connect(client)
    return c, client


def noop(i):
    return pd.DataFrame({"x": np.zeros(0)})


def bars(i, rows):
    """`rows` one-minute bars of security i (7 columns, 56 bytes a row
    besides the key texts)."""
    rng = np.random.default_rng(i)
    close = 100 + np.cumsum(rng.normal(0, 0.01, rows))
    spread = rng.random(rows) * 0.05
    return pd.DataFrame({"key": np.full(rows, f"s{i:04d}", dtype=object),
                         "datetime": pd.date_range("2020-01-01", periods=rows, freq="min", tz="UTC"),
                         "open": close, "high": close + spread, "low": close - spread, "close": close,
                         "volume": rng.integers(1, 1000, rows).astype(np.float64)})


BARS_META = bars(0, 0)


def bars_collection(n, rows):
    token = uuid.uuid4().hex  # fresh task keys
    ddf = dd.from_map(bars, range(n), args=(rows,), meta=BARS_META, label="bars", token=token)
    return qd.whole_groups(ddf, "key", assume=True)


def noop_overhead():
    c, client = cluster(2)
    try:
        n = 400
        run = lambda: dd.from_map(noop, range(n), meta=noop(0), token=uuid.uuid4().hex).compute()  # noqa: E731
        t = best(run) / n
        local = best(lambda: [noop(i) for i in range(n)]) / n
        print(f"no-op partition, 2 workers        {t * 1e3:8.2f} ms a partition   in the client {local * 1e3:6.3f} ms"
              f"   {load()}", flush=True)
    finally:
        client.close()
        c.close()


def scaling():
    rows, parts = 1_000_000, 16
    one = bars(0, rows)
    work = best(lambda: _grouped(one, {"w": ("wma", "close", {"length": 128})}, ("key",), "datetime"), repeat=3)
    print(f"wma of one partition in the client {work * 1e3:8.1f} ms   {load()}", flush=True)
    spec_of = lambda: {f"w_{uuid.uuid4().hex[:8]}": ("wma", "close", {"length": 128})}  # noqa: E731
    times = {}
    for n_workers in (1, 2):
        # Room for every persisted partition on one worker, so that none is spilled.
        c, client = cluster(n_workers, memory_limit=6 << 30)
        try:
            ddf = bars_collection(parts, rows).persist()
            distributed_wait(ddf)
            ddf = qd.whole_groups(ddf, "key", assume=True)
            run = lambda: qd.indicators(ddf, spec_of()).map_partitions(len).compute()  # noqa: E731
            times[n_workers] = best(run, repeat=3)
            print(f"wma pass, {parts} persisted partitions, {n_workers} worker(s) {times[n_workers] * 1e3:8.1f} ms"
                  f"   {load()}", flush=True)
        finally:
            client.close()
            c.close()
    print(f"1 worker / 2 workers              x{times[1] / times[2]:.2f}   {load()}", flush=True)


def distributed_wait(ddf):
    from distributed import wait
    wait(ddf)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def memory():
    rows = 750_000  # about 40 MiB a partition with its key texts
    c, client = cluster(2)
    try:
        size = bars(0, rows).memory_usage(deep=False).sum()  # the key column holds one shared text
        peaks = {}
        for parts in (8, 32, 8, 32):
            client.run(reset_peak)
            ddf = bars_collection(parts, rows)
            out = qd.indicators(ddf, {"sma_20": ("sma", "close", {"length": 20})})
            total = out["sma_20"].sum().compute()
            assert np.isfinite(total)
            peak = max(client.run(peak_rss).values())
            peaks[parts] = min(peaks.get(parts, peak), peak)
        for parts, peak in peaks.items():
            print(f"peak worker memory, {parts:2d} partitions of {size / 2**20:.0f} MiB  {peak / 2**20:8.0f} MiB"
                  f"   ({peak / MEMORY_LIMIT:.0%} of the {MEMORY_LIMIT >> 20} MiB limit)   {load()}", flush=True)
        print(f"peak 32 / peak 8                  x{peaks[32] / peaks[8]:.2f}   {load()}", flush=True)
    finally:
        client.close()
        c.close()


def main():
    dask.config.set({"distributed.worker.daemon": True, "logging.distributed": "error"})
    only = os.environ.get("QUORIN_BENCH_ONLY")
    for name, fn in (("noop", noop_overhead), ("scaling", scaling), ("memory", memory)):
        if only in (None, "", name):
            fn()


if __name__ == "__main__":
    sys.exit(main())
