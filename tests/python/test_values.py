"""Values crossing between pandas/Python and the library."""
import datetime as dt
import gc
import io
import os
import sys

import numpy as np
import pandas as pd
import pytest

from quorin_data._quorin import values as V


def frame_of_every_dtype():
    return pd.DataFrame({
        "f": [1.5, np.nan, -0.0],
        "f32": np.array([1.25, 2.5, np.nan], dtype=np.float32),
        "i": np.array([1, -(2**63), 2**63 - 1], dtype=np.int64),
        "i8": np.array([1, 2, 3], dtype=np.int8),
        "I": pd.array([1, None, 3], dtype="Int64"),
        "b": [True, False, True],
        "B": pd.array([True, None, False], dtype="boolean"),
        "t": ["a", None, "é\udcff"],  # a lone surrogate stands for a byte that is not UTF-8
        "s": pd.array(["x", None, "z"], dtype="string"),
        "cat": pd.Categorical(["u", "v", None]),
        "d": [dt.date(2024, 1, 5), None, dt.date(1900, 2, 28)],
        "tod": [dt.time(9, 30), dt.time(23, 59, 59, 999999), None],
        "ts": pd.to_datetime(["2024-01-05 09:30:00.123456789", None, "1970-01-01"]),
        "tz": pd.to_datetime(["2024-03-10 06:59", None, "2024-11-03 05:30"]).tz_localize("UTC")
                .tz_convert("America/New_York"),
    })


def test_every_dtype_crosses_both_ways_with_missing_values():
    df = frame_of_every_dtype()
    back = V.roundtrip(df, True)
    expected = df.copy()
    # Narrower numbers widen exactly; text-like columns come back as object.
    expected["f32"] = expected["f32"].astype(np.float64)
    expected["i8"] = expected["i8"].astype(np.int64)
    for c in ("s", "cat"):
        expected[c] = expected[c].astype(object).where(expected[c].notna(), None)
    pd.testing.assert_frame_equal(back, expected)
    assert back["t"][2] == "é\udcff"
    assert str(back["tz"].dtype) == "datetime64[ns, America/New_York]"
    # The same through our "pickle" bytes.
    pd.testing.assert_frame_equal(V.deserialize(V.serialize(df)), back)


def test_values_that_cannot_cross_are_refused_not_changed():
    with pytest.raises(OverflowError):
        V.roundtrip(pd.DataFrame({"u": np.array([2**63], dtype=np.uint64)}))
    with pytest.raises(ValueError, match="int64 range"):
        V.roundtrip(2**64)
    with pytest.raises(TypeError, match="timedelta"):
        V.roundtrip(pd.DataFrame({"td": pd.to_timedelta([1, 2], unit="s")}))
    with pytest.raises(TypeError, match="mixed|types"):
        V.roundtrip(pd.DataFrame({"o": ["a", 1]}))
    with pytest.raises(TypeError, match='cannot be stored with "pickle"'):
        V.roundtrip((1, 2), True)
    with pytest.raises(TypeError, match="index of dtype float64"):
        V.roundtrip(pd.DataFrame({"a": [1.0]}, index=[0.5]))
    with pytest.raises(ValueError, match="IANA"):
        V.roundtrip(dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2))))
    # Bools among numbers, and integers float64 cannot hold among floats.
    for cells in ([True, 1, 2], [np.True_, 1.5]):
        with pytest.raises(TypeError, match="bool"):
            V.roundtrip(pd.DataFrame({"m": pd.array(cells, dtype=object)}))
    for big in (2**53 + 1, 2**63 - 1):
        with pytest.raises(ValueError, match="'x'.*cannot hold exactly"):
            V.roundtrip(pd.DataFrame({"x": pd.array([1, big, 0.5], dtype=object)}))


def test_plain_values_read_back_equal():
    values = [None, True, 0, -(2**63), 1.5, float("inf"), "", "x\u00e9", b"\x00\xff",
              [1, [2, "a"]], {"k": {"n": None}, "d": dt.date(2024, 1, 5)},
              dt.date(1, 1, 1), dt.datetime(2024, 1, 5, 9, 30, 0, 5),
              pd.Timestamp("2024-01-05 09:30:00.000000001", tz="Asia/Tokyo")]
    for v in values:
        back = V.deserialize(V.serialize(v))
        assert back == v, v
        if not isinstance(v, dt.datetime):  # datetimes come back as pandas Timestamps
            assert type(back) is type(v), v
    buf = io.BytesIO(b"abcdef")
    buf.seek(2)
    back = V.roundtrip(buf, True)
    assert isinstance(back, io.BytesIO) and back.getvalue() == b"abcdef" and back.tell() == 2
    s = pd.Series([1.0, np.nan], index=pd.Index(["a", "b"], name="ID"), name="px")
    s.category = "overlap"
    back = V.deserialize(V.serialize(s))
    pd.testing.assert_series_equal(back, s)
    assert back.category == "overlap"


def test_index_kinds():
    for idx in (pd.RangeIndex(5, 8), pd.Index([3, 1, 2], dtype=np.int64, name="n"),
                pd.Index(["X", "Y", "Z"], name="ID"), pd.RangeIndex(0, 6, 2)):
        df = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=idx)
        pd.testing.assert_frame_equal(V.roundtrip(df), df, check_index_type=False)
        assert V.roundtrip(df).index.name == idx.name
    assert isinstance(V.roundtrip(pd.DataFrame({"a": [1.0]}, index=pd.RangeIndex(4, 5))).index,
                      pd.RangeIndex)


def test_float64_columns_leave_cpp_without_a_copy():
    df, address = V.make_frame(1000)
    arr = df["x"].to_numpy()
    assert arr.__array_interface__["data"][0] == address
    del df
    gc.collect()
    junk = [np.ones(1000) for _ in range(50)]  # reuse freed memory if it was freed
    assert arr[999] == 499.5 and arr[1] == 0.5
    del junk


def test_text_columns_come_back_equal_with_repeats_sharing_one_str():
    n = 70_000  # past the sample that decides whether a column repeats itself
    rng = np.random.default_rng(3)
    # Texts of every length up to 24 that differ from each other in one byte only.
    near = [("a" * n)[:k] + "b" + ("a" * n)[k + 1:] for n in range(1, 25) for k in range(n)]
    near += ["a" * n for n in range(25)]
    codes = np.array([f"C{k:05d}" for k in range(300)] + ["a" * 40, "a" * 39 + "b"] + near, dtype=object)
    df = pd.DataFrame({
        "rep": codes[rng.integers(0, len(codes), n)],
        "gaps": np.where(rng.random(n) < 0.3, None, codes[rng.integers(0, 3, n)]),
        "uniq": [f"u{k}" for k in range(n)],
        "x": np.arange(n, dtype=np.float64),
    })
    back = V.roundtrip(df)
    pd.testing.assert_frame_equal(back, df)
    rep = back["rep"].to_numpy()
    first = {}
    assert all(first.setdefault(t, t) is t for t in rep)  # one object per distinct text
    assert back["gaps"].isna().sum() == df["gaps"].isna().sum()
    # A column long enough to be coded in two halves shares one str across
    # them, and each str holds one reference a cell.
    m = 2**19 + 7
    keys = np.array([f"code-{k:03d}-long-enough" for k in range(50)] + ["short"], dtype=object)
    big = pd.DataFrame({"k": np.where(np.arange(m) % 7 == 0, None, keys[np.arange(m) % 51])})
    del back
    nones = sys.getrefcount(None)
    back = V.roundtrip(big)
    # Each missing cell holds one reference to None (beside a few of pandas' own).
    assert 0 <= sys.getrefcount(None) - nones - (m + 6) // 7 < 100
    pd.testing.assert_frame_equal(back, big)
    cells = back["k"].to_numpy()
    del back
    for at in (1, 50, m - 1):
        t = cells[at]
        same = sum(1 for x in cells if x is t)
        assert same == sum(1 for x in cells if x == t) and sys.getrefcount(t) == same + 2


def test_distinct_texts_out_give_their_memory_back_with_the_frame():
    # Their strs are made in arenas of their own; objects made meanwhile
    # share them, and letting the frame go returns the memory.
    n = 600_000
    df = pd.DataFrame({"u": [f"distinct-{k:012d}" for k in range(n)]})
    held = V.hold_frame(df)
    page = os.sysconf("SC_PAGE_SIZE")

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page

    gc.collect()
    base = rss()
    kept, after = [], []
    for round_ in range(3):
        back = V.release_frame(held)
        kept += [f"kept-{round_}-{k}" for k in range(1000)]
        grown = rss() - base
        assert grown > n * 50
        pd.testing.assert_frame_equal(back, df)
        del back
        gc.collect()
        after.append(rss() - base)
        assert after[-1] < grown / 2
    assert after[-1] - after[0] < n * 10  # a round keeping its strs' memory adds n * 72 bytes
    assert kept[-1] == "kept-2-999" and len(set(kept)) == 3000
