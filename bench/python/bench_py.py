"""Python-side speed, each against a baseline measured in the same run:
read_from_s3 of a 1,000,000-row csv.gz against pandas.read_csv of the same
bytes from memory (time and peak RSS), and write_to_s3 of that frame as csv
against df.to_csv(), and a "bytesio" read of the written text against one
copy of its bytes (QUORIN_BENCH_ONLY=read); a 2.3M-cell text column into
C++ and back (=crossing); filter_bars_around_events on 2.3M bars against the
pandas steps (=events); indicators
on 10,000,000-row Series against their pandas (or numpy) formulation, and wma
also against a streaming pass (a numpy copy: one read and one write of the
same data); the crossing (Series into C++ and back, as the indicators take and
return them) as a share of an indicator call. Prints one line per measurement
with its ratio. QUORIN_BENCH_ONLY=grouped runs only the per-group indicators:
sma, ema, wma and cmf by key over 2,000 securities x 390 one-minute bars
against pandas' own per-group formulation (with the key as text and as a
Categorical), the EMA of 16-bar event windows against the groupby-transform
form of examples/event_study.py before it used the grouped call, and one sma
call on 390 rows against Series.rolling(20).mean()."""
import gzip
import io
import os
import pickle
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from quorin_data._quorin import values as V
from quorin_data.from_s3 import bucketry
from quorin_data import ta
from quorin_data.ta import overlap, volume

N = 10_000_000
ROWS = 1_000_000


CPU = {}  # the process time of the last best() run of each function


def best(fn, repeat=5):
    """The shortest wall time of `repeat` runs (and, in CPU, the shortest
    process time: on a machine shared with other work it moves less). What
    a run returns is let go after its time is taken: freeing a result is not
    part of making it."""
    t = c = float("inf")
    for _ in range(repeat):
        start, cstart = time.perf_counter(), time.process_time()
        got = fn()
        t = min(t, time.perf_counter() - start)
        c = min(c, time.process_time() - cstart)
        del got
    CPU[fn] = c
    return t


def server_cpu():
    """The local S3 server's CPU time so far (s), or None when it is not
    known: it runs on the same two cores as the client, which pandas reading
    from memory does not pay for."""
    pid = os.environ.get("QUORIN_S3_SERVER_PID")
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    except (OSError, TypeError):
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def best_with_server(fn, repeat=5):
    """best(fn), and the server's mean CPU time a call over those runs."""
    c0 = server_cpu()
    t = best(fn, repeat)
    c1 = server_cpu()
    return t, None if c0 is None or c1 is None else (c1 - c0) / repeat


def server_line(what, cpu):
    if cpu is not None:
        print(f"{'  server CPU ' + what:<34} {cpu * 1e3:9.1f} ms   (on the same two cores)", flush=True)


def line(name, ours, base, base_name, ours_fn=None, base_fn=None):
    cpu = ""
    if ours_fn in CPU and base_fn in CPU:
        cpu = f"   cpu x{CPU[base_fn] / CPU[ours_fn]:6.2f}"
    print(f"{name:<34} {ours * 1e3:9.1f} ms   {base_name:<26} {base * 1e3:9.1f} ms   x{base / ours:6.2f}{cpu}",
          flush=True)


def snapshot_bytes():
    """A 1,000,000-row csv.gz: 3 text, 2 float, 1 int and 1 bool columns."""
    rng = np.random.default_rng(1)
    figi = np.array([f"BBG{n:09d}" for n in rng.integers(0, 10**9, 5000)], dtype=object)
    df = pd.DataFrame({
        "ID_BB_GLOBAL": figi[rng.integers(0, 5000, ROWS)],
        "RELATIONSHIP": np.where(rng.random(ROWS) < 0.5, "SUPPLIER", "CUSTOMER"),
        "RELATED_FIGI": figi[rng.integers(0, 5000, ROWS)],
        "REVENUE_PCT": rng.random(ROWS).round(4),
        "WEIGHT": rng.normal(0, 1, ROWS),
        "SOURCE_ID": rng.integers(0, 10**12, ROWS),
        "ACTIVE": rng.random(ROWS) < 0.7,
    })
    return gzip.compress(df.to_csv(index=False).encode(), compresslevel=6)


def child_peak_rss(code):
    """The peak RSS (MiB) of a fresh interpreter that imports pandas and
    quorin_data and then runs `code` (both sides of a comparison pay the
    same imports)."""
    # VmHWM, not ru_maxrss: the latter keeps the parent's peak across exec.
    prog = ("import io\nimport pandas as pd\nfrom quorin_data.from_s3 import bucketry\n" + code +
            "\nprint([int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmHWM')][0] / 1024)\n")
    out = subprocess.run([sys.executable, "-c", prog], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[-1])


def bench_read():
    if os.environ.get("QUORIN_TEST_S3") != "1":
        print("read_from_s3 / write_to_s3: skipped (needs the local S3 server)")
        return
    raw = snapshot_bytes()
    bucketry.write_to_s3(io.BytesIO(raw), "bench/snapshot.csv.gz", "bytesio", bucket="quorin-demo", prefix="py")
    ours_fn = lambda: bucketry.read_from_s3("bench/snapshot.csv.gz", "csv.gz", bucket="quorin-demo",  # noqa: E731
                                            prefix="py")
    base_fn = lambda: pd.read_csv(io.BytesIO(raw), compression="gzip")  # noqa: E731
    ours_fn(), base_fn()  # warm up (first touch of fresh memory)
    (ours, srv), base = best_with_server(ours_fn), best(base_fn)
    # The CPU ratio counts the inflating read-ahead thread as well.
    line("read_from_s3 csv.gz", ours, base, "pandas.read_csv (memory)", ours_fn, base_fn)
    server_line("a read", srv)
    with tempfile.NamedTemporaryFile(suffix=".csv.gz") as f:
        f.write(raw)
        f.flush()
        ours_rss = child_peak_rss('bucketry.read_from_s3("bench/snapshot.csv.gz", "csv.gz", '
                                  'bucket="quorin-demo", prefix="py")')
        base_rss = child_peak_rss(f'raw = open("{f.name}", "rb").read()\n'
                                  'pd.read_csv(io.BytesIO(raw), compression="gzip")')
    print(f"{'read_from_s3 csv.gz peak RSS':<34} {ours_rss:9.1f} MiB  {'pandas.read_csv (memory)':<26} "
          f"{base_rss:9.1f} MiB  x{base_rss / ours_rss:6.2f}", flush=True)

    df = base_fn()
    ours_fn = lambda: bucketry.write_to_s3(df, "bench/out.csv", "csv", bucket="quorin-demo",  # noqa: E731
                                           prefix="py")
    base_fn = lambda: df.to_csv()  # noqa: E731
    ours_fn(), base_fn()
    (ours, srv), base = best_with_server(ours_fn), best(base_fn, 3)
    line("write_to_s3 csv (with the put)", ours, base, "df.to_csv() into memory", ours_fn, base_fn)
    server_line("a write", srv)
    # The put of the same bytes on its own: what the store takes, whatever
    # made the text. The write sends parts while it encodes, so its time
    # over the put is what the crossing and encoding add beyond the overlap.
    body = bucketry.read_from_s3("bench/out.csv", "bytesio", bucket="quorin-demo", prefix="py").getvalue()
    put_fn = lambda: bucketry.write_to_s3(io.BytesIO(body), "bench/put.csv", "bytesio",  # noqa: E731
                                          bucket="quorin-demo", prefix="py")
    put_fn()
    put = best(put_fn)
    print(f"{'  of which the put of its bytes':<34} {put * 1e3:9.1f} ms   ({len(body) / 2**20:.1f} MiB)", flush=True)
    print(f"{'  write over the put alone':<34} {(ours - put) * 1e3:9.1f} ms", flush=True)
    # A whole object into Python, against one copy of the same bytes into
    # fresh memory (what the bytes cost once they are here).
    get_fn = lambda: bucketry.read_from_s3("bench/out.csv", "bytesio", bucket="quorin-demo",  # noqa: E731
                                           prefix="py")
    copy_fn = lambda: body[1:]  # noqa: E731
    get_fn(), copy_fn()
    (got, srv), copied = best_with_server(get_fn), best(copy_fn)
    line('read_from_s3 "bytesio"', got, copied, "a copy of its bytes", get_fn, copy_fn)
    server_line("a read", srv)
    bucketry.delete_s3_folder("bench/", bucket="quorin-demo", prefix="py")


def bench_crossing():
    """A text column of 2.3M object cells each way: 2,000 distinct texts of
    18 bytes as repeated objects (as frames carry keys), as distinct objects
    with repeated texts, and all distinct; against a numpy copy of the
    object array (one pass over the pointers) and against pickle.loads of
    the same texts (the interpreter making one str a cell)."""
    n = 2_300_000
    rng = np.random.default_rng(5)
    pool = np.array([f"SEC{i:06d}.EQUITYUS" for i in range(2000)], dtype=object)
    repeated = pool[rng.integers(0, 2000, n)]
    shapes = [("2,000 texts, repeated objects", repeated),
              ("2,000 texts, distinct objects", np.array(["".join(x) for x in repeated], dtype=object)),
              ("all texts distinct", np.array([f"UNIQ{i:014d}" for i in range(n)], dtype=object))]
    copy_fn = lambda: repeated.copy()  # noqa: E731
    copy_fn()
    copy = best(copy_fn)
    print(f"crossing: {n:,} text cells, numpy object copy {copy / n * 1e9:.1f} ns a cell, "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)
    for name, cells in shapes:
        df = pd.DataFrame({"t": cells})
        held = V.hold_frame(df)
        V.release_frame(held)
        into = best(lambda: V.hold_frame(df))
        back = best(lambda: V.release_frame(held))
        # What the interpreter's own C loop takes to make these strs (one a
        # cell, as pickle.loads makes them): the floor of a Frame to
        # DataFrame whose texts are all distinct.
        blob = pickle.dumps(list(cells), protocol=5)
        make_fn = lambda: pickle.loads(blob)  # noqa: E731
        make_fn()
        make = best(make_fn)
        print(f"  {name:<32} DataFrame to Frame {into / n * 1e9:5.1f} ns   Frame to DataFrame "
              f"{back / n * 1e9:5.1f} ns a cell   (x{into / copy:4.1f}, x{back / copy:4.1f} the copy; "
              f"pickle.loads {make / n * 1e9:5.1f} ns, x{make / back:4.2f})", flush=True)
        del held, blob


def bench_event_bars():
    """filter_bars_around_events from Python on 2,320,000 bars (8 keys, object
    security and key columns) and 821 events, against the same steps written
    with pandas (bench/pandas_event_bars.py)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    from pandas_event_bars import filter_bars_around_events as pandas_steps
    from quorin_data.from_bqia import barwork

    rng = np.random.default_rng(3)
    keys, minutes, events = 8, 290_000, 821
    zone = "America/New_York"
    t0 = pd.Timestamp("2024-01-01", tz=zone)
    close = 100 + rng.normal(0, 0.05, keys * minutes).cumsum()
    bars = pd.DataFrame({
        "security": np.repeat(np.array([f"BBG00BENCH{k:02d}" for k in range(keys)], dtype=object), minutes),
        "key": np.repeat(np.array([f"sec{k}" for k in range(keys)], dtype=object), minutes),
        "datetime": t0 + pd.to_timedelta(np.tile(np.arange(minutes), keys), unit="min"),
        "open": close, "high": close + 0.01, "low": close - 0.01, "close": close,
        "volume": rng.integers(100, 1000, keys * minutes).astype(float)})
    kinds = rng.integers(0, 10, events)
    when = (t0 + pd.to_timedelta(rng.integers(10, minutes - 20, events), unit="min")
            + pd.to_timedelta(np.where(np.arange(events) % 4 == 0, 45, 0), unit="s"))
    cal = pd.DataFrame({"EVENT_NAME": [f"Event kind {k}" for k in kinds], "ACTUAL": rng.random(events),
                        "SURPRISE": rng.random(events) - 0.5, "event_datetime": when},
                       index=pd.Index([f"EVT{k} Index" for k in kinds], name="ID"))
    ours_fn = lambda: barwork.filter_bars_around_events(bars, cal)  # noqa: E731
    base_fn = lambda: pandas_steps(bars, cal)  # noqa: E731
    a, b = ours_fn(), base_fn()
    if len(a) != len(b) or list(a.columns) != list(b.columns):
        raise SystemExit("filter_bars_around_events and the pandas steps disagree")
    ours, base = best(ours_fn), best(base_fn, 3)
    line(f"filter_bars_around_events ({len(bars):,})", ours, base, "pandas steps", ours_fn, base_fn)


def bench_ta():
    rng = np.random.default_rng(2)
    c = pd.Series(100 + rng.normal(0, 0.1, N).cumsum())
    h = c + rng.random(N)
    low = c - rng.random(N)
    v = pd.Series(rng.integers(1000, 6000, N).astype(np.float64))

    def pandas_cmf():
        clv = ((c - low) - (h - c)) / (h - low)
        return (clv * v).rolling(20).sum() / v.rolling(20).sum()

    tp = (h + low + c) / 3.0
    cases = [
        ("sma", lambda: overlap.sma(c), lambda: c.rolling(10).mean(), "pandas rolling mean"),
        ("vwap", lambda: overlap.vwap(h, low, c, v), lambda: (tp * v).cumsum() / v.cumsum(),
         "pandas cumsum"),
        ("obv", lambda: volume.obv(c, v), lambda: (np.sign(c.diff()).fillna(1) * v).cumsum(),
         "pandas cumsum"),
        ("cmf", lambda: volume.cmf(h, low, c, v), pandas_cmf, "pandas rolling sums"),
        ("ema", lambda: overlap.ema(c, 10, sma=False), lambda: c.ewm(span=10, adjust=False).mean(),
         "pandas ewm"),
        ("wma(10)", lambda: overlap.wma(c, 10),
         lambda: np.convolve(c.to_numpy(), np.arange(10, 0, -1.0) / 55.0, "valid"), "numpy convolve"),
    ]
    times = {}
    for name, ours, base, base_name in cases:
        t = best(ours)
        times[name] = t
        line(name, t, best(base), base_name, ours, base)
    stream = lambda: c.to_numpy().copy()  # noqa: E731
    line("wma(10) vs a streaming pass", times["wma(10)"], best(stream), "numpy copy (read+write)",
         cases[-1][1], stream)

    def crossing():
        # The indicator path with a copy for the computation, less the copy.
        start = time.perf_counter()
        _, copy_seconds = V.indicator_roundtrip(c)
        return time.perf_counter() - start - copy_seconds

    cross = min(crossing() for _ in range(5))
    print(f"{'crossing (Series in and out)':<34} {cross * 1e3:9.1f} ms   "
          f"share of the sma call {cross / times['sma'] * 100:5.1f} %", flush=True)


def bench_grouped():
    rng = np.random.default_rng(4)
    secs, rows = 2000, 390
    n = secs * rows
    close = 100 + rng.normal(size=n).cumsum()
    df = pd.DataFrame({
        "key": np.repeat(np.array([f"SEC{i:04d} US Equity" for i in range(secs)], dtype=object), rows),
        "close": close, "high": close + rng.random(n), "low": close - rng.random(n),
        "volume": rng.integers(1, 1000, n).astype(float)})
    print(f"grouped: {secs} securities x {rows} rows, load average {os.getloadavg()[0]:.2f}", flush=True)
    w = np.arange(1, 21, dtype=float)

    for keys in ("text", "categorical"):
        d = df if keys == "text" else df.astype({"key": "category"})
        g = d.groupby("key", sort=False, observed=True)
        cases = {
            "sma": (("sma", "close", {"length": 20}), lambda: g["close"].rolling(20).mean(),
                    "groupby().rolling().mean()", 5),
            "ema": (("ema", "close", {"length": 20}), lambda: g["close"].ewm(span=20, adjust=False).mean(),
                    "groupby().ewm().mean()", 5),
            "wma": (("wma", "close", {"length": 20}),
                    lambda: g["close"].rolling(20).apply(lambda x: x @ w / w.sum(), raw=True),
                    "groupby().rolling().apply()", 2),
            "cmf": (("cmf", ("high", "low", "close", "volume"), {"length": 20}), None,
                    "groupby().rolling().sum() x2", 5),
        }

        def pandas_cmf():
            hl = (d["high"] - d["low"]).replace(0, np.finfo(float).eps)
            mf = ((d["close"] - d["low"]) - (d["high"] - d["close"])) / hl * d["volume"]
            return (mf.groupby(d["key"], sort=False, observed=True).rolling(20).sum()
                    / d["volume"].groupby(d["key"], sort=False, observed=True).rolling(20).sum())

        for name, (entry, base_fn, base_name, repeat) in cases.items():
            base_fn = base_fn or pandas_cmf
            ours_fn = lambda: ta.grouped(d, {"r": entry}, by="key")  # noqa: E731
            ours_fn(), base_fn()  # warm up (first touch of fresh memory)
            ours, base = best(ours_fn), best(base_fn, repeat)
            line(f"grouped {name} ({keys} key)", ours, base, base_name, ours_fn, base_fn)

    # Event windows of 16 bars: 2,000 releases x 3 securities.
    events, keys = 2000, ["spx", "eurusd", "es1"]
    m = events * len(keys) * 16
    when = pd.Timestamp("2024-01-05 08:30", tz="America/New_York") + pd.to_timedelta(
        np.repeat(np.arange(events), 16 * len(keys)), unit="D")
    windows = pd.DataFrame({
        "EVENT_NAME": np.repeat(np.array(["CPI", "NFP"], dtype=object)[np.arange(events) % 2], 16 * len(keys)),
        "event_datetime": when,
        "key": np.tile(np.repeat(np.array(keys, dtype=object), 16), events),
        "time_diff": np.tile(np.arange(-5, 11), events * len(keys)),
        "close": 100 + rng.normal(size=m).cumsum()})
    by = ["EVENT_NAME", "event_datetime", "key"]
    ours_fn = lambda: ta.grouped(windows, {"ema_3": ("ema", "close", {"length": 3, "sma": False})},  # noqa: E731
                                 by=by, order="time_diff")
    base_fn = lambda: windows.groupby(by, sort=False)["close"].transform(  # noqa: E731
        lambda c: overlap.ema(c.reset_index(drop=True), 3, sma=False).to_numpy())
    ours_fn(), base_fn()
    ours, base = best(ours_fn), best(base_fn, 3)
    line(f"event-window ema ({m // 16} windows)", ours, base, "groupby().transform(ema)", ours_fn, base_fn)

    # One call on 390 rows.
    s = pd.Series(close[:rows], name="close")
    loops = 2000

    def many(fn):
        return lambda: [fn() for _ in range(loops)]

    ours_fn, base_fn = many(lambda: overlap.sma(s, 20)), many(lambda: s.rolling(20).mean())
    ours_fn(), base_fn()
    ours, base = best(ours_fn) / loops, best(base_fn) / loops
    print(f"{'one sma call, 390 rows':<34} {ours * 1e6:9.1f} us   {'Series.rolling(20).mean()':<26} "
          f"{base * 1e6:9.1f} us   x{base / ours:6.2f}", flush=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}", flush=True)


if __name__ == "__main__":
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}, numpy {np.__version__}")
    only = os.environ.get("QUORIN_BENCH_ONLY", "")
    print(f"load average {os.getloadavg()[0]:.2f}", flush=True)
    if only in ("", "read"):
        bench_read()
    if only in ("", "crossing"):
        bench_crossing()
    if only in ("", "events"):
        bench_event_bars()
    if only in ("", "ta"):
        bench_ta()
    if only in ("", "grouped"):
        bench_grouped()
