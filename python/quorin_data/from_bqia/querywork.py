"""Query-service utilities: date-range splitting by year, sign and time-zone
helpers, event-time rounding, the economic calendar and identifier/FIGI
mappings.

Module values: ``SHOW_WARNINGS``; ``bql_Service`` (``bql.Service``, or None
when the ``bql`` package is not importable); ``bq`` (the module's handle,
only when ``bql`` is importable; the mappings use it).
"""

import quorin_data as _pkg
from quorin_data import _quorin

_q = _quorin.querywork

SHOW_WARNINGS = _q.SHOW_WARNINGS
_q.load()

bql_Service = _pkg._bql.Service if _pkg._bql is not None else None
if bql_Service is not None:
    bq = bql_Service()


def _split_date_range(bq, start, end):
    """The calendar years spanned by the trading dates between start and end."""
    return _q._split_date_range(bq, start, end)


def _on_request_error(*args):
    """Ignores a failed request of a batch."""


def _invert_sign(sign):
    """'-' gives '+', '+' gives '-', anything else None."""
    return _q._invert_sign(sign)


def convert_tz(custom_timezone):
    """The zone of a calendar zone text such as "GMT+08:00" (Etc/GMT-8)."""
    return _q.convert_tz(custom_timezone)


def round_event_datetime(datetime_obj, round_down=True):
    """The timestamp rounded to its minute (down, or up when round_down is False)."""
    return _q.round_event_datetime(datetime_obj, bool(round_down))


def get_eco_calendar_data(bq, universe, start, end, tickers=None, subtype="all", relevancy="medium",
                          view="extended", event_timezone=None, verbose=False):
    """The economic calendar of `universe` from `start` to `end`, one request
    per year; with `event_timezone`, the columns event_datetime, event_date,
    event_time and event_timezone."""
    return _q.get_eco_calendar_data(bq, universe, start, end, tickers, subtype, relevancy, view,
                                    event_timezone, bool(verbose))


def get_id_to_figi_mapping(universe, figi_col_name="figi", id_col_name="parsekey", tickers_to_add_pcs=None):
    """function to map input id to figi"""
    if tickers_to_add_pcs is not None and not isinstance(tickers_to_add_pcs, list):
        tickers_to_add_pcs = list(tickers_to_add_pcs)
    return _q.get_id_to_figi_mapping(universe, figi_col_name, id_col_name, tickers_to_add_pcs)


def get_figi_to_id_mapping(universe, figi_col_name="figi", id_col_name="short_name", id_data_item="name"):
    """function to map figi to parsekey"""
    return _q.get_figi_to_id_mapping(universe, figi_col_name, id_col_name, id_data_item)
