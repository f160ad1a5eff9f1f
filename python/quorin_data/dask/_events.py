"""Bars around economic events, and their summary, on Dask collections."""
import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from ._layout import WINDOW, groups_whole, layout_of, remember


def _int_arg(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")
    return int(value)


def _windows(bars, calendar, pre, post):
    from quorin_data.from_bqia import barwork
    return barwork.filter_bars_around_events(bars, calendar, pre, post)


def _window_start(out, pre):
    return out["event_datetime"] + pd.Timedelta(minutes=pre)


def _as_of(bound, column):
    """`bound` comparable with the timestamps of `column`."""
    if bound is None:
        return None
    tz = getattr(column.dtype, "tz", None)
    return bound.tz_convert(tz) if tz is not None else bound.tz_convert("UTC").tz_localize(None)


def _chunk_windows(part, heads, calendar, pre, post, lo, hi):
    """The windows that start in [lo, hi) (None: unbounded), from the bars of
    this chunk and the first bars of the chunks after it (`heads`)."""
    span = pd.Timedelta(minutes=max(post - pre, 0))
    frames = [part]
    if hi is not None:
        for h in heads:
            limit = _as_of(hi, h["datetime"]) + span
            frames.append(h[h["datetime"] <= limit])
    bars = pd.concat(frames, ignore_index=True) if len(frames) > 1 else part
    out = _windows(bars, calendar, pre, post)
    if len(out) and (lo is not None or hi is not None):
        start = _window_start(out, pre)
        keep = np.ones(len(out), dtype=bool)
        if lo is not None:
            keep &= (start >= _as_of(lo, start)).to_numpy()
        if hi is not None:
            keep &= (start < _as_of(hi, start)).to_numpy()
        out = out[keep].reset_index(drop=True)
    return out


def filter_bars_around_events(bars_ddf, df_calendar, pre_event_window=-5, post_event_window=10):
    """barwork.filter_bars_around_events over a collection of bars: the
    calendar (a pandas DataFrame) goes once into the graph and from there to
    the workers that need it; every event window is made in exactly one
    partition. Bars whose keys lie whole in partitions give one call per
    partition; on date chunks (intraday_bars with chunk) a window belongs to
    the chunk it starts in, which also reads the first bars of the chunks
    after it. Each partition is sorted as the single call sorts; compute()
    holds the single call's rows (after a sort by EVENT_NAME,
    event_datetime, key, datetime, as their order across partitions is the
    partitions')."""
    pre = _int_arg("pre_event_window", pre_event_window)
    post = _int_arg("post_event_window", post_event_window)
    if not isinstance(df_calendar, pd.DataFrame):
        raise TypeError(f"Argument 'df_calendar' has incorrect type (expected DataFrame, got "
                        f"{type(df_calendar).__name__})")
    for c in ("datetime", "key"):
        if c not in bars_ddf.columns:
            raise KeyError(f"column {c!r} is not in the bars")
    meta = _windows(bars_ddf._meta, df_calendar.iloc[:0], pre, post)
    calendar = dask.delayed(df_calendar, pure=True)
    lay = layout_of(bars_ddf)
    token = dask.base.tokenize(bars_ddf._name, calendar.key, pre, post)
    if groups_whole(bars_ddf, ("key",)):
        parts = [dask.delayed(_windows)(p, calendar, pre, post, dask_key_name=f"event-windows-{token}-{i}")
                 for i, p in enumerate(bars_ddf.to_delayed())]
    elif lay is not None and lay.kind == "chunked" and lay.by == ("key",) and lay.bounds:
        span = pd.Timedelta(minutes=max(post - pre, 0))
        pieces = bars_ddf.to_delayed()
        n = len(pieces)
        parts = []
        of_group = {}
        for j, g in enumerate(lay.groups):
            of_group.setdefault(g, []).append(j)
        for i in range(n):
            same = of_group[lay.groups[i]]
            at = same.index(i)
            after = same[at + 1:]
            lo = lay.bounds[i] if at > 0 else None
            hi = lay.bounds[after[0]] if after else None
            heads = []
            for j in after:  # the chunks that begin before this chunk's last window ends
                if lay.bounds[j] > hi + span:
                    break
                heads.append(pieces[j])
            parts.append(dask.delayed(_chunk_windows)(pieces[i], heads, calendar, pre, post, lo, hi,
                                                      dask_key_name=f"event-windows-{token}-{i}"))
    else:
        raise ValueError("the bars' keys may span partitions in no known order: use bars from "
                         "quorin_data.dask.intraday_bars or quorin_data.dask.whole_groups(ddf, 'key')")
    out = dd.from_delayed(parts, meta=meta, prefix=f"event-windows-{token}", verify_meta=False)
    return remember(out, "windows", WINDOW)


# --- summary: a tree reduction of sums per key and offset -----------------

_SUMS = ["sum_move", "sum_bp", "nan_bp", "count"]
_EMPTY_SUMS = {"key": object, "time_diff": np.int64, "sum_move": np.float64, "sum_bp": np.float64,
               "nan_bp": np.int64, "count": np.int64, "f_name": object, "f_time": np.int64}


def _summary_sums(part, pre, price):
    """Per key and offset: the sums over one partition's windows, and the
    (EVENT_NAME, event_datetime) of the key's first counted window, which
    orders the keys as the single call over sorted windows does."""
    empty = pd.DataFrame({c: pd.Series([], dtype=t) for c, t in _EMPTY_SUMS.items()})
    if not len(part):
        return empty
    key, diff, px = part["key"], part["time_diff"], part[price].astype(np.float64)
    ok = (key.notna() & diff.notna() & px.notna()).to_numpy()
    if not ok.any():
        return empty
    when = part["event_datetime"]
    when = when.dt.tz_convert("UTC").dt.tz_localize(None) if isinstance(when.dtype, pd.DatetimeTZDtype) else when
    df = pd.DataFrame({"w": part.groupby(list(WINDOW), sort=False, dropna=False).ngroup().to_numpy(),
                       "key": key.to_numpy(), "m": np.trunc(diff.astype(np.float64)).to_numpy(),
                       "px": px.to_numpy(), "f_name": part["EVENT_NAME"].to_numpy(),
                       "f_time": when.to_numpy().view(np.int64)})[ok]
    df["m"] = df["m"].astype(np.int64)
    base = df[df["m"] == pre].drop_duplicates("w").set_index("w")["px"]
    df["base"] = df["w"].map(base)
    df = df[df["base"].notna()].drop_duplicates(["w", "m"])
    if not len(df):
        return empty
    d = df["px"] - df["base"]
    bp = (1e4 * d / df["base"]).where(df["base"] != 0, np.nan)
    df = df.assign(sum_move=d, sum_bp=bp.fillna(0.0), nan_bp=bp.isna().astype(np.int64), count=1)
    return _add_up(df.rename(columns={"m": "time_diff"}))


def _add_up(df):
    firsts = df.sort_values(["f_name", "f_time"], kind="stable").drop_duplicates("key")[["key", "f_name", "f_time"]]
    out = df.groupby(["key", "time_diff"], sort=False)[_SUMS].sum().reset_index()
    return out.merge(firsts, on="key", how="left")


def _combine_sums(parts):
    both = pd.concat(parts, ignore_index=True)
    return _add_up(both) if len(both) else parts[0]


def _finish_summary(sums):
    if not len(sums):
        return pd.DataFrame({"key": pd.Series([], dtype=object), "time_diff": pd.Series([], dtype=np.int64),
                             "count": pd.Series([], dtype=np.int64), "mean_move": pd.Series([], dtype=np.float64),
                             "mean_move_bp": pd.Series([], dtype=np.float64)})
    sums = sums.sort_values(["f_name", "f_time", "key", "time_diff"], kind="stable")
    count = sums["count"].to_numpy(dtype=np.int64)
    bp = np.where(sums["nan_bp"].to_numpy() > 0, np.nan, sums["sum_bp"].to_numpy() / count)
    return pd.DataFrame({"key": sums["key"].to_numpy(), "time_diff": sums["time_diff"].to_numpy(dtype=np.int64),
                         "count": count, "mean_move": sums["sum_move"].to_numpy() / count, "mean_move_bp": bp})


def event_move_summary(windows_ddf, pre_event_window=-5, price="close", *, split_every=8, compute=True):
    """barwork.event_move_summary over a collection of event windows (from
    filter_bars_around_events, or any whose windows lie whole in
    partitions): per partition the sums per key and offset, added up in a
    tree of `split_every` branches; only the final small table reaches the
    client (a pandas DataFrame; with compute=False, its Delayed). Counts
    equal the single call's; the means add the same terms in another order,
    so they agree to rounding."""
    pre = _int_arg("pre_event_window", pre_event_window)
    if not isinstance(price, str):
        raise TypeError(f"Argument 'price' has incorrect type (expected str, got {type(price).__name__})")
    for c in WINDOW + ("time_diff", price):
        if c not in windows_ddf.columns:
            raise KeyError(f"column {c!r} is not in the event windows")
    if not groups_whole(windows_ddf, WINDOW):
        raise ValueError("the event windows may span partitions: use windows from "
                         "quorin_data.dask.filter_bars_around_events or whole_groups(ddf, "
                         "['EVENT_NAME', 'event_datetime', 'key'])")
    split_every = max(2, int(split_every))
    token = dask.base.tokenize(windows_ddf._name, pre, price, split_every)
    level = [dask.delayed(_summary_sums)(p, pre, price, dask_key_name=f"event-move-sums-{token}-0-{i}")
             for i, p in enumerate(windows_ddf.to_delayed())]
    depth = 0
    while len(level) > 1:
        depth += 1
        level = [dask.delayed(_combine_sums)(level[i:i + split_every],
                                             dask_key_name=f"event-move-sums-{token}-{depth}-{i}")
                 for i in range(0, len(level), split_every)]
    result = dask.delayed(_finish_summary)(level[0], dask_key_name=f"event-move-summary-{token}")
    return result.compute() if compute else result
