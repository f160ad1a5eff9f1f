"""quorin_data.from_bqia.barwork from Python: signatures and errors at the
boundary, the event road on the chosen stand-ins, and the forwarding to a
Python intraday-bars package (a fake of its shape)."""
import inspect

import numpy as np
import pandas as pd
import pytest

import quorin_data
from conftest import run_python
from quorin_data import _quorin
from quorin_data.from_bqia import barwork, bqia, bql, querywork

E = inspect.Parameter.empty
PKGS = ["equity", "macro", "fixed-income"]


@pytest.fixture()
def no_package():
    _quorin.barwork.clear_provider()
    _quorin.barwork.reset()
    yield
    _quorin.barwork.clear_provider()
    _quorin.barwork.reset()


def test_signatures_and_errors(no_package):
    params = inspect.signature(barwork.get_intraday_bars).parameters
    assert [(n, p.default) for n, p in params.items()] == [
        ("dict_sec_pcs", {"spx": ("spx index", "")}), ("dict_fut", None), ("start", "2024-06-01"),
        ("end", "2024-07-01"), ("security_id_type", "custom"), ("downsample_freq", None), ("tz", None),
        ("packages", PKGS), ("add_description", True)]
    assert [(n, p.default) for n, p in inspect.signature(barwork.filter_bars_around_events).parameters.items()] == [
        ("df_bars", E), ("df_calendar", E), ("pre_event_window", -5), ("post_event_window", 10)]
    assert inspect.signature(barwork.set_intraday_config).parameters["packages"].default == PKGS
    assert barwork.PACKAGES == ["macro", "equity", "fixed-income"] and barwork.bqia is None
    assert not bqia.python_bqia_active()
    # Without a chosen package there is none: the calls that need it say so.
    with pytest.raises(NameError, match="^name 'bqia' is not defined$"):
        barwork.get_roll_config({"es1": ("ES", "Index", 5)})
    with pytest.raises(NameError, match="^name 'bqia' is not defined$"):
        barwork.set_intraday_config()
    bqia.use_local_package(bqia.sample_folder())
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$"):
        barwork.get_roll_config({"es1": ("ES", "Index", 5, 1)})
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        barwork.get_roll_config({"es1": ["ES"]})
    with pytest.raises(TypeError, match=r"^Argument 'pre_event_window' has incorrect type \(expected int, got str\)$"):
        barwork.get_event_metadata(pd.DataFrame(), "-5")
    with pytest.raises(TypeError, match="Argument 'roll_config' has incorrect type"):
        barwork.set_intraday_config(roll_config={"es1": 1})
    with pytest.raises(quorin_data.PackageError, match="ZZ"):
        barwork.get_intraday_bars(None, {"zz1": ("ZZ", "Index", 1)}, add_description=False)


def test_event_road_on_the_chosen_stand_ins(no_package):
    bq = bql.use_local_service(bql.sample_folder())
    pkg = bqia.use_local_package(bqia.sample_folder())
    cal = querywork.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="America/New_York")
    bars = barwork.get_intraday_bars({"spx": ("SPX Index", ""), "eur": ("EURUSD Curncy", "BGN")},
                                     {"es1": ("ES", "Index", 5)}, start="2024-01-01", end="2024-12-31",
                                     tz="America/New_York")
    cfg = pkg.config()
    assert cfg["security_id_mapping"]["figi"].str.endswith(".BGN").tolist() == [False, True]
    assert cfg["futures_roll_factory"].mapping == {"es1": ("ES", "Index", 5)}
    assert str(bars["datetime"].dtype) == "datetime64[ns, America/New_York]"
    assert list(bars["key"].unique()) == ["spx", "eur", "es1"] and bars["parsekey"].iloc[0] == "SPX Index"
    w = barwork.filter_bars_around_events(bars, cal)
    assert list(w.columns[:6]) == ["EVENT_NAME", "event_datetime", "time_diff", "datetime", "security", "key"]
    assert w["time_diff"].between(-5, 10).all() and len(w) > 0
    assert (w["datetime"] - w["event_datetime"] == pd.to_timedelta(w["time_diff"], unit="min")).all()
    assert barwork.filter_bars_around_events(bars, cal, 3, 2).empty
    s = barwork.event_move_summary(w, quantiles=[0.05, 0.5, 0.975])
    assert list(s.columns) == ["key", "time_diff", "count", "mean_move", "mean_move_bp", "std_move_bp",
                               "se_move_bp", "t_stat", "share_up", "q05_move_bp", "q50_move_bp", "q97.5_move_bp"]
    assert (s.loc[s["time_diff"] == -5, "mean_move"] == 0).all()
    # The figures against pandas' own over the same moves (one bar per window and offset).
    one = w.drop_duplicates(["EVENT_NAME", "event_datetime", "key", "datetime"])
    base = one[one["time_diff"] == -5].set_index(["EVENT_NAME", "event_datetime", "key"])["close"]
    one = one.join(base.rename("base"), on=["EVENT_NAME", "event_datetime", "key"]).dropna(subset=["base"])
    bp = (1e4 * (one["close"] - one["base"]) / one["base"]).groupby([one["key"], one["time_diff"]])
    want = pd.DataFrame({"std_move_bp": bp.std(), "se_move_bp": bp.sem(), "share_up": bp.apply(lambda m: (m > 0).mean()),
                         "q05_move_bp": bp.quantile(0.05), "q97.5_move_bp": bp.quantile(0.975)})
    got = s.set_index(["key", "time_diff"]).loc[want.index, want.columns]
    pd.testing.assert_frame_equal(got, want, check_names=False, rtol=1e-9)
    assert np.allclose(s["t_stat"].dropna(), (s["mean_move_bp"] / s["se_move_bp"]).dropna())
    with pytest.raises(ValueError, match="quantiles must lie in"):
        barwork.event_move_summary(w, quantiles=[1.5])
    fig = barwork.plot_event_summary(s, title="moves")
    assert type(fig).__name__ == "Figure" and len(fig.axes) == s["key"].nunique()
    assert len(fig.axes[0].collections) == 1 and len(fig.axes[0].lines) >= 1  # the band and the mean
    barwork.set_intraday_config()
    assert pkg.config() == {"enabled_packages": PKGS}


def test_forwarding_to_a_python_intraday_package():
    code = """
import pandas as pd
import bql
from bloomberg.bquant import intraday
from quorin_data.from_bqia import barwork, bqia

assert barwork.bqia is intraday and bqia.python_bqia_active() and isinstance(barwork.bq, bql.Service)
bars = barwork.get_intraday_bars({"spx": ("SPX Index", ""), "eur": ("EURUSD Curncy", "BGN")},
                                 {"es1": ("ES", "Index", 5)}, start="2024-01-05", tz="America/New_York",
                                 downsample_freq="5min")
(c1, cfg), (c2, query) = intraday.CALLS
assert (c1, c2) == ("set_config", "get_bars")
assert list(cfg) == ["security_id_mapping", "futures_roll_factory", "enabled_packages"]
ids = cfg["security_id_mapping"]
assert list(ids.columns) == ["custom", "parsekey", "figi"] and ids["figi"].iloc[1].endswith(".BGN")
roll = cfg["futures_roll_factory"].configs["es1"]
assert isinstance(roll, intraday.FuturesRollConfig) and roll.args == ("ES", "Index", pd.DateOffset(days=5))
assert cfg["enabled_packages"] == ["equity", "macro", "fixed-income"]
assert query == dict(securities=["spx", "eur", "es1"], security_id_type="custom", start="2024-01-05",
                     end="2024-07-01", tz="America/New_York", downsample_freq="5min")
assert list(bars.columns) == ["security", "key", "datetime", "close", "short_name", "parsekey"]
assert str(bars["datetime"].dtype) == "datetime64[ns, America/New_York]" and len(bars) == 6

# The package's own factory, and the caller's objects, reach set_config as given.
factory = barwork.get_roll_config({"es1": ("ES", "Index", 5)})
assert isinstance(factory, intraday.FuturesRollFactory)
barwork.set_intraday_config(ids, factory, packages=["macro"])
cfg = intraday.CALLS[-1][1]
assert cfg["security_id_mapping"] is ids and cfg["futures_roll_factory"] is factory
barwork.set_intraday_config()
assert intraday.CALLS[-1][1] == {"enabled_packages": ["equity", "macro", "fixed-income"]}
intraday.CALLS[-1][1]["enabled_packages"].append("x")  # the package keeps and changes what it got
barwork.set_intraday_config()
assert intraday.CALLS[-1][1] == {"enabled_packages": ["equity", "macro", "fixed-income"]}

# Without descriptions, no query after the id mapping; package errors arrive unchanged.
n = len(bql.CALLS)
barwork.get_intraday_bars(add_description=False)
assert len(bql.CALLS) == n + 1
def failing(**kw):
    raise KeyError("down")
intraday.get_bars = failing
try:
    barwork.get_intraday_bars(add_description=False)
except KeyError as e:
    assert e.args == ("down",)
else:
    raise AssertionError("no error")
print("ok")
"""
    assert run_python(code, fake_bql=True).stdout == "ok\n"


def test_load_time_values_and_warnings():
    probe = ("import warnings\n"
             "warnings.simplefilter('always')\n"
             "with warnings.catch_warnings(record=True) as w:\n"
             "    from quorin_data.from_bqia import barwork\n"
             "print(barwork.SHOW_WARNINGS, barwork.bqia is None, hasattr(barwork, 'bq'))\n"
             "print([str(x.message) for x in w])\n")
    out = run_python(probe, env={"SHOW_WARNINGS": "1"}).stdout.splitlines()
    assert out == ["True True False", "[\"[bqia] 'bqia' is not installed.\", \"'bql' is not installed.\", "
                   "\"[bqia] 'bql' is not installed.\"]"]
    out = run_python(probe, env={"SHOW_WARNINGS": "1"}, fake_bql=True).stdout.splitlines()
    assert out == ["True False True", "[]"]
