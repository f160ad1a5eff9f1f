"""Indicators by group in one call, and the light single call."""
import numpy as np
import pandas as pd
import pytest

import quorin_data.ta as ta
from quorin_data.ta import overlap, volume

HLCV = ("high", "low", "close", "volume")
SPEC = {
    "sma": ("sma", "close", {"length": 4, "min_periods": 2}),
    "ema": ("ema", "close", {"length": 3}),
    "wma": ("wma", ["close"], {"length": 3, "asc": False}),
    "hma": ("hma", "close", {"length": 4}),
    "ma": ("ma", "close", {"mode": "TEMA", "length": 2}),
    "vwap": ("vwap", HLCV),
    "obv": ("obv", ("close", "volume"), {"offset": 1}),
    "adosc": ("adosc", HLCV, {"fast": 2, "slow": 4}),
    "cmf": ("cmf", HLCV, {"length": 3, "fillna": 0.0}),
}
SINGLE = {
    "sma": lambda g: overlap.sma(g["close"], 4, min_periods=2),
    "ema": lambda g: overlap.ema(g["close"], 3),
    "wma": lambda g: overlap.wma(g["close"], 3, asc=False),
    "hma": lambda g: overlap.hma(g["close"], 4),
    "ma": lambda g: overlap.ma("TEMA", g["close"], length=2),
    "vwap": lambda g: overlap.vwap(*(g[c] for c in HLCV)),
    "obv": lambda g: volume.obv(g["close"], g["volume"], offset=1),
    "adosc": lambda g: volume.adosc(*(g[c] for c in HLCV), fast=2, slow=4),
    "cmf": lambda g: volume.cmf(*(g[c] for c in HLCV), length=3, fillna=0.0),
}


def bars():
    """Irregular groups of (event, key): 30, 7, 3, 1 rows and a key that is
    missing; shuffled rows on a text index, missing prices, an int volume."""
    rng = np.random.default_rng(3)
    sizes = {("cpi", "spx"): 30, ("cpi", "eur"): 7, ("nfp", "spx"): 3, ("nfp", "eur"): 1, ("nfp", None): 2}
    parts = []
    for (event, key), n in sizes.items():
        close = 100 + rng.normal(size=n).cumsum()
        parts.append(pd.DataFrame({
            "EVENT_NAME": event, "key": key,
            "datetime": pd.date_range("2024-01-05 08:25", periods=n, freq="min", tz="America/New_York"),
            "close": close, "high": close + rng.random(n), "low": close - rng.random(n),
            "volume": rng.integers(0, 500, n)}))
    df = pd.concat(parts, ignore_index=True)
    df.loc[[4, 12], "close"] = np.nan
    df = df.sample(frac=1, random_state=5)
    df.index = [f"r{i}" for i in range(len(df))]
    return df


def test_grouped_equals_the_single_calls_per_group():
    df = bars()
    out = ta.grouped(df, SPEC, by=["EVENT_NAME", "key"], order="datetime")
    assert list(out.columns) == list(df.columns) + list(SPEC)
    assert out.index.equals(df.index)
    pd.testing.assert_frame_equal(out[df.columns], df)
    assert not np.shares_memory(out["close"].to_numpy(), df["close"].to_numpy())
    for _, g in df.groupby(["EVENT_NAME", "key"], sort=False):
        g = g.sort_values("datetime", kind="stable").astype({"volume": float})
        for name, single in SINGLE.items():
            try:
                r = single(g.reset_index(drop=True))
            except ValueError:  # adosc and hma raise where an inner window is too long
                r = None
            want = np.full(len(g), np.nan) if r is None else r.to_numpy()
            np.testing.assert_array_equal(out.loc[g.index, name].to_numpy(), want, err_msg=f"{name}, {len(g)} rows")
    # Rows whose key is missing belong to no group.
    assert out.loc[df["key"].isna(), list(SPEC)].isna().all().all()
    # The same values without `order` once the input is in time order; a Categorical key.
    cat = df.sort_values("datetime", kind="stable").astype({"key": "category"})
    pd.testing.assert_frame_equal(ta.grouped(cat, SPEC, by=["EVENT_NAME", "key"])[list(SPEC)].loc[df.index],
                                  out[list(SPEC)])
    empty = ta.grouped(df.iloc[:0], SPEC, by="key")
    assert list(empty.columns) == list(out.columns) and empty.empty


def test_grouped_rejects_bad_specs_before_any_work():
    df = bars()
    cases = [
        ({"x": ("macd", "close")}, ValueError, "unknown indicator 'macd'"),
        ({"x": ("cmf", "close")}, ValueError, r"takes 4 input columns \(high, low, close, volume\), got 1"),
        ({"x": ("ema", "close", {"length": "20"})}, TypeError, "Argument 'length' has incorrect type"),
        ({"x": ("ema", 3)}, TypeError, "inputs must be a column name"),
        ({"x": "ema"}, TypeError, r"expected a tuple \(name, inputs\[, params\]\)"),
        ({"x": ("ema", "nope")}, KeyError, "no column 'nope'"),
        ({"x": ("ema", "key")}, TypeError, "input column 'key' is not numeric"),
        ({"close": ("ema", "close")}, ValueError, "'close' is already a column"),
    ]
    for spec, err, text in cases:
        with pytest.raises(err, match=text):
            ta.grouped(df, spec)
    with pytest.raises(KeyError, match="no column 'sym'"):
        ta.grouped(df, {"x": ("ema", "close")}, by="sym")
    with pytest.raises(TypeError, match="order column 'key'"):
        ta.grouped(df, {"x": ("ema", "close")}, order="key")
    # Raised while the groups are formed (on the worker thread), reaching the caller.
    with pytest.raises(ValueError, match="order column holds a missing value"):
        ta.grouped(df.assign(t=np.where(df["key"] == "spx", np.nan, 1.0)), {"x": ("ema", "close")}, order="t")


def test_light_single_call_gives_the_same_series():
    idx = pd.date_range("2024-01-05 09:30", periods=40, freq="min", tz="America/New_York", name="datetime")
    s = pd.Series(np.linspace(1, 5, 40) ** 2, index=idx, name="close")
    for r in (overlap.sma(s, 5), overlap.ma("wma", s), volume.cmf(s + 1, s - 1, s, s * 0 + 10)):
        assert r.index is idx and r.dtype == np.float64
        assert r.category == r.attrs["category"] and r.category in ("overlap", "volume")
    r = overlap.sma(s, 5)
    assert r.name == "SMA_5" and np.isnan(r.iloc[:4]).all() and r.iloc[4] == pytest.approx(s.iloc[:5].mean())
    # Inputs on different labels take the general path and align.
    shifted = pd.Series(s.to_numpy(), index=idx + pd.Timedelta("1min"))
    h = overlap.hlc3(s, shifted, s)
    assert len(h) == 41 and h.isna().sum() == 2 and h.index.tz is not None
    # An int Series (not float64 values) takes the general path too.
    assert overlap.ema(pd.Series(range(20)), 3).equals(overlap.ema(pd.Series(range(20), dtype=float), 3))
