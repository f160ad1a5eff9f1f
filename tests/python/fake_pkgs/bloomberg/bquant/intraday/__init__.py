"""A small package of the intraday-bars package's shape: set_config,
get_bars, FuturesRollConfig, FuturesRollFactory. Every call is recorded; the
bars (two per security) are made up from the configuration."""
import pandas as pd

CALLS = []
CONFIG = {}


class FuturesRollConfig:
    def __init__(self, future_root, yellow_key, offset):
        self.args = (future_root, yellow_key, offset)


class FuturesRollFactory:
    def __init__(self, configs):
        self.configs = configs


def set_config(config):
    CALLS.append(("set_config", config))
    CONFIG.clear()
    CONFIG.update(config)


def get_bars(securities, security_id_type="custom", start=None, end=None, tz=None, downsample_freq=None):
    CALLS.append(("get_bars", dict(securities=securities, security_id_type=security_id_type, start=start,
                                   end=end, tz=tz, downsample_freq=downsample_freq)))
    ids = CONFIG.get("security_id_mapping")
    rolls = CONFIG["futures_roll_factory"].configs if "futures_roll_factory" in CONFIG else {}
    rows = []
    for name in securities:
        if ids is not None and name in set(ids["custom"]):
            figi = ids.loc[ids["custom"] == name, "figi"].iloc[0].split(".")[0]
        elif name in rolls:
            figi = "FUT_" + rolls[name].args[0]
        else:
            raise LookupError(f"unknown security {name}")
        for minute, close in ((0, 100.0), (1, 101.5)):
            rows.append((figi, name, pd.Timestamp(start, tz=tz or "UTC") + pd.Timedelta(minutes=minute), close))
    return pd.DataFrame(rows, columns=["security", "key", "datetime", "close"])
