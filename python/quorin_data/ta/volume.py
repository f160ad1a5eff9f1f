"""Volume indicators: OBV, A/D Line, A/D Oscillator, Chaikin Money Flow."""
from quorin_data import _quorin
from quorin_data.ta import _series
from quorin_data.ta.overlap import ema  # noqa: F401 (bound by name)
from quorin_data.ta.utils import (  # noqa: F401
    _apply_offset, _handle_fills, get_drift, get_offset, non_zero_range, signed_series, verify_series)

_v = _quorin.volume
_l = _quorin.ta_light
_light = _series.light


def obv(close, volume, offset=None, **kwargs):
    """On-Balance Volume (OBV)."""
    r, done = _light(_l.obv, (close, volume), offset, kwargs)
    if done:
        return r
    (close, volume), back = _series.encode(close, volume)
    return back(_v.obv(close, volume, offset, kwargs))


def ad(high, low, close, volume, offset=None, **kwargs):
    """Accumulation/Distribution Line (AD)."""
    r, done = _light(_l.ad, (high, low, close, volume), offset, kwargs)
    if done:
        return r
    (high, low, close, volume), back = _series.encode(high, low, close, volume)
    return back(_v.ad(high, low, close, volume, offset, kwargs))


def adosc(high, low, close, volume, fast=None, slow=None, offset=None, **kwargs):
    """Chaikin A/D Oscillator: EMA(fast) - EMA(slow) of AD line."""
    r, done = _light(_l.adosc, (high, low, close, volume), fast, slow, offset, kwargs)
    if done:
        return r
    (high, low, close, volume), back = _series.encode(high, low, close, volume)
    return back(_v.adosc(high, low, close, volume, fast, slow, offset, kwargs))


def cmf(high, low, close, volume, length=None, offset=None, **kwargs):
    """Chaikin Money Flow (CMF)."""
    r, done = _light(_l.cmf, (high, low, close, volume), length, offset, kwargs)
    if done:
        return r
    (high, low, close, volume), back = _series.encode(high, low, close, volume)
    return back(_v.cmf(high, low, close, volume, length, offset, kwargs))
