"""Indicators per security on a Dask DataFrame."""
import math

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from ._layout import _LAYOUTS, by_columns, groups_whole, layout_of

# name -> number of input columns
_ARITY = {"sma": 1, "ema": 1, "rma": 1, "wma": 1, "dema": 1, "tema": 1, "hma": 1, "hlc3": 3, "vwap": 4,
          "ma": 1, "obv": 2, "ad": 4, "adosc": 4, "cmf": 4}
# Results that depend on every earlier row of the group: a date chunk cannot
# be computed from a bounded warm-up of earlier bars.
_RECURSIVE = {"ema", "rma", "dema", "tema", "vwap", "obv", "ad", "adosc"}
# Modes of the dispatcher; any other mode selects sma.
_MA_MODES = {"sma", "ema", "rma", "wma", "dema", "tema", "hma"}


def _sort_key(col):
    if isinstance(col.dtype, pd.DatetimeTZDtype):
        col = col.dt.tz_convert("UTC").dt.tz_localize(None)
    return col.to_numpy()


def _check_spec(spec, columns):
    if not isinstance(spec, dict) or not spec:
        raise TypeError("spec must be a non-empty dict: output column -> (indicator, input column(s), {keywords})")
    out = {}
    for col, entry in spec.items():
        if not isinstance(entry, tuple) or len(entry) not in (2, 3):
            raise TypeError(f"spec entry {col!r} must be (indicator, input column(s)[, {{keywords}}])")
        name, inputs = entry[0], entry[1]
        kwargs = dict(entry[2]) if len(entry) == 3 and entry[2] is not None else {}
        if name not in _ARITY:
            raise ValueError(f"spec entry {col!r}: unknown indicator {name!r}")
        inputs = (inputs,) if isinstance(inputs, str) else tuple(inputs)
        if len(inputs) != _ARITY[name]:
            raise ValueError(f"spec entry {col!r}: {name} takes {_ARITY[name]} input column(s), got {len(inputs)}")
        for c in inputs:
            if c not in columns:
                raise KeyError(f"spec entry {col!r}: column {c!r} is not in the collection")
        if col in columns:
            raise ValueError(f"spec entry {col!r}: the collection already has a column of that name")
        if name == "ma" and not isinstance(kwargs.get("mode"), str):
            raise TypeError(f"spec entry {col!r}: ma needs a text 'mode' keyword")
        out[col] = (name, inputs if len(inputs) > 1 else inputs[0], kwargs)
    return out


def _grouped(df, spec, by, order):
    """The indicators of `spec` per group of `by`, rows in `order`: the input's
    columns followed by one column per entry, in the input's row order."""
    from quorin_data.ta import grouped
    return grouped(df, spec, by=list(by), order=order)


def _length(kwargs, key, default):
    v = kwargs.get(key)
    if v is None or isinstance(v, bool) or not isinstance(v, (int, float)) or v <= 0:
        return default
    return int(v) or default


def _kind(name, kwargs):
    if name == "ma":
        mode = kwargs["mode"].lower()
        return mode if mode in _MA_MODES else "sma"
    return name


def _lookback(col, entry):
    """For a windowed entry: the function giving, for a chunk whose first row
    is row g of its group, the first row of the group it must be computed
    from so that the chunk's values equal those of the whole group. Raises
    ValueError for an entry that cannot be cut into chunks."""
    name, _, kwargs = entry
    kind = _kind(name, kwargs)
    if kind in _RECURSIVE:
        raise ValueError(f"indicator {col!r} ({kind}) is recursive: each value depends on every earlier bar of its "
                         "security, so it cannot run on date chunks; build the bars without `chunk` or make the "
                         "groups whole with quorin_data.dask.whole_groups(ddf, by)")
    off = kwargs.get("offset")
    off = 0 if off is None else int(off)
    if off < 0:
        raise ValueError(f"indicator {col!r}: a negative offset reads later bars; not on date chunks")
    if kwargs.get("fill_method") is not None:
        raise ValueError(f"indicator {col!r}: fill_method carries values across chunk boundaries; not on date chunks")
    if kind == "hlc3":
        return lambda g: max(0, g - off), off
    if kind == "wma":
        n = _length(kwargs, "length", 10)
        return lambda g: max(0, g - off - (n - 1)), n - 1 + off
    if kind == "hma":
        n = _length(kwargs, "length", 9)
        half, root = int(n / 2.0), int(math.sqrt(n))
        back = max(half if half > 0 else 10, n) - 1 + (root if root > 0 else 10) - 1
        return lambda g: max(0, g - off - back), back + off
    # sma and cmf: window sums by blocks of `n` rows counted from the group's
    # first row; a chunk starts from the block before the one its first
    # value needs, so that every sum adds the same terms in the same order.
    n = _length(kwargs, "length", 20 if kind == "cmf" else 10)
    if kind == "sma":
        mp = kwargs.get("min_periods")
        if mp is not None and int(mp) != 0 and int(mp) < n:
            raise ValueError(f"indicator {col!r}: min_periods below the length makes the first values depend "
                             "on the whole security's length; not on date chunks")
    return lambda g: 0 if g - off < 0 else max(0, ((g - off) // n - 1) * n), 2 * n - 1 + off


def _whole_partition(part, spec, by, order):
    return _grouped(part, spec, by, order)


def _group_keys(df, by):
    return list(zip(*[df[c].tolist() for c in by])) if len(df) else []


def _chunk_partition(state, part, spec, by, order, starts):
    """The indicators of one date chunk: each entry over the chunk's rows
    after the warm-up rows it needs from `state` (the groups' earlier rows)."""
    counts, tails = state if state is not None else ({}, {})
    keys = _group_keys(part, by)
    groups = list(dict.fromkeys(keys))
    for g in groups:
        tail = tails.get(g)
        if tail is not None and len(tail) and order is not None:
            first = part.loc[[k == g for k in keys], order].min()
            if first < tail[order].iloc[-1]:
                raise ValueError(f"rows of group {g} are not in {order!r} order across partitions")
    out = part.copy()
    for col, entry in spec.items():
        warm = []
        for g in groups:
            tail = tails.get(g)
            if tail is None or not len(tail):
                continue
            seen = counts[g]
            first = starts[col](seen)
            warm.append(tail.iloc[len(tail) - (seen - first):])
        frame = pd.concat(warm + [part[tails_columns(part, spec, by, order)]], ignore_index=True) if warm \
            else part[tails_columns(part, spec, by, order)].reset_index(drop=True)
        res = _grouped(frame, {col: entry}, by, order)
        out[col] = res[col].to_numpy()[len(frame) - len(part):]
    return out


def tails_columns(df, spec, by, order):
    cols = list(by) + ([order] if order is not None else [])
    for _, inputs, _ in spec.values():
        cols.extend((inputs,) if isinstance(inputs, str) else inputs)
    return [c for c in dict.fromkeys(cols) if c in df.columns]


def _next_state(state, part, spec, by, order, keep):
    """The groups' row counts and last `keep` rows (in `order`) after `part`."""
    counts, tails = ({}, {}) if state is None else (dict(state[0]), dict(state[1]))
    cols = tails_columns(part, spec, by, order)
    if len(part):
        sub = part[cols]
        if order is not None:
            sub = sub.iloc[np.argsort(_sort_key(sub[order]), kind="stable")]
        keys = _group_keys(sub, by)
        for g in dict.fromkeys(keys):
            rows = sub[[k == g for k in keys]]
            counts[g] = counts.get(g, 0) + len(rows)
            tail = tails.get(g)
            both = rows if tail is None else pd.concat([tail, rows], ignore_index=True)
            tails[g] = both.iloc[max(0, len(both) - keep):].reset_index(drop=True)
    return counts, tails


def indicators(ddf, spec, by="key", order="datetime"):
    """The collection's columns followed by one float column per entry of
    `spec` ({output column: (indicator, input column or columns,
    {keywords})}, as quorin_data.ta.grouped takes it; "ma" takes its mode as
    the keyword "mode"), computed per group of `by` over the group's rows in
    `order`.

    Where every group lies in one partition (intraday_bars without chunk,
    whole_groups) each partition is one grouped call. On date chunks
    (intraday_bars with chunk) the windowed indicators (sma, wma, hma, cmf,
    hlc3) read the warm-up of earlier bars they need and give exactly the
    values of the whole security; recursive ones (ema, rma, dema, tema, vwap,
    obv, ad, adosc) are refused with ValueError. A collection whose layout
    is not known is refused too: make its groups whole first."""
    by = by_columns(by)
    for c in list(by) + ([order] if order is not None else []):
        if c not in ddf.columns:
            raise KeyError(f"column {c!r} is not in the collection")
    spec = _check_spec(spec, list(ddf.columns))
    meta = ddf._meta.copy()
    for col in spec:
        meta[col] = np.array([], dtype=np.float64)
    lay = layout_of(ddf)
    if groups_whole(ddf, by):
        out = ddf.map_partitions(_whole_partition, spec, by, order, meta=meta, align_dataframes=False)
        return _same_layout(out, lay)
    if lay is None or lay.kind != "chunked" or not set(lay.by) <= set(by):
        raise ValueError("the groups of " + ", ".join(map(repr, by)) + " may span partitions in no known order: "
                         "make them whole with quorin_data.dask.whole_groups(ddf, by) first")
    starts, keep = {}, 1
    for col, entry in spec.items():
        starts[col], back = _lookback(col, entry)
        keep = max(keep, back)
    token = dask.base.tokenize(ddf._name, spec, by, order)
    state, parts, prev_key = None, [], None
    for i, part in enumerate(ddf.to_delayed()):
        if lay.groups[i] != prev_key:
            state = None  # a new security: nothing before it
        parts.append(dask.delayed(_chunk_partition)(state, part, spec, by, order, starts,
                                                    dask_key_name=f"indicators-{token}-{i}"))
        state = dask.delayed(_next_state)(state, part, spec, by, order, keep,
                                          dask_key_name=f"indicators-state-{token}-{i}")
        prev_key = lay.groups[i]
    out = dd.from_delayed(parts, meta=meta, divisions=ddf.divisions, prefix=f"indicators-{token}",
                          verify_meta=False)
    return _same_layout(out, lay)


def _same_layout(out, lay):
    _LAYOUTS[out._name] = lay
    return out
