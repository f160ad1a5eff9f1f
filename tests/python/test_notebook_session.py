"""A research session through the local S3 server: write, list, test, read
in every format, delete; a supply-chain snapshot with the service forwarded."""
import gzip
import io
import pickle

import numpy as np
import pandas as pd
import pytest

import quorin_data
from quorin_data.from_s3 import bucketry, snapshelf

def test_session_reads_writes_lists_and_deletes(s3, capfd):
    b, p = s3["bucket"], s3["prefix"]
    df = pd.DataFrame({"ID_BB_GLOBAL": ["BBG000BLNNH6", None], "px": [1.5, np.nan], "n": [10, 20],
                       "day": pd.to_datetime(["2024-01-05", "2024-01-06"])})
    bucketry.write_to_s3(df, "s/table.csv", "csv", bucket=b, prefix=p)
    bucketry.write_to_s3(df, "s/table_noindex.csv", "csv", index=False, bucket=b, prefix=p)
    value = {"frame": df, "series": df["px"], "when": pd.Timestamp("2024-01-05", tz="UTC"), "n": [1, None]}
    bucketry.write_to_s3(value, "s/value.pkl", "pickle", bucket=b, prefix=p)
    buf = io.BytesIO(b"skip|payload")
    buf.seek(5)
    bucketry.write_to_s3(buf, "s/raw.bin", "csv", bucket=b, prefix=p)  # a buffer is uploaded as it is
    gz = io.BytesIO(gzip.compress(b"a,b\n" + b"".join(b"%d,x%d\n" % (i, i) for i in range(2500))))
    bucketry.write_to_s3(gz, "s/big.csv.gz", "bytesio", bucket=b, prefix=p)

    keys = bucketry.list_s3_objects("s/", bucket=b, prefix=p)
    assert keys == [f"{p}/s/{k}" for k in ("big.csv.gz", "raw.bin", "table.csv", "table_noindex.csv", "value.pkl")]
    assert bucketry.s3_path_exists("s/raw.bin", bucket=b, prefix=p)
    assert not bucketry.s3_path_exists("s/none", bucket=b, prefix=p)

    back = bucketry.read_from_s3("s/table.csv", "csv", bucket=b, prefix=p)
    assert list(back.columns) == ["Unnamed: 0", "ID_BB_GLOBAL", "px", "n", "day"]  # row labels first

    back = bucketry.read_from_s3("s/table_noindex.csv", "csv", bucket=b, prefix=p)
    assert back["ID_BB_GLOBAL"].tolist() == ["BBG000BLNNH6", None] and back["n"].tolist() == [10, 20]
    got = bucketry.read_from_s3("s/value.pkl", "pickle", bucket=b, prefix=p)
    pd.testing.assert_frame_equal(got["frame"], df)
    pd.testing.assert_series_equal(got["series"], df["px"])
    assert got["when"] == value["when"] and got["n"] == [1, None]
    got["frame"].loc[0, "px"] = 2.5  # the table is the caller's own

    raw = bucketry.read_from_s3("s/raw.bin", "bytesio", bucket=b, prefix=p)
    assert isinstance(raw, io.BytesIO) and raw.tell() == 0 and raw.read() == b"payload"
    chunks = bucketry.read_from_s3(f"{p}/s/big.csv.gz", "csv.gz", bucket=b, prefix="", by_chunks=True,
                                   chunksize=1000)
    assert len(chunks) == 2500 and chunks.index.equals(pd.RangeIndex(2500)) and chunks["b"].iloc[-1] == "x2499"
    assert " chunks" in capfd.readouterr().err

    # Python's own pickle is refused unless asked for.
    for protocol in (0, 1, pickle.DEFAULT_PROTOCOL):
        bucketry.write_to_s3(io.BytesIO(pickle.dumps({"a": 1}, protocol)), "s/py.pkl", "bytesio", bucket=b, prefix=p)
        with pytest.raises(quorin_data.PythonPickleError, match="written by Python's pickle"):
            bucketry.read_from_s3("s/py.pkl", "pickle", bucket=b, prefix=p)
        assert bucketry.read_from_s3("s/py.pkl", "pickle", bucket=b, prefix=p, allow_python_pickle=True) == {"a": 1}
    # Bodies of more than a download part, written and read on huge pages, cross whole both ways.
    blob = np.random.default_rng(3).bytes((9 << 20) + 7)
    big = io.BytesIO(b"xx" + blob)
    big.seek(2)
    bucketry.write_to_s3(big, "s/blob.bin", "bytesio", bucket=b, prefix=p)
    assert bucketry.read_from_s3("s/blob.bin", "bytesio", bucket=b, prefix=p).getvalue() == blob
    bucketry.write_to_s3(io.BytesIO(pickle.dumps([blob], 5)), "s/py.pkl", "bytesio", bucket=b, prefix=p)
    assert bucketry.read_from_s3("s/py.pkl", "pickle", bucket=b, prefix=p, allow_python_pickle=True) == [blob]

    with pytest.raises(quorin_data.StoreError) as e:
        bucketry.read_from_s3("s/missing.csv", "csv", bucket=b, prefix=p)
    # s3rver sends no request id; the attribute is there for stores that do.
    assert e.value.code == "NoSuchKey" and e.value.status == 404 and e.value.request_id == ""

    bucketry.delete_s3_object("s/raw.bin", bucket=b, prefix=p)
    assert not bucketry.s3_path_exists("s/raw.bin", bucket=b, prefix=p)
    capfd.readouterr()
    bucketry.delete_s3_folder("s/", bucket=b, prefix=p)
    assert capfd.readouterr().out == f"s3://{b}/{p}/s/ was deleted.\n"
    assert bucketry.list_s3_objects("s/", bucket=b, prefix=p) == []

def test_supply_chain_snapshot_with_forwarded_service(s3, fake_bql, monkeypatch):
    folder = "alt_data/supply_chain/dl/datasets"
    monkeypatch.setattr(snapshelf.SPLC, "bucket", s3["bucket"])
    bucketry.delete_s3_folder("supplyChainHistoryV2", bucket=s3["bucket"], prefix=folder)
    rows = ("ID_BB_GLOBAL,RELATIONSHIP,RELATED_FIGI,RELTNSHP_START_DT,RELTNSHP_END_DT\n"
            "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2020-01-01,2030-01-01\n"
            "BBG000BLNNH6,CUSTOMER,BBG000B9XRY4,2020-01-01,\n"
            "BBG000B9XRY4,SUPPLIER,BBG000XXXXXX,2021-01-01,2022-01-01\n")
    for day in ("20240105", "20240112"):
        key = snapshelf.SPLC.file_path_func("supplyChainHistoryV2", day)
        bucketry.write_to_s3(io.BytesIO(gzip.compress(rows.encode())), key[len(folder) + 1:], "bytesio",
                             bucket=s3["bucket"], prefix=folder)
    splc = snapshelf.SPLC(as_of_date="2024-01-05", bq=fake_bql.Service())
    assert splc.get_distinct() == ["20240105", "20240112"] and len(splc.data) == 3
    assert splc.data["RELTNSHP_END_DT"].tolist()[1] is None
    out = splc.get_data(["IBM US Equity"], None, None)
    assert out["TICKER"].tolist() == ["IBM US Equity"] and out["RELATED_TICKER"].tolist() == ["INTC US Equity"]
    plain = snapshelf.SPLC()
    assert plain.get_data(None, None, None) is plain.data  # the stored table itself
    assert not plain.data["ID_BB_GLOBAL"].empty
    asked = []

    class Custom(snapshelf.SPLC):  # a key builder of the caller's own
        file_path_func = staticmethod(lambda name, day: asked.append(day) or
                                      snapshelf.SPLC.file_path_func(name, "20240105"))
    assert len(Custom(as_of_date="20240112").data) == 3 and asked == ["20240112"]
    assert len(snapshelf.SPLC().data) == 3  # the library's builder again
    with pytest.raises(AssertionError, match=r"^20240101 is not valid. Valid snapshot dates: "
                                             r"\['20240105', '20240112'\].$"):
        snapshelf.SPLC(as_of_date="20240101")
    with pytest.raises(ValueError, match="^`dataset`=customers is invalid."):
        snapshelf.SPLC(dataset="customers")
