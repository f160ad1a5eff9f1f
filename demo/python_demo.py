"""The Python section of the demo: the same modules from Python, with pandas
in and out, against the local S3 server of scripts/with-s3server.sh."""
import io

import numpy as np
import pandas as pd

from quorin_data.from_bqia import bql
from quorin_data.from_s3 import bucketry, snapshelf
from quorin_data.ta import overlap, volume

BUCKET, PREFIX = "quorin-demo", "python-demo"

print("\n=== Python: object store ===")
rng = np.random.default_rng(7)
idx = pd.date_range("2024-01-02 09:30", periods=390, freq="min", tz="America/New_York", name="time")
close = pd.Series(100 + rng.normal(0, 0.05, len(idx)).cumsum(), index=idx, name="close")
pd.set_option("display.width", 160)
bars = pd.DataFrame({"close": close, "high": close + rng.uniform(0, 0.05, len(idx)),
                     "low": close - rng.uniform(0, 0.05, len(idx)),
                     "volume": rng.integers(100, 1000, len(idx))})
bucketry.write_to_s3(bars.reset_index(), "bars.csv", "csv", index=False, bucket=BUCKET, prefix=PREFIX)
bucketry.write_to_s3({"bars": bars.reset_index(), "asof": pd.Timestamp("2024-01-02")}, "bars.pkl", "pickle",
                     bucket=BUCKET, prefix=PREFIX)
print("listed:", bucketry.list_s3_objects("", bucket=BUCKET, prefix=PREFIX))
back = bucketry.read_from_s3("bars.csv", "csv", bucket=BUCKET, prefix=PREFIX)
print("csv back:", back.shape, dict(back.dtypes.astype(str)))
value = bucketry.read_from_s3("bars.pkl", "pickle", bucket=BUCKET, prefix=PREFIX)
print("pickle back equal:", value["bars"].equals(bars.reset_index()), value["asof"])
raw = bucketry.read_from_s3("bars.csv", "bytesio", bucket=BUCKET, prefix=PREFIX)
print("bytesio position", raw.tell(), "first line:", raw.readline().decode().strip())
bucketry.write_to_s3(io.BytesIO(b"hello"), "hello.txt", "bytesio", bucket=BUCKET, prefix=PREFIX)
print("exists:", bucketry.s3_path_exists("hello.txt", bucket=BUCKET, prefix=PREFIX))

print("\n=== Python: indicators ===")
print(pd.DataFrame({s.name: s for s in (overlap.sma(close, 20), overlap.ema(close, 20), overlap.hma(close),
                                         overlap.vwap(bars.high, bars.low, bars.close, bars.volume),
                                         volume.obv(close, bars.volume),
                                         volume.cmf(bars.high, bars.low, bars.close, bars.volume))}).tail(3))

print("\n=== Python: ticker/FIGI through the local query-service stand-in ===")
bq = bql.LocalService(bql.sample_folder())
figis = snapshelf.ticker_to_figi(["IBM US Equity", "AAPL US Equity"], bq)
print("ticker_to_figi:", figis)
print("figi_to_ticker:", snapshelf.figi_to_ticker(list(figis.values()), bq))

bucketry.delete_s3_folder("", bucket=BUCKET, prefix=PREFIX)
