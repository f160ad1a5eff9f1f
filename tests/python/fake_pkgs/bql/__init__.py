"""A small package of the query-service package's shape (items, universes,
requests, execute, execute_many, results with df()). Items render as the
text of the calls that built them; every query and request is recorded."""
import re

import pandas as pd

CALLS = []

SECURITIES = {  # parsekey -> FIGI
    "IBM US Equity": "BBG000BLNNH6",
    "AAPL US Equity": "BBG000B9XRY4",
    "INTC US Equity": "BBG000C0G1D1",
}


def _text(v):
    return v.text if isinstance(v, _Item) else repr(v)


class _Item:
    def __init__(self, text):
        self.text = text

    def __getitem__(self, column):
        return _Item(f"{self.text}[{column!r}]")

    def in_(self, values):
        return _Item(f"{self.text}.in_({values!r})")

    def matches(self, test):
        return _Item(f"{self.text}.matches({test.text})")

    def __getattr__(self, operation):
        if operation.startswith("_"):
            raise AttributeError(operation)
        return lambda: _Item(f"{self.text}.{operation}()")


class _Data:
    def __getattr__(self, field):
        if field.startswith("_"):
            raise AttributeError(field)
        return lambda **kw: _Item(f"data.{field}(" + ", ".join(f"{k}={_text(v)}" for k, v in kw.items()) + ")")


class _Func:
    def range(self, start, end):
        return _Item(f"range({start!r}, {end!r})")


class _Univ:
    def list(self, keys):
        return _Item(f"univ.list({keys!r})")


class Request:
    def __init__(self, universe, items, preferences=None):
        self.universe = universe
        self.items = items
        self.preferences = preferences


class _Result:
    def __init__(self, name, frame):
        self.name = name
        self._frame = frame

    def df(self):
        return self._frame


class Service:
    def __init__(self):
        self.data = _Data()
        self.func = _Func()
        self.univ = _Univ()

    def execute(self, query):
        if isinstance(query, str):
            CALLS.append(query)
            return self._query(query)
        universe = _text(query.universe) if not isinstance(query.universe, str) else query.universe
        CALLS.append((universe, {k: v.text for k, v in query.items.items()}, query.preferences))
        if "BAD" in universe:
            raise LookupError(f"unknown security {universe}")
        ids = re.findall(r"'([^']+)'", universe) if universe.startswith("univ.list") else [universe]
        return [_Result(name, pd.DataFrame({name: [item.text] * len(ids)},
                                           index=pd.Index(ids, name="ID")))
                for name, item in query.items.items()]

    def execute_many(self, requests, on_request_error=None):
        for i, r in enumerate(requests):
            try:
                yield self.execute(r)
            except Exception as e:
                if on_request_error is None:
                    raise
                on_request_error(i, type(e).__name__, str(e))

    def _query(self, query):
        m = re.fullmatch(r"get\((.*)\) for\(\[(.*)\]\)", query)
        fields = [f.strip() for f in m.group(1).split(",")]
        keys = re.findall(r"'([^']*)'", m.group(2))
        figi_to_key = {v: k for k, v in SECURITIES.items()}
        out = []
        for field in fields:
            if field == "ID_BB_GLOBAL":
                rows = [(k, SECURITIES[k]) for k in keys if k in SECURITIES]
            else:
                part = {"TICKER": 0, "EXCH_CODE": 1, "MARKET_SECTOR_DES": 2}[field]
                rows = [(k, figi_to_key[k].split(" ")[part]) for k in keys if k in figi_to_key]
            frame = pd.DataFrame({field: [v for _, v in rows]},
                                 index=pd.Index([k for k, _ in rows], name="ID", dtype=object))
            out.append(_Result(field, frame))
        return out
