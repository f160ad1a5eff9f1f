"""Overlap indicators: moving averages and related."""
from quorin_data import _quorin
from quorin_data.ta import _series
from quorin_data.ta.utils import _apply_offset, _handle_fills, get_offset, verify_series  # noqa: F401

_o = _quorin.overlap
_l = _quorin.ta_light
_light = _series.light


def _one(fn, light, close, length, offset, kwargs):
    r, done = _light(light, (close,), length, offset, kwargs)
    if done:
        return r
    (close,), back = _series.encode(close)
    return back(fn(close, length, offset, kwargs))


def sma(close, length=None, offset=None, **kwargs):
    """Simple Moving Average (SMA)."""
    return _one(_o.sma, _l.sma, close, length, offset, kwargs)


def ema(close, length=None, offset=None, **kwargs):
    """Exponential Moving Average (EMA)."""
    return _one(_o.ema, _l.ema, close, length, offset, kwargs)


def rma(close, length=None, offset=None, **kwargs):
    """Wilder's Moving Average (RMA): EMA with alpha = 1/length."""
    return _one(_o.rma, _l.rma, close, length, offset, kwargs)


def wma(close, length=None, asc=True, offset=None, **kwargs):
    """Weighted Moving Average (WMA) with linearly increasing weights."""
    r, done = _light(_l.wma, (close,), length, asc, offset, kwargs)
    if done:
        return r
    (close,), back = _series.encode(close)
    return back(_o.wma(close, length, asc, offset, kwargs))


def dema(close, length=None, offset=None, **kwargs):
    """Double Exponential Moving Average (DEMA)."""
    return _one(_o.dema, _l.dema, close, length, offset, kwargs)


def tema(close, length=None, offset=None, **kwargs):
    """Triple Exponential Moving Average (TEMA)."""
    return _one(_o.tema, _l.tema, close, length, offset, kwargs)


def hma(close, length=None, offset=None, **kwargs):
    """Hull Moving Average (HMA): WMA(2*WMA(n/2) - WMA(n), sqrt(n))."""
    return _one(_o.hma, _l.hma, close, length, offset, kwargs)


def hlc3(high, low, close, offset=None, **kwargs):
    """Typical Price: (High + Low + Close) / 3."""
    r, done = _light(_l.hlc3, (high, low, close), offset, kwargs)
    if done:
        return r
    (high, low, close), back = _series.encode(high, low, close)
    return back(_o.hlc3(high, low, close, offset, kwargs))


def vwap(high, low, close, volume, anchor=None, offset=None, **kwargs):
    """Volume Weighted Average Price (VWAP)."""
    r, done = _light(_l.vwap, (high, low, close, volume), anchor, offset, kwargs)
    if done:
        return r
    (high, low, close, volume), back = _series.encode(high, low, close, volume)
    return back(_o.vwap(high, low, close, volume, anchor, offset, kwargs))


def ma(mode, source, **kwargs):
    """Dispatch to a moving-average function by name."""
    r, done = _light(lambda s, *a: _l.ma(mode, s, *a), (source,), kwargs)
    if done:
        return r
    (source,), back = _series.encode(source)
    return back(_o.ma(mode, source, kwargs))
