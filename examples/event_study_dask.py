"""The event study of event_study.py on a Dask cluster: bars fetched per
security and quarter on the workers, a 20-bar SMA and a Chaikin money flow
per security, the windows around every US release, and the mean move by
minute offset, of which only the small table comes back. Runs on a local
cluster of two worker processes with the local stand-ins of the query
service and the intraday-bars package.

    PYTHONPATH=build/python/python /usr/bin/python3 examples/event_study_dask.py [SCHEDULER_ADDRESS]

With a scheduler address it uses that cluster instead (its workers need the
same quorin_data build, and in the hosted research environment no stand-in:
leave out local_service and local_package, and the use_local_* calls).
"""
import sys

import distributed

import quorin_data.dask as qd
from quorin_data.from_bqia import bqia, bql, querywork

PRE, POST = -5, 10
SECURITIES = {"spx": ("SPX Index", ""), "eurusd": ("EURUSD Curncy", "BGN"), "ibm": ("IBM US Equity", "")}
FUTURES = {"es1": ("ES", "Index", 5)}
ZONE = "America/New_York"
START, END = "2023-12-01", "2025-12-31"


def main(address=None):
    cluster = None
    if address is None:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=":0")
        address = cluster
    with distributed.Client(address) as client:
        # Every worker, and every worker that joins later, gets the stand-ins.
        qd.connect(client, local_service=bql.sample_folder(), local_package=bqia.sample_folder())
        # The calendar is small: fetched here once, and sent once to the workers.
        bq = bql.use_local_service(bql.sample_folder())
        calendar = querywork.get_eco_calendar_data(bq, "US", START, END, event_timezone=ZONE)

        # One partition per security and quarter, each one get_intraday_bars call.
        bars = qd.intraday_bars(SECURITIES, FUTURES, start=START, end=END, tz=ZONE, chunk="QS")
        # Windowed indicators run on the quarters (each reads the bars it needs
        # from the quarter before); an EMA would need whole securities.
        bars = qd.indicators(bars, {"sma_20": ("sma", "close", {"length": 20}),
                                    "cmf_20": ("cmf", ("high", "low", "close", "volume"), {"length": 20})})
        windows = qd.filter_bars_around_events(bars, calendar, PRE, POST)
        print(f"{bars.npartitions} partitions of bars, {len(calendar)} releases")

        close = qd.event_move_summary(windows, PRE, price="close")
        sma = qd.event_move_summary(windows, PRE, price="sma_20")
        print("mean move from the bar at -5 min (bp), close:")
        print(close.pivot(index="time_diff", columns="key", values="mean_move_bp").round(2).to_string())
        print("windows per key:", close[close["time_diff"] == PRE].set_index("key")["count"].to_dict())
        print("mean move of the 20-bar SMA at +10 min (bp):",
              sma[sma["time_diff"] == POST].set_index("key")["mean_move_bp"].round(2).to_dict())
    if cluster is not None:
        cluster.close()
    return close


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
