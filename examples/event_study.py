"""An event study on the local stand-ins of the query service and the
intraday-bars package: the US economic calendar from December 2023 to 2025 in New York time,
one-minute bars of the S&P 500 index, EUR/USD and the E-mini futures roll, the
bars from 5 minutes before to 10 minutes after every release, a 3-bar EMA of
each window's close, and a plot of the mean move (in basis points of the price
5 minutes before) by minute offset, per security.

    PYTHONPATH=build/python/python /usr/bin/python3 examples/event_study.py [OUT_DIR]

Writes OUT_DIR/event_study.png (OUT_DIR defaults to the current folder). In the
hosted research environment, leave out the two use_local_* calls: the modules
then reach the `bql` and `bloomberg.bquant.intraday` packages.
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from quorin_data.from_bqia import barwork, bqia, bql, querywork  # noqa: E402
from quorin_data.ta import overlap  # noqa: E402

PRE, POST = -5, 10
SECURITIES = {"spx": ("SPX Index", ""), "eurusd": ("EURUSD Curncy", "BGN")}
FUTURES = {"es1": ("ES", "Index", 5)}  # roll 5 calendar days before the last trade date
ZONE = "America/New_York"
START, END = "2023-12-01", "2025-12-31"


def main(out_dir):
    bq = bql.use_local_service(bql.sample_folder())
    bqia.use_local_package(bqia.sample_folder())

    calendar = querywork.get_eco_calendar_data(bq, "US", START, END, event_timezone=ZONE)
    print(f"calendar: {len(calendar)} releases, {calendar['EVENT_NAME'].nunique()} events")
    bars = barwork.get_intraday_bars(SECURITIES, FUTURES, start=START, end=END, tz=ZONE)
    print(f"bars: {len(bars)} one-minute bars of {', '.join(bars['key'].unique())}")

    windows = barwork.filter_bars_around_events(bars, calendar, PRE, POST)
    # One row per bar of a window (a release listed twice in the calendar
    # repeats its bars), then the EMA of each window's close.
    windows = windows.drop_duplicates(["EVENT_NAME", "event_datetime", "key", "datetime"], ignore_index=True)
    windows["ema_3"] = windows.groupby(["EVENT_NAME", "event_datetime", "key"], sort=False)["close"].transform(
        lambda close: overlap.ema(close.reset_index(drop=True), 3, sma=False).to_numpy())
    print(f"windows: {len(windows)} bars from {PRE} to +{POST} minutes around the releases")

    close = barwork.event_move_summary(windows, PRE, price="close")
    ema = barwork.event_move_summary(windows, PRE, price="ema_3")
    print(close.pivot(index="time_diff", columns="key", values="mean_move_bp").round(2).to_string())

    keys = list(close["key"].unique())
    n = windows.drop_duplicates(["EVENT_NAME", "event_datetime", "key"]).groupby("key").size()
    fig, axes = plt.subplots(1, len(keys), figsize=(4 * len(keys), 4), sharey=True, squeeze=False)
    for ax, key in zip(axes[0], keys):
        c, e = close[close["key"] == key], ema[ema["key"] == key]
        ax.plot(c["time_diff"], c["mean_move_bp"], marker="o", label="close")
        ax.plot(e["time_diff"], e["mean_move_bp"], linestyle="--", label="EMA(3) of close")
        ax.axvline(0, color="grey", linewidth=0.8)
        ax.axhline(0, color="grey", linewidth=0.8)
        ax.set_title(f"{key} ({n[key]} event windows)")
        ax.set_xlabel("minutes from the release")
    axes[0][0].set_ylabel(f"mean move from the bar at {PRE} min (bp)")
    axes[0][0].legend(fontsize="small")
    fig.suptitle("Mean move by minute around US economic releases")
    fig.tight_layout()
    path = os.path.join(out_dir, "event_study.png")
    fig.savefig(path, dpi=100)
    print(f"plot: {path}")
    return path


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
