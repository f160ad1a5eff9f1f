"""Volume indicators: OBV, A/D Line, A/D Oscillator, Chaikin Money Flow."""
from quorin_data import _quorin
from quorin_data.ta import _index
from quorin_data.ta.overlap import ema  # noqa: F401 (bound by name)
from quorin_data.ta.utils import (  # noqa: F401
    _apply_offset, _handle_fills, get_drift, get_offset, non_zero_range, signed_series, verify_series)

_v = _quorin.volume


def obv(close, volume, offset=None, **kwargs):
    """On-Balance Volume (OBV)."""
    (close, volume), back = _index.encode(close, volume)
    return back(_v.obv(close, volume, offset, kwargs))


def ad(high, low, close, volume, offset=None, **kwargs):
    """Accumulation/Distribution Line (AD)."""
    (high, low, close, volume), back = _index.encode(high, low, close, volume)
    return back(_v.ad(high, low, close, volume, offset, kwargs))


def adosc(high, low, close, volume, fast=None, slow=None, offset=None, **kwargs):
    """Chaikin A/D Oscillator: EMA(fast) - EMA(slow) of AD line."""
    (high, low, close, volume), back = _index.encode(high, low, close, volume)
    return back(_v.adosc(high, low, close, volume, fast, slow, offset, kwargs))


def cmf(high, low, close, volume, length=None, offset=None, **kwargs):
    """Chaikin Money Flow (CMF)."""
    (high, low, close, volume), back = _index.encode(high, low, close, volume)
    return back(_v.cmf(high, low, close, volume, length, offset, kwargs))
