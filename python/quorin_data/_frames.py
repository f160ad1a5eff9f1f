"""Conversions between pandas objects and the typed parts that cross to C++.

A column crosses as (kind, data, missing, tz): kind is one of "float64",
"int64", "bool", "date", "timestamp", "time" (of day), "object" (an
object array whose cells the C++ side reads in one pass) or "categorical"
(data the codes, missing the categories); data is a numpy array; missing is
None or a bool array (True where a value is missing); tz names the zone of a
timestamp column ("" when naive). The C++ side reads float64, int64, bool and
timestamp arrays in place; the pandas side of a table coming back is
assembled here in one call.
"""
import datetime as _dt
import zoneinfo as _zoneinfo

import numpy as np
import pandas as pd
from pandas.core.internals import BlockManager as _BlockManager
from pandas.core.internals.api import make_block as _make_block

_INT64_MAX = np.iinfo(np.int64).max


def _cannot(label, what):
    return TypeError(f"column {label!r} of {what} cannot cross to quorin_data "
                     "(float, int, bool, text, date and timestamp columns can)")


def zone_name(tz):
    """The IANA name of a tzinfo; ValueError for a zone without one."""
    name = getattr(tz, "key", None) or getattr(tz, "zone", None) or str(tz)
    try:
        _zoneinfo.ZoneInfo(name)
    except Exception:
        raise ValueError(f"time zone {tz!r} has no IANA name; use a named zone "
                         "such as 'UTC' or 'America/New_York'") from None
    return name


def _mask_or_none(mask):
    mask = np.asarray(mask, dtype=bool)
    return mask if mask.any() else None


def _ints(values, label):
    arr = np.asarray(values)
    if arr.dtype.kind == "u" and arr.dtype.itemsize == 8 and arr.size and arr.max() > np.uint64(_INT64_MAX):
        raise OverflowError(f"column {label!r} holds values above the int64 range")
    return arr.astype(np.int64, copy=False)


def object_parts(arr, label):
    """The parts of an object array whose cells are not all texts, bools,
    integers, or floats with integers (those the C++ side reads itself)."""
    missing = np.asarray(pd.isna(arr), dtype=bool)
    present = arr[~missing]
    # Never all texts or all missing: the C++ side reads those itself.
    kinds = {type(v) for v in present}
    if all(issubclass(k, (bool, np.bool_)) for k in kinds):
        data = np.zeros(arr.size, dtype=np.int64)
        data[~missing] = present.astype(bool)
        return "bool", data, _mask_or_none(missing), ""
    if all(issubclass(k, (int, np.integer)) and not issubclass(k, (bool, np.bool_)) for k in kinds):
        data = np.zeros(arr.size, dtype=np.int64)
        if any(v > _INT64_MAX or v < -_INT64_MAX - 1 for v in present):
            raise OverflowError(f"column {label!r} holds integers outside the int64 range")
        data[~missing] = present.astype(np.int64)
        return "int64", data, _mask_or_none(missing), ""
    numbers = (float, np.floating, int, np.integer)
    if all(issubclass(k, numbers) and not issubclass(k, (bool, np.bool_)) for k in kinds):
        data = np.full(arr.size, np.nan)
        for v in present:
            if not isinstance(v, (float, np.floating)) and float(v) != v:
                raise ValueError(f"column {label!r} mixes floats with the integer {v}, "
                                 "which float64 cannot hold exactly")
        data[~missing] = present.astype(np.float64)
        return "float64", data, None, ""
    if all(issubclass(k, _dt.datetime) for k in kinds):
        zones = {None if v.tzinfo is None else zone_name(v.tzinfo) for v in present}
        if len(zones) > 1:
            raise ValueError(f"column {label!r} mixes time zones {sorted(map(str, zones))}")
        zone = zones.pop()
        data = np.zeros(arr.size, dtype=np.int64)
        stamps = pd.to_datetime(list(present), utc=zone is not None)
        data[~missing] = stamps.asi8
        return "timestamp", data, _mask_or_none(missing), zone or ""
    if all(issubclass(k, _dt.time) for k in kinds):
        if any(v.tzinfo is not None for v in present):
            raise _cannot(label, "times of day with a zone")
        data = np.zeros(arr.size, dtype=np.int64)
        data[~missing] = [((v.hour * 60 + v.minute) * 60 + v.second) * 1_000_000_000 + v.microsecond * 1000
                          for v in present]
        return "time", data, _mask_or_none(missing), ""
    if all(issubclass(k, _dt.date) and not issubclass(k, _dt.datetime) for k in kinds):
        data = np.zeros(arr.size, dtype=np.int64)
        data[~missing] = np.array(list(present), dtype="datetime64[D]").astype(np.int64)
        return "date", data, _mask_or_none(missing), ""
    names = sorted(k.__name__ for k in kinds)
    raise _cannot(label, f"object values of types {names}")


def column_parts(col, label):
    """The (kind, data, missing, tz) of a pandas Series or array."""
    dtype = col.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        arr = pd.array(col)
        return "timestamp", arr.asi8, _mask_or_none(arr.isna()), zone_name(dtype.tz)
    if isinstance(dtype, pd.CategoricalDtype):
        if dtype.categories.dtype != object or not all(isinstance(c, str) for c in dtype.categories):
            raise _cannot(label, f"categories of dtype {dtype.categories.dtype}")
        cat = col.array if isinstance(col, pd.Series) else pd.Categorical(col)
        return "categorical", np.asarray(cat.codes), np.asarray(dtype.categories, dtype=object), ""
    if isinstance(dtype, pd.StringDtype):
        return "object", np.asarray(col, dtype=object), None, ""
    if isinstance(dtype, pd.api.extensions.ExtensionDtype):
        missing = np.asarray(pd.isna(col), dtype=bool)
        if isinstance(dtype, pd.BooleanDtype):
            data = np.asarray(pd.array(col).to_numpy(dtype=bool, na_value=False), dtype=bool)
            return "bool", data, _mask_or_none(missing), ""
        if dtype.kind in "iu":
            data = pd.array(col).to_numpy(dtype=dtype.numpy_dtype, na_value=0)
            return "int64", _ints(data, label), _mask_or_none(missing), ""
        if dtype.kind == "f":
            data = pd.array(col).to_numpy(dtype=np.float64, na_value=np.nan)
            return "float64", data, None, ""
        raise _cannot(label, f"dtype {dtype}")
    arr = np.asarray(col)
    kind = arr.dtype.kind
    if kind == "f":
        if arr.dtype.itemsize > 8:
            raise _cannot(label, f"dtype {arr.dtype} (wider than float64)")
        return "float64", arr.astype(np.float64, copy=False), None, ""
    if kind in "iu":
        return "int64", _ints(arr, label), None, ""
    if kind == "b":
        return "bool", arr, None, ""
    if kind == "M":
        ns = arr.astype("M8[ns]", copy=False)
        return "timestamp", ns.view(np.int64), _mask_or_none(np.isnat(ns)), ""
    if kind == "O":
        return "object", arr, None, ""
    raise _cannot(label, f"dtype {arr.dtype}")


def frame_parts(df):
    """(column names, the parts of each column, the index) of a DataFrame."""
    names = df.columns.tolist()
    parts = [column_parts(df.iloc[:, i], name) for i, name in enumerate(names)]
    return names, parts, df.index


def make_array(kind, data, missing, tz):
    """The pandas-ready array of a column's parts (no copy of float64, int64
    and timestamp data)."""
    if kind == "float64":
        return data
    if kind == "int64":
        return data if missing is None else pd.arrays.IntegerArray(data, missing)
    if kind == "bool":
        return data if missing is None else pd.arrays.BooleanArray(data, missing)
    if kind == "date":
        out = data.astype("M8[D]").astype(object)
        if missing is not None:
            out[missing] = None
        return out
    if kind == "time":
        out = np.empty(data.size, dtype=object)
        for i, ns in enumerate(data.tolist()):
            if missing is not None and missing[i]:
                out[i] = None
                continue
            if ns % 1000:
                raise ValueError(f"time of day {ns} ns after midnight has nanoseconds, "
                                 "which datetime.time cannot hold")
            seconds, micro = divmod(ns // 1000, 1_000_000)
            out[i] = _dt.time(seconds // 3600, seconds // 60 % 60, seconds % 60, micro)
        return out
    if kind == "timestamp":
        stamps = data.view("M8[ns]")
        if tz:
            return pd.arrays.DatetimeArray(stamps, dtype=pd.DatetimeTZDtype(tz=tz))
        return stamps
    raise ValueError(f"unknown column kind {kind!r}")


def object_array(items):
    out = np.empty(len(items), dtype=object)
    out[:] = items
    return out


def index_parts(idx):
    """("range", start, n, name), ("int", int64 array, name) or
    ("text", object array, name)."""
    name = idx.name
    if name is not None and not isinstance(name, str):
        raise TypeError(f"index name {name!r} is not a text")
    name = name or ""
    if isinstance(idx, pd.RangeIndex) and idx.step == 1:
        return "range", idx.start, len(idx), name
    if isinstance(idx, pd.MultiIndex):
        raise TypeError("a MultiIndex cannot cross to quorin_data")
    kind = idx.dtype.kind
    if kind in "iu":
        return "int", _ints(idx.to_numpy(), "index"), None, name
    if kind == "O" and all(isinstance(v, str) for v in idx):
        return "text", np.asarray(idx, dtype=object), None, name
    raise TypeError(f"an index of dtype {idx.dtype} cannot cross to quorin_data "
                    "(range, integer and text labels can)")


def make_index(kind, data, n, name):
    name = name or None
    if kind == "range":
        return pd.RangeIndex(data, data + n, name=name)
    if kind == "int":
        return pd.Index(data, dtype=np.int64, name=name)
    return pd.Index(data, dtype=object, name=name)


def make_frame(names, arrays, index):
    """A DataFrame with one block per column, so that no column is copied."""
    blocks = []
    for i, arr in enumerate(arrays):
        if isinstance(arr, tuple):
            arr = make_array(*arr)
        if isinstance(arr, np.ndarray):
            blocks.append(_make_block(arr.reshape(1, -1), placement=[i]))
        else:
            blocks.append(_make_block(arr, placement=[i], ndim=2))
    columns = pd.Index(names, dtype=object)
    mgr = _BlockManager(blocks, [columns, index], verify_integrity=False)
    return pd.DataFrame(mgr)


def make_series(arr, index, name, category):
    if isinstance(arr, tuple):
        arr = make_array(*arr)
    s = pd.Series(arr, index=index, name=name or None, copy=False)
    if category:
        s.category = category
        s.attrs["category"] = category
    return s


def series_category(s):
    cat = s.__dict__.get("category", s.attrs.get("category", ""))
    return cat if isinstance(cat, str) else ""
