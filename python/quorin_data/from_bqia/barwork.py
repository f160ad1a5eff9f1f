"""Intraday event bars: the intraday-bars package's configuration (id
mapping, futures rolls, enabled packages), bar retrieval with descriptions,
and the bars in windows of minutes around economic-calendar events.

Module values: ``SHOW_WARNINGS``; ``PACKAGES``; ``bqia`` (the
``bloomberg.bquant.intraday`` package, or None when it is not importable);
``bql_Service`` and ``bq`` (as in querywork, only when ``bql`` is
importable). The package and the query service are reached through the
connections of ``quorin_data.from_bqia.bqia`` and ``quorin_data.from_bqia.bql``
(local stand-ins only when chosen there).
"""

import quorin_data as _pkg
from quorin_data import _quorin
from quorin_data.from_bqia import bqia as _conn

_w = _quorin.barwork

SHOW_WARNINGS = _w.SHOW_WARNINGS
bqia = _conn.package
_w.load()

bql_Service = _pkg._bql.Service if _pkg._bql is not None else None
if bql_Service is not None:
    bq = bql_Service()

# querywork is bound after the package and the query service were looked for.
from quorin_data.from_bqia import querywork  # noqa: E402,F401
from quorin_data.from_bqia.querywork import get_figi_to_id_mapping, round_event_datetime  # noqa: E402,F401

PACKAGES = list(_w.PACKAGES)


def get_id_mapping(dict_sec_pcs):
    """The FIGI of each security of `dict_sec_pcs` (custom name -> (parsekey,
    pcs)): columns custom, parsekey, figi ("FIGI.pcs" when pcs is not empty);
    securities the service does not resolve are left out."""
    return _w.get_id_mapping(dict_sec_pcs)


def get_roll_config(dict_fut):
    """The package's FuturesRollFactory of `dict_fut` (roll name ->
    (future_root, yellow_key, roll_offset in calendar days))."""
    return _w.get_roll_config(dict_fut)


def set_intraday_config(id_mapping=None, roll_config=None, packages=['equity', 'macro', 'fixed-income']):  # noqa: B006
    """Installs the package's configuration: security_id_mapping and
    futures_roll_factory when given, enabled_packages always."""
    _w.set_intraday_config(id_mapping, roll_config, packages)


def get_intraday_bars(dict_sec_pcs={'spx': ('spx index', '')}, dict_fut=None, start="2024-06-01",  # noqa: B006
                      end="2024-07-01", security_id_type="custom", downsample_freq=None, tz=None,
                      packages=['equity', 'macro', 'fixed-income'], add_description=True):  # noqa: B006
    """Intraday bars of the securities of `dict_sec_pcs` and the futures rolls
    of `dict_fut`, from the package; with `add_description`, each bar's
    short_name and parsekey from the query service."""
    return _w.get_intraday_bars(dict_sec_pcs, dict_fut, start, end, security_id_type, downsample_freq, tz,
                                packages, bool(add_description))


def get_event_metadata(df_calendar, pre_event_window=-5, post_event_window=10):
    """One row per event, release time (rounded down to its minute) and
    offset: EVENT_NAME, event_datetime, datetime (the bar time), time_diff."""
    return _w.get_event_metadata(df_calendar, pre_event_window, post_event_window)


def filter_bars_around_events(df_bars, df_calendar, pre_event_window=-5, post_event_window=10):
    """The bars from `pre_event_window` to `post_event_window` minutes around
    every event release, each with the event's calendar row."""
    return _w.filter_bars_around_events(df_bars, df_calendar, pre_event_window, post_event_window)


def event_move_summary(df_event_bars, pre_event_window=-5, price="close", quantiles=(0.25, 0.5, 0.75)):
    """Per key and time_diff, over the event windows, the move of `price`
    from the window's bar at `pre_event_window`: count, mean_move (price),
    and in basis points of that bar's price mean_move_bp, std_move_bp
    (sample, n - 1), se_move_bp (std / sqrt(count)), t_stat (mean / se),
    share_up (share of windows moving up), then one column per quantile
    (linear interpolation; q25_move_bp, q50_move_bp, q05_move_bp, ...)."""
    if isinstance(quantiles, (int, float)) and not isinstance(quantiles, bool):
        quantiles = [quantiles]
    return _w.event_move_summary(df_event_bars, pre_event_window, price, [float(q) for q in quantiles])


def plot_event_summary(summary, title=None, bands=2.0):
    """A matplotlib Figure of an event_move_summary: one panel per key, the
    mean move in basis points by minute offset with a band of `bands`
    standard errors either side. The Figure is not registered with pyplot, so
    nothing is shown or kept unless the caller displays or saves it (a
    notebook displays it as a cell's value)."""
    from matplotlib.figure import Figure

    keys = list(dict.fromkeys(summary["key"]))
    fig = Figure(figsize=(4 * max(1, len(keys)), 4), layout="tight")
    axes = fig.subplots(1, max(1, len(keys)), sharey=True, squeeze=False)[0]
    for ax, key in zip(axes, keys):
        s = summary[summary["key"] == key]
        x, mean, se = s["time_diff"], s["mean_move_bp"], s["se_move_bp"].fillna(0)
        ax.fill_between(x, mean - bands * se, mean + bands * se, alpha=0.25,
                        label=f"\u00b1{bands:g} standard errors")
        ax.plot(x, mean, marker="o", label="mean move")
        ax.axvline(0, color="grey", linewidth=0.8)
        ax.axhline(0, color="grey", linewidth=0.8)
        ax.set_title(f"{key} ({int(s['count'].max())} event windows)")
        ax.set_xlabel("minutes from the release")
    axes[0].set_ylabel("mean move (bp)")
    if keys:
        axes[0].legend(fontsize="small")
    if title:
        fig.suptitle(title)
    return fig
