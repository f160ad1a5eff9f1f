"""quorin_data.from_bqia.querywork and ECOEST from Python: signatures, zones
and timestamps at the boundary, the calendar through the local stand-in, the
mappings through a forwarded `bql` package."""
import datetime as dt
import inspect
import zoneinfo

import pandas as pd
import pytest

import quorin_data
from conftest import run_python
from quorin_data.from_bqia import bql as qbql
from quorin_data.from_bqia import querywork
from quorin_data.from_s3 import snapshelf


def test_helpers_signatures_and_values():
    params = inspect.signature(querywork.get_eco_calendar_data).parameters
    assert [(n, p.default) for n, p in params.items()][4:] == [
        ("tickers", None), ("subtype", "all"), ("relevancy", "medium"), ("view", "extended"),
        ("event_timezone", None), ("verbose", False)]
    assert querywork.get_id_to_figi_mapping.__doc__ == "function to map input id to figi"
    assert querywork.get_figi_to_id_mapping.__doc__ == "function to map figi to parsekey"
    assert querywork._invert_sign("-") == "+" and querywork._invert_sign("x") is None
    assert querywork.convert_tz("GMT+08:00") == zoneinfo.ZoneInfo("Etc/GMT-8")
    assert querywork.convert_tz("GMT+05:30").utcoffset(None) == dt.timedelta(hours=5, minutes=30)
    with pytest.raises(KeyError):
        querywork.convert_tz("GMT+15:00")
    t = pd.Timestamp("2024-01-05 08:30:45", tz="America/New_York")
    assert querywork.round_event_datetime(t, round_down=False) == pd.Timestamp("2024-01-05 08:31", tz="America/New_York")
    assert querywork._on_request_error(1, "x") is None
    with pytest.raises(TypeError):
        querywork._on_request_error(code=1)
    assert inspect.signature(snapshelf.ECOEST.get_data).parameters["start"].default is None


def test_calendar_through_the_chosen_stand_in(capfd):
    bq = qbql.LocalService(qbql.sample_folder())
    cal = querywork.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-01-31", tickers=["NFP TCH Index"],
                                          event_timezone="Asia/Tokyo", verbose=True)
    assert cal["event_time"].iloc[0] == dt.time(22, 30)  # 08:30:45 New York, rounded down, in Tokyo
    assert cal["event_date"].iloc[0] == dt.date(2024, 1, 5)
    assert str(cal["event_datetime"].dtype) == "datetime64[ns, Asia/Tokyo]"
    assert "getting data for year 2024" in capfd.readouterr().out


def test_mappings_forwarded_to_the_bql_package():
    code = ("from quorin_data.from_bqia import querywork\n"
            "import bql\n"
            "m = querywork.get_id_to_figi_mapping(['IBM US Equity', 'JPY Curncy'])\n"
            "print(list(m.columns), m['parsekey'].tolist())\n"
            "print(bql.CALLS[-1][0], isinstance(querywork.bq, bql.Service))\n")
    out = run_python(code, fake_bql=True).stdout.splitlines()
    assert out[0] == "['parsekey', 'figi'] ['IBM US Equity', 'JPY Curncy']"
    assert out[1] == "univ.list(['IBM US Equity', 'JPY Curncy']) True"


def test_ecoest_store_errors_reach_python(s3, monkeypatch):
    monkeypatch.setattr(snapshelf.ECOEST, "bucket", s3["bucket"])
    with pytest.raises(quorin_data.StoreError) as e:
        snapshelf.ECOEST()
    assert e.value.status == 404
    with pytest.raises(TypeError, match="Argument 'as_of_date' has incorrect type"):
        snapshelf.ECOEST(as_of_date=20240105)
