"""An event study on the local stand-ins of the query service and the
intraday-bars package: the US economic calendar from December 2023 to 2025 in New York time,
one-minute bars of the S&P 500 index, EUR/USD and the E-mini futures roll, the
bars from 5 minutes before to 10 minutes after every release, a 3-bar EMA of
each window's close (all windows in one call), the summary of the moves (mean,
standard error, t statistic, share up, quartiles) and a plot of the mean move
(in basis points of the price 5 minutes before) by minute offset with a band of
two standard errors, per security. The same study as a notebook:
examples/event_study.ipynb.

    PYTHONPATH=build/python/python /usr/bin/python3 examples/event_study.py [OUT_DIR]

Writes OUT_DIR/event_study.png (OUT_DIR defaults to the current folder). In the
hosted research environment, leave out the two use_local_* calls: the modules
then reach the `bql` and `bloomberg.bquant.intraday` packages.
"""
import os
import sys

from quorin_data import ta
from quorin_data.from_bqia import barwork, bqia, bql, querywork

PRE, POST = -5, 10
SECURITIES = {"spx": ("SPX Index", ""), "eurusd": ("EURUSD Curncy", "BGN")}
FUTURES = {"es1": ("ES", "Index", 5)}  # roll 5 calendar days before the last trade date
ZONE = "America/New_York"
START, END = "2023-12-01", "2025-12-31"
WINDOW = ["EVENT_NAME", "event_datetime", "key"]  # one event window of one security


def main(out_dir):
    bq = bql.use_local_service(bql.sample_folder())
    bqia.use_local_package(bqia.sample_folder())

    calendar = querywork.get_eco_calendar_data(bq, "US", START, END, event_timezone=ZONE)
    print(f"calendar: {len(calendar)} releases, {calendar['EVENT_NAME'].nunique()} events")
    bars = barwork.get_intraday_bars(SECURITIES, FUTURES, start=START, end=END, tz=ZONE)
    print(f"bars: {len(bars)} one-minute bars of {', '.join(bars['key'].unique())}")

    windows = barwork.filter_bars_around_events(bars, calendar, PRE, POST)
    # One row per bar of a window (a release listed twice in the calendar
    # repeats its bars), then the EMA of each window's close in one call.
    windows = windows.drop_duplicates(WINDOW + ["datetime"], ignore_index=True)
    windows = ta.grouped(windows, {"ema_3": ("ema", "close", {"length": 3, "sma": False})}, by=WINDOW,
                         order="datetime")
    print(f"windows: {len(windows)} bars from {PRE} to +{POST} minutes around the releases")

    close = barwork.event_move_summary(windows, PRE, price="close")
    print(close.pivot(index="time_diff", columns="key", values="mean_move_bp").round(2).to_string())
    after = close[close["time_diff"] == POST].set_index("key")
    print(after[["count", "mean_move_bp", "se_move_bp", "t_stat", "share_up", "q25_move_bp", "q75_move_bp"]]
          .round(3).to_string())

    fig = barwork.plot_event_summary(close, title="Mean move by minute around US economic releases")
    ema = barwork.event_move_summary(windows, PRE, price="ema_3")
    for ax, key in zip(fig.axes, close["key"].unique()):
        e = ema[ema["key"] == key]
        ax.plot(e["time_diff"], e["mean_move_bp"], linestyle="--", label="EMA(3) of close")
    fig.axes[0].legend(fontsize="small")
    path = os.path.join(out_dir, "event_study.png")
    fig.savefig(path, dpi=100)
    print(f"plot: {path}")
    return path


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
