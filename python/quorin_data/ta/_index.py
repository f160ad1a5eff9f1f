"""Datetime row labels for the indicators: they cross as their int64
nanoseconds (integer labels align the same way) and come back as datetimes."""
import pandas as pd


def encode(*inputs):
    """The inputs with datetime indexes replaced by int64 labels, and the
    function that restores the labels of a result."""
    ref = None
    out = []
    for s in inputs:
        if isinstance(s, pd.Series) and isinstance(s.index, pd.DatetimeIndex):
            ref = ref if ref is not None else s.index
            s = pd.Series(s.array, index=pd.Index(s.index.asi8, name=s.index.name), name=s.name,
                          copy=False)
        out.append(s)
    if ref is None:
        return out, _same
    return out, lambda r: _restore(r, ref)


def _same(r):
    return r


def _restore(r, ref):
    if r is None:
        return r
    labels = r.index.to_numpy().astype("M8[ns]")
    idx = pd.DatetimeIndex(labels, name=ref.name)
    if ref.tz is not None:
        idx = idx.tz_localize("UTC").tz_convert(ref.tz)
    cat = r.__dict__.get("category")
    out = pd.Series(r.array, index=idx, name=r.name, copy=False)
    if cat is not None:
        out.category = cat
        out.attrs["category"] = cat
    return out
