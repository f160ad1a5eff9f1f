"""Series utilities used by the indicators.

verify_series: float64 series as they are, integer and bool series as
float64; other dtypes, non-Series values and series shorter than
`min_length` give None. get_offset: None -> 0, numbers truncated toward zero.
_apply_offset: a positive offset moves values later (like shift). _handle_fills:
keywords `fill_method` ("ffill" or "bfill") then `fillna` (a number); others
are ignored. non_zero_range: high - low with zero ranges replaced by the
float64 epsilon. signed_series: the sign of each change, `initial` in row 0.
get_drift: None, 0 or negative -> 1.
"""
from quorin_data import _quorin
from quorin_data.ta import _series

_u = _quorin.ta_utils


def verify_series(series, min_length=None):
    (series,), back = _series.encode(series)
    return back(_u.verify_series(series, min_length))


def get_offset(offset):
    return _u.get_offset(offset)


def get_drift(drift=None):
    return _u.get_drift(drift)


def _apply_offset(series, offset):
    (series,), back = _series.encode(series)
    return back(_u._apply_offset(series, offset))


def _handle_fills(series, **kwargs):
    (series,), back = _series.encode(series)
    return back(_u._handle_fills(series, kwargs))


def non_zero_range(high, low):
    (high, low), back = _series.encode(high, low)
    return back(_u.non_zero_range(high, low))


def signed_series(series, initial=1):
    (series,), back = _series.encode(series)
    return back(_u.signed_series(series, initial))
