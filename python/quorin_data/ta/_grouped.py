"""Indicators by group in one native call."""
import threading

import numpy as np
import pandas as pd

from quorin_data import _quorin

_g = _quorin.ta_grouped


def _type_error(name, expected, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, "
                     f"got {type(value).__name__})")


def _codes(df, by):
    """Per row the number of its group (in order of first appearance), -1
    where a key is missing (such rows belong to no group)."""
    codes = None
    for name in by:
        col = df[name]
        c = None
        if col.dtype == object:
            c = _g.text_codes(col.to_numpy())
        elif isinstance(col.dtype, pd.CategoricalDtype) and len(col.cat.categories) <= len(col):
            c = col.cat.codes.to_numpy().astype(np.int64)  # -1 where missing; unused codes are empty groups
        if c is None:
            c = pd.factorize(col, sort=False)[0].astype(np.int64, copy=False)
        if codes is None:
            codes = c
            continue
        keep = (codes >= 0) & (c >= 0)
        combined = codes[keep] * np.int64(c.max() + 1 if len(c) else 1) + c[keep]
        codes = np.full(len(c), -1, dtype=np.int64)
        codes[keep] = pd.factorize(combined, sort=False)[0]
    return np.ascontiguousarray(codes)


def _order_key(col, name):
    dtype = col.dtype
    if isinstance(dtype, pd.DatetimeTZDtype) or dtype.kind in "mM":
        values = col.array.asi8 if isinstance(dtype, pd.DatetimeTZDtype) else col.to_numpy().view(np.int64)
        if col.isna().any():
            raise ValueError(f"the order column '{name}' holds a missing value at row "
                             f"{int(np.argmax(col.isna().to_numpy()))}")
        return np.ascontiguousarray(values)
    if dtype.kind in "iub":
        return np.ascontiguousarray(col.to_numpy(), dtype=np.int64)
    if dtype.kind == "f":
        return np.ascontiguousarray(col.to_numpy(), dtype=np.float64)
    raise TypeError(f"the order column '{name}' is not numeric, a date or a timestamp (dtype {dtype})")


def _floats(col, name):
    dtype = col.dtype
    if dtype == np.float64:
        return col.to_numpy()
    if isinstance(dtype, pd.api.extensions.ExtensionDtype):
        if dtype.kind in "iufb":
            return col.to_numpy(dtype=np.float64, na_value=np.nan)
    elif dtype.kind in "iufb":
        return col.to_numpy().astype(np.float64)
    raise TypeError(f"input column '{name}' is not numeric (dtype {dtype})")


def _copy(df):
    """A deep copy of df block by block: DataFrame.copy() would also merge
    the blocks of a frame that is not consolidated (after astype, say), a
    vstack of every column that costs more than the indicators."""
    try:
        mgr = df._mgr.apply("copy", deep=True)
        mgr.axes = [ax.view() for ax in df._mgr.axes]
        return pd.DataFrame(mgr)
    except (AttributeError, TypeError):  # another pandas than the one this was written against
        return df.copy()


def grouped(df, spec, by="key", order=None):
    """Indicators per group of rows in one call.

    `spec` maps each output column name to (indicator, inputs, params): an
    indicator of overlap or volume by name (or "ma" with a `mode`), its input
    column(s) in argument order and its parameters by name, e.g.
    {"ema_20": ("ema", "close", {"length": 20}),
     "cmf_20": ("cmf", ("high", "low", "close", "volume"), {"length": 20})}.
    `by` names the column(s) whose values make a group (rows with a missing
    key belong to none); `order` a column that orders the rows inside each
    group (stable; else row order). Returns a new DataFrame: the input's
    columns, then one float64 column per entry, rows in the input's order with
    its index. Each group's values equal the single function's over that
    group's rows in order; where it gives None (a group shorter than the
    window) the rows are missing."""
    if not isinstance(df, pd.DataFrame):
        raise _type_error("df", "DataFrame", df)
    plan = _g.Plan(spec)
    if isinstance(by, str):
        by = [by]
    elif isinstance(by, (list, tuple)) and by and all(isinstance(b, str) for b in by):
        by = list(by)
    else:
        raise _type_error("by", "str or list of str", by)
    if order is not None and not isinstance(order, str):
        raise _type_error("order", "str", order)
    for role, names in (("by", by), ("order", [order] if order else []), ("input", plan.columns)):
        for name in names:
            if name not in df.columns:
                raise KeyError(f"grouped: no column '{name}' ({role})")
    for name in plan.outputs:
        if name in df.columns:
            raise ValueError(f"grouped: the output column '{name}' is already a column of the input")
    key = _order_key(df[order], order) if order else None
    columns = [_floats(df[name], name) for name in plan.columns]
    codes = _codes(df, by)
    # The indicators run with the GIL released while this thread copies the
    # input (the result shares no memory with it, so that writing into one
    # never changes the other); the two overlap.
    done = {}

    def work():
        try:
            done["values"] = plan.run(codes, key, columns)
        except BaseException as e:  # raised again in the caller's thread
            done["error"] = e

    worker = threading.Thread(target=work, name="quorin_data.ta.grouped")
    worker.start()
    try:
        out = _copy(df)
    finally:
        worker.join()
    if "error" in done:
        raise done["error"]
    values = done["values"]
    if len(values) > 8:  # one block instead of many inserts
        added = pd.DataFrame(dict(zip(plan.outputs, values)), index=df.index, copy=False)
        return pd.concat([out, added], axis=1, copy=False)
    for name, v in zip(plan.outputs, values):
        out[name] = v
    return out
