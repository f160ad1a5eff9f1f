"""Collections over the package's readers: objects of the store, intraday
bars by security and date chunk, supply-chain and economist-estimates
snapshots. Every partition is one ordinary call of the package on a worker;
building a collection whose `meta` is given calls nothing."""
import dask
import dask.dataframe as dd
import pandas as pd
from dask.dataframe.utils import make_meta

from quorin_data.from_s3 import bucketry

from ._layout import remember

_FRAME_FORMATS = ("pickle", "csv", "csv.gz", "xlsx", "parquet")


def on_cluster(fn, *args):
    """fn(*args) run once through the current scheduler (a worker when a
    distributed client is current), for what a graph needs to know before
    it is built."""
    return dask.delayed(fn, pure=False)(*args).compute()


def _empty_like(frame):
    return frame.iloc[:0]


def _meta_of(meta, probe, *args):
    if meta is not None:
        return make_meta(meta)
    return make_meta(on_cluster(probe, *args))


# --- objects of the store --------------------------------------------------

def _read_objects(keys, data_format, bucket, prefix, by_chunks, chunksize, allow_python_pickle):
    frames = []
    for key in keys:
        value = bucketry.read_from_s3(key, data_format, bucket, prefix, by_chunks, chunksize,
                                      allow_python_pickle=allow_python_pickle)
        if not isinstance(value, pd.DataFrame):
            raise TypeError(f"object {key!r} holds a {type(value).__name__}, not a DataFrame")
        frames.append(value)
    return frames[0] if len(frames) == 1 else pd.concat(frames)


def _probe_objects(keys, *args):
    return _empty_like(_read_objects(keys, *args))


def read_from_s3_many(keys, data_format, bucket=bucketry.BUCKET, prefix=bucketry.PREFIX, *, meta=None,
                      objects_per_partition=1, by_chunks=False, chunksize=100000, allow_python_pickle=False):
    """The objects `keys`, each read by read_from_s3 (same arguments), as one
    Dask DataFrame: one partition per object, or per `objects_per_partition`
    consecutive objects (for small ones). Its compute() equals
    pd.concat of the single reads in key order (each object keeps its own
    row labels). `meta` (an empty frame, or a {column: dtype} map) gives
    the columns; without it the first object is read once, on a worker, to
    learn them."""
    if isinstance(keys, str):
        raise TypeError("Argument 'keys' has incorrect type (expected list, got str)")
    keys = list(keys)
    if data_format not in _FRAME_FORMATS:
        raise ValueError(f"data_format {data_format!r} does not give tables: use one of "
                         + ", ".join(_FRAME_FORMATS))
    n = int(objects_per_partition)
    if n < 1:
        raise ValueError("objects_per_partition must be at least 1")
    if not keys:
        raise ValueError("no keys to read")
    groups = [tuple(keys[i:i + n]) for i in range(0, len(keys), n)]
    args = (data_format, bucket, prefix, bool(by_chunks), int(chunksize), bool(allow_python_pickle))
    meta = _meta_of(meta, _probe_objects, groups[0][:1], *args)
    return dd.from_map(_read_objects, groups, args=args, meta=meta, label="read-from-s3")


# --- intraday bars -------------------------------------------------------------

def date_chunks(start, end, chunk):
    """[start, end] cut into inclusive (first, last) "yyyy-mm-dd" ranges:
    `chunk` days each (an int), or at the dates of a pandas frequency such
    as "MS"; None keeps the whole range."""
    if chunk is None:
        return [(start, end)]
    first, last = pd.Timestamp(start), pd.Timestamp(end)
    if first > last:
        return [(start, end)]
    if isinstance(chunk, bool) or not isinstance(chunk, (int, str, pd.DateOffset)):
        raise TypeError(f"Argument 'chunk' has incorrect type (expected int or str, got {type(chunk).__name__})")
    if isinstance(chunk, int):
        if chunk < 1:
            raise ValueError("chunk must be at least 1 day")
        cuts = pd.date_range(first, last, freq=f"{chunk}D")
    else:
        cuts = pd.date_range(first, last, freq=chunk)
    starts = sorted({first, *[c.normalize() for c in cuts if c > first]})
    ends = [s - pd.Timedelta(days=1) for s in starts[1:]] + [last]
    return [(s.strftime("%Y-%m-%d"), e.strftime("%Y-%m-%d")) for s, e in zip(starts, ends)]


def _bars_of(part, security_id_type, downsample_freq, tz, packages, add_description):
    from quorin_data.from_bqia import barwork
    kind, name, spec, start, end = part
    secs, futs = ({name: spec}, None) if kind == "security" else (None, {name: spec})
    return barwork.get_intraday_bars(secs, futs, start, end, security_id_type, downsample_freq, tz, packages,
                                     add_description)


def _probe_bars(part, *args):
    return _empty_like(_bars_of(part, *args))


def intraday_bars(dict_sec_pcs={'spx': ('spx index', '')}, dict_fut=None, start="2024-06-01",  # noqa: B006
                  end="2024-07-01", security_id_type="custom", downsample_freq=None, tz=None,
                  packages=['equity', 'macro', 'fixed-income'], add_description=True, *,  # noqa: B006
                  chunk=None, meta=None):
    """get_intraday_bars as a Dask DataFrame: one partition per security (a
    futures roll counts as one) and date chunk (see date_chunks; None: the
    whole range), each one get_intraday_bars call on a worker with the same
    arguments. Partitions come security by security, chunks in date order,
    so compute() equals the single call (row labels restart in each
    partition). `meta` as in read_from_s3_many; without it the first
    partition is fetched once, on a worker, to learn the columns."""
    parts = []
    chunks = date_chunks(start, end, chunk)
    for kind, table in (("security", dict_sec_pcs), ("future", dict_fut)):
        if table is None:
            continue
        if not isinstance(table, dict):
            raise TypeError(f"Argument '{'dict_sec_pcs' if kind == 'security' else 'dict_fut'}' has incorrect "
                            f"type (expected dict, got {type(table).__name__})")
        for name, spec in table.items():
            parts.extend((kind, name, tuple(spec), s, e) for s, e in chunks)
    if not parts:
        raise ValueError("no securities and no futures rolls: nothing to fetch")
    args = (security_id_type, downsample_freq, tz, list(packages), bool(add_description))
    meta = _meta_of(meta, _probe_bars, parts[0], *args)
    ddf = dd.from_map(_bars_of, parts, args=args, meta=meta, label="intraday-bars")
    # A chunk holds the bars of its zone dates: it begins at midnight of its
    # first date in the bars' zone (UTC when none is given).
    zone = tz if tz is not None else "UTC"
    bounds = [pd.Timestamp(p[3]).tz_localize(zone) for p in parts]
    return remember(ddf, "chunked", "key", [p[1] for p in parts], bounds)


# --- snapshot datasets -----------------------------------------------------------

def _snapshot_index(frame, day):
    out = frame.copy(deep=False)
    out.index = pd.DatetimeIndex([pd.Timestamp(day)] * len(frame), name="snapshot_date")
    return out


def _splc_data(cls, day, dataset):
    return _snapshot_index(cls(as_of_date=day, dataset=dataset).data, day)


def _ecoest_data(cls, day):
    return _snapshot_index(cls(as_of_date=day).data, day)


def _probe_first(fn, *args):
    return _empty_like(fn(*args))


def _splc_dates(cls, dataset):
    from quorin_data.from_s3 import snapshelf  # noqa: F401
    if dataset not in cls.dataset_names:
        raise ValueError(f"`dataset`={dataset} is invalid. Only `suppliers` or `customers` or `competitors` "
                         "are allowed.")
    keys = bucketry.list_s3_objects(cls.dataset_names[dataset], bucket=cls.bucket, prefix=cls.folder_path)
    return [k.split("/")[6] for k in keys]


def _ecoest_dates(cls):
    return [pd.Timestamp(d).strftime("%Y%m%d")
            for d in cls.get_distinct("dlSnapshotDate", cls.bucket, cls.file_path)]


def _snapshots(fn, fixed, dates, list_dates, meta, label):
    if dates is None:
        dates = on_cluster(list_dates, *fixed)
    if isinstance(dates, str):
        raise TypeError("Argument 'dates' has incorrect type (expected list, got str)")
    days = sorted({str(d).replace("-", "") for d in dates})
    if not days:
        raise ValueError("no snapshot dates")
    first = (fixed[0], days[0]) + fixed[1:]
    meta = make_meta(meta) if meta is not None else make_meta(on_cluster(_probe_first, fn, *first))
    if not isinstance(meta.index, pd.DatetimeIndex):
        meta = meta.set_axis(pd.DatetimeIndex([], name="snapshot_date"))
    divisions = tuple(pd.Timestamp(d) for d in days) + (pd.Timestamp(days[-1]),)
    return dd.from_map(fn, [fixed[0]] * len(days), days, *[[a] * len(days) for a in fixed[1:]], meta=meta,
                       divisions=divisions, label=label)


def splc_snapshots(dates=None, dataset="supplier", *, cls=None, meta=None):
    """The supply-chain snapshots of `dates` (yyyymmdd or yyyy-mm-dd texts;
    None: every snapshot in the store, listed once on a worker) as one Dask
    DataFrame: one partition per snapshot, each SPLC(as_of_date=day,
    dataset=dataset).data (of `cls`, SPLC or a subclass importable on the
    workers) indexed by its snapshot date ("snapshot_date"), so the
    divisions are the dates."""
    from quorin_data.from_s3 import snapshelf
    cls = snapshelf.SPLC if cls is None else cls
    return _snapshots(_splc_data, (cls, dataset), dates, _splc_dates, meta, "splc-snapshots")


def ecoest_snapshots(dates=None, *, cls=None, meta=None):
    """The economist-estimates snapshots of `dates` (None: every
    dlSnapshotDate of the object, read once on a worker) as one Dask
    DataFrame: one partition per snapshot, each ECOEST(as_of_date=day).data
    indexed by its snapshot date, divisions the dates."""
    from quorin_data.from_s3 import snapshelf
    cls = snapshelf.ECOEST if cls is None else cls
    return _snapshots(_ecoest_data, (cls,), dates, _ecoest_dates, meta, "ecoest-snapshots")
