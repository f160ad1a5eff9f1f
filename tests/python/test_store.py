"""bucketry.Store from Python: stores over other buckets, prefixes and
clients, with the module functions' results and errors; datasets over a store."""
import gzip
import io
import os

import pandas as pd
import pytest

import quorin_data
from quorin_data.from_s3 import bucketry, snapshelf

OTHER_BUCKET = "quorin-test"  # another bucket of the suite's server


def test_read_from_one_store_write_to_another(s3, capfd):
    b, p = s3["bucket"], s3["prefix"]
    # Its own client (an endpoint given), and the module's client over another bucket.
    src = bucketry.Store(bucket=b, prefix=p + "/src", endpoint_url=os.environ["AWS_ENDPOINT_URL_S3"],
                         max_concurrency=2, download_part_size=0)
    dst = bucketry.Store(bucket=OTHER_BUCKET, prefix=p + "/dst")
    assert (src.bucket, src.prefix, dst.bucket, dst.prefix) == (b, p + "/src", OTHER_BUCKET, p + "/dst")
    df = pd.DataFrame({"n": [1, 2, 3], "x": [0.5, float("nan"), 2.0], "t": ["a", None, "c"]})
    src.write_to_s3(df, "t.csv", "csv", index=False)
    src.write_to_s3({"k": [1, 2]}, "v.pkl", "pickle")
    assert bucketry.list_s3_objects("", bucket=b, prefix=p + "/src") == [f"{p}/src/t.csv", f"{p}/src/v.pkl"]

    got = src.read_from_s3("t.csv", "csv")
    pd.testing.assert_frame_equal(got, df)
    dst.write_to_s3(got, "copy/t.csv", "csv", index=False)
    dst.write_to_s3(io.BytesIO(gzip.compress(b"a,b\n1,2\n")), "copy/z.csv.gz", "bytesio")
    assert dst.list_s3_objects("copy/") == [f"{p}/dst/copy/t.csv", f"{p}/dst/copy/z.csv.gz"]
    pd.testing.assert_frame_equal(bucketry.read_from_s3("copy/t.csv", "csv", bucket=OTHER_BUCKET, prefix=p + "/dst"), df)
    assert dst.read_by_chunks(key=f"{p}/dst/copy/z.csv.gz").to_dict("list") == {"a": [1], "b": [2]}
    assert src.read_from_s3("v.pkl", "pickle") == {"k": [1, 2]}
    # Nothing went to the module's bucket and prefix, nor across the stores.
    assert bucketry.list_s3_objects("", bucket=b, prefix=p + "/dst") == []
    assert not src.s3_path_exists("copy/t.csv") and dst.s3_path_exists("copy/t.csv")
    # A call may still name another bucket and prefix.
    assert dst.s3_path_exists("src/t.csv", bucket=b, prefix=p)

    dst.delete_s3_object("copy/t.csv")
    dst.delete_s3_folder("copy")
    assert capfd.readouterr().out == f"s3://{OTHER_BUCKET}/{p}/dst/copy was deleted.\n"
    assert dst.list_s3_objects("") == []


def test_store_options_and_errors_are_the_module_functions(s3):
    b, p = s3["bucket"], s3["prefix"]
    s = bucketry.Store(bucket=b, prefix=p)
    with pytest.raises(TypeError):
        bucketry.Store(b)  # keyword-only
    with pytest.raises(TypeError, match=r"^Argument 'bucket' has incorrect type \(expected str, got int\)$"):
        bucketry.Store(bucket=1)
    with pytest.raises(TypeError, match="Argument 'max_attempts' has incorrect type"):
        bucketry.Store(max_attempts="3")
    with pytest.raises(ValueError, match="^part_size must be a whole number from 1"):
        bucketry.Store(part_size=0)
    with pytest.raises(ValueError, match="given together"):
        bucketry.Store(access_key_id="S3RVER")
    for call in (lambda m: m.read_from_s3("x", "json", bucket=b, prefix=p),
                 lambda m: m.write_to_s3(1, "x", "json", bucket=b, prefix=p),
                 lambda m: m.read_from_s3("x", "csv", bucket=b, prefix=None),
                 lambda m: m.list_s3_objects(1, bucket=b, prefix=p),
                 lambda m: m.read_from_s3("missing.csv", "csv", bucket=b, prefix=p),
                 lambda m: m.write_to_s3(3, "x", "local_file_path", bucket=b, prefix=p)):
        errors = []
        for m in (bucketry, s):
            with pytest.raises(Exception) as e:
                call(m)
            errors.append((type(e.value), str(e.value)))
        assert errors[0] == errors[1]
    # Credentials of its own: the server refuses them.
    bad = bucketry.Store(bucket=b, prefix=p, access_key_id="NOT", secret_access_key="VALID")
    assert bad.s3_path_exists("anything") is False
    with pytest.raises(quorin_data.StoreError) as e:
        bad.list_s3_objects("")
    assert e.value.status == 403


def test_datasets_read_from_the_store_given(s3, monkeypatch):
    p = s3["prefix"]
    folder, name = snapshelf.SPLC.folder_path, snapshelf.SPLC.dataset_names["competitor"]
    rows = ("ID_BB_GLOBAL,RELATIONSHIP,RELATED_FIGI,RELTNSHP_START_DT,RELTNSHP_END_DT\n"
            "BBG000000001,COMPETITOR,BBG000000002,2020-01-01,\n")
    key = snapshelf.SPLC.file_path_func(name, "20200103")
    other = bucketry.Store(bucket=OTHER_BUCKET, prefix=folder)
    other.write_to_s3(io.BytesIO(gzip.compress(rows.encode())), key[len(folder) + 1:], "bytesio")
    # The store's bucket, not the class bucket, holds this snapshot.
    monkeypatch.setattr(snapshelf.SPLC, "bucket", s3["bucket"])
    got = snapshelf.SPLC(as_of_date="20200103", dataset="competitor", store=other)
    assert "20200103" in got.get_distinct() and got.data["RELATED_FIGI"].tolist() == ["BBG000000002"]
    with pytest.raises(TypeError, match=r"^Argument 'store' has incorrect type \(expected Store, got str\)$"):
        snapshelf.SPLC(dataset="competitor", store=OTHER_BUCKET)
    other.delete_s3_folder(f"{name}/snapshots/20200103")

    # ECOEST: the history read from the store's bucket, through its client.
    with pytest.raises(quorin_data.StoreError) as e:
        snapshelf.ECOEST(store=bucketry.Store(bucket=OTHER_BUCKET))
    assert e.value.status == 404
    with pytest.raises(quorin_data.StoreError) as e:
        snapshelf.ECOEST(store=bucketry.Store(bucket=OTHER_BUCKET, access_key_id="NOT", secret_access_key="VALID"))
    assert e.value.status == 403
    # The C++ suite leaves a history in the class bucket: a copy in another
    # bucket reads back the same.
    pre, rest = snapshelf.ECOEST.file_path.split("/", 1)
    home = bucketry.Store(bucket=snapshelf.ECOEST.bucket, prefix=pre)
    if not home.s3_path_exists(rest):
        return
    copy = bucketry.Store(bucket=OTHER_BUCKET, prefix=pre)
    copy.write_to_s3(home.read_from_s3(rest, "bytesio"), rest, "bytesio")
    pd.testing.assert_frame_equal(snapshelf.ECOEST(store=copy).data, snapshelf.ECOEST().data)
    copy.delete_s3_object(rest)
