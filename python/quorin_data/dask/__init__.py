"""quorin_data on a Dask cluster: the same readers, bars, indicators and event
windows, as Dask collections whose partitions are ordinary calls of the
package on the workers.

    client = distributed.Client(...)
    quorin_data.dask.connect(client)              # every worker, and every new one
    bars = quorin_data.dask.intraday_bars(securities, futures, start=..., end=..., chunk=92)
    bars = quorin_data.dask.indicators(bars, {"sma_20": ("sma", "close", {"length": 20})})
    windows = quorin_data.dask.filter_bars_around_events(bars, calendar)
    summary = quorin_data.dask.event_move_summary(windows)   # a small pandas table

Workers need the same quorin_data build as the client and the store and
library settings (AWS_*, TRELUX_SANDBOX_BUCKET, SHOW_WARNINGS) in their
environment before quorin_data is imported there.
"""
from ._cluster import build_id, connect
from ._collections import ecoest_snapshots, intraday_bars, read_from_s3_many, splc_snapshots
from ._events import event_move_summary, filter_bars_around_events
from ._indicators import indicators
from ._layout import whole_groups

__all__ = ["connect", "build_id", "read_from_s3_many", "intraday_bars", "indicators",
           "filter_bars_around_events", "event_move_summary", "splc_snapshots", "ecoest_snapshots",
           "whole_groups"]
