"""The modules as a notebook sees them: names, signatures, defaults, module
values, documentation texts, errors and keyword handling at the boundary."""
import gc
import inspect

import numpy as np
import pandas as pd
import pytest

from quorin_data import _quorin
from quorin_data.from_s3 import bucketry, snapshelf
from quorin_data.ta import overlap, utils, volume

E = inspect.Parameter.empty


def sig(fn):
    return [(p.name, p.default if p.kind != p.VAR_KEYWORD else "**") for p in
            inspect.signature(fn).parameters.values()]


def test_signatures_defaults_and_module_values():
    assert bucketry.PREFIX == "trelux_common_s3"
    assert isinstance(bucketry.SHOW_WARNINGS, bool)
    assert sig(bucketry.read_from_s3)[:6] == [
        ("file_path", E), ("data_format", E), ("bucket", bucketry.BUCKET),
        ("prefix", "trelux_common_s3"), ("by_chunks", False), ("chunksize", 100000)]
    assert sig(bucketry.write_to_s3) == [
        ("data", E), ("file_path", E), ("data_format", E), ("index", True),
        ("bucket", bucketry.BUCKET), ("prefix", "trelux_common_s3")]
    assert sig(bucketry.read_by_chunks) == [("bucket", bucketry.BUCKET), ("key", ""), ("chunksize", 100000)]
    assert sig(snapshelf.SPLC.__init__)[:4] == [("self", E), ("as_of_date", None), ("dataset", "supplier"), ("bq", None)]
    assert [(p.name, p.kind) for p in inspect.signature(snapshelf.SPLC.__init__).parameters.values()][4:] == [
        ("store", inspect.Parameter.KEYWORD_ONLY)]
    assert sig(snapshelf.ticker_to_figi) == [("tickers", E), ("bq", E)]
    assert snapshelf.SPLC.folder_path == "alt_data/supply_chain/dl/datasets"
    assert snapshelf.SPLC.dataset_names == {"supplier": "supplyChainHistoryV2", "customer": "supplyChainHistoryV2",
                                            "competitor": "supplyChainCompetitorsHistory"}
    assert snapshelf.SPLC.file_path_func("n", "20240105") == \
        "alt_data/supply_chain/dl/datasets/n/snapshots/20240105/distributions/n.csv.gz"
    assert snapshelf.S3Data.__doc__ == "\n    A base class for S3 data models.\n    "
    assert snapshelf.SPLC.__doc__ == "Supply Chain/Competitor APIs."
    assert snapshelf.SPLC._load_snapshot.__doc__ == "Retrieve the latest snapshot."
    assert snapshelf.ticker_to_figi.__doc__.startswith("Convert parsekey tickers to FIGI codes.")
    assert "The dictionary of FIGI:parsekey." in snapshelf.figi_to_ticker.__doc__
    with pytest.raises(TypeError):
        snapshelf.S3Data()
    assert sig(overlap.wma) == [("close", E), ("length", None), ("asc", True), ("offset", None), ("kwargs", "**")]
    assert sig(overlap.vwap) == [("high", E), ("low", E), ("close", E), ("volume", E), ("anchor", None),
                                 ("offset", None), ("kwargs", "**")]
    assert sig(overlap.ma) == [("mode", E), ("source", E), ("kwargs", "**")]
    assert sig(volume.adosc) == [("high", E), ("low", E), ("close", E), ("volume", E), ("fast", None),
                                 ("slow", None), ("offset", None), ("kwargs", "**")]
    assert overlap.__doc__ == "Overlap indicators: moving averages and related."
    assert volume.__doc__ == "Volume indicators: OBV, A/D Line, A/D Oscillator, Chaikin Money Flow."
    assert overlap.rma.__doc__ == "Wilder's Moving Average (RMA): EMA with alpha = 1/length."
    assert volume.ema is overlap.ema and callable(volume.get_drift)


def test_error_classes_and_texts():
    with pytest.raises(ValueError) as e:
        bucketry.read_from_s3("a.json", "json")
    assert str(e.value) == 'data_format="json" is not valid. Only ("pickle", "csv", "csv.gz", "xlsx") are allowed.'
    with pytest.raises(ValueError, match=r'^data_format="CSV" is not valid. Only \("pickle", "bytesio"'):
        bucketry.write_to_s3(pd.DataFrame(), "a", "CSV")
    with pytest.raises(TypeError) as e:
        bucketry.list_s3_objects(5)
    assert str(e.value) == "Argument 'folder_path' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError, match="'chunksize' has incorrect type"):
        bucketry.read_from_s3("a.csv", "csv", chunksize=[1])
    with pytest.raises(AssertionError, match=r"^`data` must be passed in as a string for `local_file_path`.$"):
        bucketry.write_to_s3(b"x", "a", "local_file_path")
    with pytest.raises(ValueError, match="does not match format '%Y%m%d'"):
        snapshelf.get_next_friday("2024-01-03")
    with pytest.raises(TypeError, match="Argument 'date_string' has incorrect type"):
        snapshelf.get_next_friday(20240103)
    with pytest.raises(NameError, match="name 'bq' is not defined"):
        _quorin.bql._run_sample_requests(None)  # a call that needs a handle, without one
    s = pd.Series(np.arange(30.0))
    with pytest.raises(TypeError) as e:
        overlap.sma(s, length="10")
    assert str(e.value) == "Argument 'length' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError, match="Argument 'mode' has incorrect type \\(expected str, got NoneType\\)"):
        overlap.ma(None, s)
    with pytest.raises(TypeError, match="Argument 'anchor'"):
        overlap.vwap(s, s, s, s, anchor=1)


def test_indicator_keywords_defaults_and_results():
    s = pd.Series(np.linspace(1.0, 30.0, 30))
    assert overlap.sma(s, 14.9).name == "SMA_14"
    assert overlap.sma(s, -5).name == "SMA_10"
    r = overlap.sma(s, 10, min_periods=3)
    assert np.isnan(r[1]) and r[2] == pytest.approx(s[:3].mean())
    pd.testing.assert_series_equal(overlap.ma("EMA", s, length=20), overlap.ema(s, length=20))
    assert overlap.ma("xyz", s).name == "SMA_10" and overlap.ma("vwap", s).name == "SMA_10"
    pd.testing.assert_series_equal(overlap.ma("wma", s, asc=False), overlap.wma(s, asc=False))
    assert overlap.hma(s).name == "HMA_9" and overlap.sma(s).category == "overlap"
    assert overlap.sma(s.iloc[:5]) is None and overlap.sma("not a series") is None
    assert overlap.sma(pd.Series(["a"] * 20)) is None
    h, low, c = pd.Series([3.0, np.nan]), pd.Series([1.0, 1.0]), pd.Series([2.0, 2.0])
    r = overlap.hlc3(h, low, c)
    assert r[0] == 2.0 and np.isnan(r[1]) and r.name == "HLC3"
    tp, vol = pd.Series([10.0, 20.0]), pd.Series([1.0, 3.0])
    assert overlap.vwap(tp, tp, tp, vol, anchor="D").tolist() == [10.0, 17.5]
    r = volume.adosc(s, s - 1, s - 0.5, s, fast=0, slow=-1)
    assert r.name == "ADOSC_3_10" and r.category == "volume"
    assert volume.cmf(s, s - 1, s - 0.5, s, 14.9).name == "CMF_14"
    obv = volume.obv(pd.Series([1.0, 2.0, 1.0, 1.0]), pd.Series([10.0, 20.0, 5.0, 7.0]))
    assert obv.tolist() == [10.0, 30.0, 25.0, 25.0]
    # Fill keywords reach the fill step; integer series are numeric inputs.
    r = overlap.sma(pd.Series(np.arange(12)), 10, fillna=0.0)
    assert r.tolist()[:9] == [0.0] * 9 and r[9] == 4.5
    assert utils.get_offset(2.9) == 2 and utils.get_drift(None) == 1
    assert utils.signed_series(pd.Series([1.0, 2.0, 2.0, 1.0])).tolist() == [1.0, 1.0, 0.0, -1.0]


def test_indicator_index_alignment_and_datetime_labels():
    idx = pd.date_range("2024-01-02 09:30", periods=12, freq="min", tz="America/New_York", name="t")
    close = pd.Series(np.arange(12.0), index=idx)
    r = overlap.wma(close, 3)
    assert r.index.equals(idx) and r.index.name == "t" and r.iloc[-1] == pytest.approx(31 / 3)
    assert r.category == "overlap"
    # Differing integer labels align on their union (missing where one side has none).
    hi = pd.Series([3.0, 4.0, 5.0], index=[0, 1, 2])
    lo = pd.Series([1.0, 2.0, 3.0], index=[1, 2, 3])
    r = overlap.hlc3(hi, lo, hi)
    assert list(r.index) == [0, 1, 2, 3]
    assert np.isnan(r[0]) and r[1] == pytest.approx((4 + 1 + 4) / 3) and np.isnan(r[3])
    # Inputs are never changed.
    before = close.copy()
    overlap.ema(close, 3, fillna=0)
    pd.testing.assert_series_equal(close, before)


def test_indicator_inputs_read_in_place_stay_apart_from_results():
    arr = 100 + np.random.default_rng(5).normal(0, 1, 300).cumsum()
    s = pd.Series(arr.copy())
    r, o = overlap.sma(s, 5, fillna=0.0), volume.obv(s, s)
    assert np.array_equal(s.to_numpy(), arr)
    assert not np.shares_memory(r.to_numpy(), s.to_numpy())
    kept = r.copy(), o.copy()
    s.iloc[10:20] = -1.0
    del s
    gc.collect()
    pd.testing.assert_series_equal(r, kept[0])
    pd.testing.assert_series_equal(o, kept[1])
    # Layouts that cannot be read in place cross as a copy, with the same results.
    plain = overlap.wma(pd.Series(arr), 7)
    for other in (pd.Series(np.repeat(arr, 2)[::2]), pd.Series(arr.astype(">f8"))):
        pd.testing.assert_series_equal(overlap.wma(other, 7), plain)
