"""How indicator inputs cross and results come back.

The light path: Series of float64 numpy values on one index cross as their
arrays alone (the computation does not depend on the labels when every input
has the same ones), and the result is built on that same index without
pandas' general constructor. Any other input takes the general path: the
Series crosses with its labels (datetime labels as their int64 nanoseconds,
which align the same way, restored as datetimes on the way back)."""
import numpy as np
import pandas as pd
from pandas.core.generic import NDFrame as _NDFrame
from pandas.core.internals import SingleBlockManager as _SingleBlockManager

_F8 = np.dtype(np.float64)
_Series = pd.Series
_ndarray = np.ndarray
_new = object.__new__
_set = object.__setattr__
_init = _NDFrame.__init__
_from_array = _SingleBlockManager.from_array


def make(values, index, name, category):
    """The Series of float64 `values` on `index` with its name and category,
    as pandas.Series(values, index=index, name=name) with the category set,
    built without the constructor's general checks."""
    s = _new(_Series)
    _init(s, _from_array(values, index))
    _set(s, "_name", name or None)
    if category:
        _set(s, "category", category)
        _set(s, "_attrs", {"category": category})
    return s


def light(fn, inputs, *args):
    """(result, True) when every input is a pandas Series of float64 numpy
    values on one index: `fn` over the arrays, the result on that index;
    (None, False) when the general path has to run."""
    first = inputs[0]
    if type(first) is not _Series:
        return None, False
    index = first.index
    arrays = []
    for s in inputs:
        if type(s) is not _Series:
            return None, False
        v = s._values
        if type(v) is not _ndarray or v.dtype != _F8:
            return None, False
        if s.index is not index and not s.index.equals(index):
            return None, False
        arrays.append(v)
    r = fn(*arrays, *args)
    if r is None:
        return None, True
    return make(r[0], index, r[1], r[2]), True


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
