#!/usr/bin/python3
"""Baseline of bench_barwork: the bars-around-events steps written with pandas.

usage: pandas_event_bars.py BARS_CSV CALENDAR_CSV ZONE REPEATS
The CSVs hold times as int64 nanoseconds since the epoch (UTC). Prints one
line: "seconds=<best of REPEATS> rows=<result rows>".
"""
import sys
import time

import pandas as pd


def filter_bars_around_events(df_bars, df_calendar, pre_event_window=-5, post_event_window=10):
    temp_data = []
    for event in df_calendar["EVENT_NAME"].unique():
        subset = df_calendar[df_calendar["EVENT_NAME"] == event]
        for event_datetime in subset["event_datetime"].unique():
            event_datetime = pd.Timestamp(event_datetime).floor("min")
            for m in range(pre_event_window, post_event_window + 1):
                temp_data.append((event, event_datetime, event_datetime + pd.Timedelta(minutes=m), m))
    meta = pd.DataFrame(temp_data, columns=["EVENT_NAME", "event_datetime", "datetime", "time_diff"])
    temp = meta.merge(df_bars, on="datetime", how="left")
    temp.dropna(subset=["key"], inplace=True)
    bar_cols = [c for c in df_bars.columns if c != "datetime"]
    temp = temp[["EVENT_NAME", "event_datetime", "time_diff", "datetime"] + bar_cols]
    temp.sort_values(["EVENT_NAME", "event_datetime", "key", "datetime"], inplace=True)
    temp.reset_index(drop=True, inplace=True)
    left = temp.set_index(["EVENT_NAME", "event_datetime"])
    right = df_calendar.reset_index().set_index(["EVENT_NAME", "event_datetime"])
    return left.join(right, how="left").reset_index()


def main():
    bars_csv, calendar_csv, zone, repeats = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    bars = pd.read_csv(bars_csv)
    bars["datetime"] = pd.to_datetime(bars["datetime"], unit="ns", utc=True).dt.tz_convert(zone)
    cal = pd.read_csv(calendar_csv, index_col=0)
    cal["event_datetime"] = pd.to_datetime(cal["event_datetime"], unit="ns", utc=True).dt.tz_convert(zone)
    best = None
    rows = 0
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = filter_bars_around_events(bars, cal)
        dt = time.perf_counter() - t0
        rows = len(out)
        best = dt if best is None else min(best, dt)
        del out
    print(f"seconds={best:.6f} rows={rows}")


if __name__ == "__main__":
    main()
