"""The query service from Python: forwarding to a `bql` package, the local
stand-in only when chosen, and the load-time module values and warnings."""
import pytest

from conftest import run_python
from quorin_data import _quorin
from quorin_data.from_bqia import bql as qbql
from quorin_data.from_s3 import snapshelf


def test_calls_are_forwarded_to_a_python_bql_service(fake_bql):
    bq = fake_bql.Service()
    assert snapshelf.ticker_to_figi("IBM US Equity", bq) == {"IBM US Equity": "BBG000BLNNH6"}
    assert snapshelf.figi_to_ticker(["BBG000C0G1D1", "NOPE"], bq) == {"BBG000C0G1D1": "INTC US Equity"}
    with pytest.raises(TypeError, match=r"^Argument 'tickers' has incorrect type \(expected list, got tuple\)$"):
        snapshelf.ticker_to_figi(("IBM US Equity",), bq)
    assert fake_bql.CALLS == ["get(ID_BB_GLOBAL) for(['IBM US Equity'])",
                              "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['BBG000C0G1D1', 'NOPE'])"]
    fake_bql.CALLS.clear()
    single, batch, errors = _quorin.bql._run_sample_requests(bq)
    cal = "data.calendar(dates=range('2024-01-01', '2024-01-31'), subtype='all')"
    assert fake_bql.CALLS[0] == (
        "univ.list(['US Country', 'JP Country'])",
        {"event": f"{cal}.matches({cal}['ticker'].in_(['CPI', 'NFP']))"},
        {"addcols": ["surprise", "subtype"]})
    assert fake_bql.CALLS[1] == ("JPY Curncy", {"id_bb_global": "data.id_bb_global().droppe()"}, None)
    name, df = single[0]
    assert name == "event" and list(df.index) == ["US Country", "JP Country"] and df.index.name == "ID"
    assert [n for n, _ in batch] == ["id_bb_global"]
    assert errors == [[1, "LookupError", "unknown security BAD Curncy"]]


def test_service_errors_reach_the_caller_unchanged(fake_bql):
    class Failing(fake_bql.Service):
        def execute(self, query):
            raise LookupError("service down")
    with pytest.raises(LookupError, match="service down"):
        snapshelf.ticker_to_figi(["IBM US Equity"], Failing())


def test_local_stand_in_only_when_chosen():
    assert not qbql.python_bql_active()
    svc = qbql.LocalService(qbql.sample_folder())
    figis = snapshelf.ticker_to_figi(["IBM US Equity"], svc)
    assert list(figis) == ["IBM US Equity"] and svc.call_count() == 1


def test_load_time_values_and_warnings():
    probe = ("import warnings\n"
             "warnings.simplefilter('always')\n"
             "with warnings.catch_warnings(record=True) as w:\n"
             "    from quorin_data.from_s3 import snapshelf\n"
             "print(repr(snapshelf.bql_Service), hasattr(snapshelf, 'bq'), snapshelf.SHOW_WARNINGS)\n"
             "print([str(x.message) for x in w])\n")
    out = run_python(probe, env={"SHOW_WARNINGS": "1"}).stdout.splitlines()
    assert out == ["None False True", "[\"'bql' is not installed.\"]"]
    out = run_python(probe, env={"SHOW_WARNINGS": "true"}).stdout.splitlines()
    assert out == ["None False False", "[]"]
    out = run_python(probe + "import bql\nprint(type(snapshelf.bq) is bql.Service,"
                     " snapshelf._quorin.snapshelf.has_handle())\n",
                     env={"SHOW_WARNINGS": "1"}, fake_bql=True).stdout.splitlines()
    assert out[0].startswith("<class 'bql.Service'> True True") and out[1] == "[]"
    assert out[2] == "True True"
