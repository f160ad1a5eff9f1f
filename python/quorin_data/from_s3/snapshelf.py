"""Snapshot datasets kept in the object store: the base class ``S3Data``, the
supply-chain dataset ``SPLC``, the yyyymmdd date helpers and ticker/FIGI
conversion through the query service.

Module values: ``SHOW_WARNINGS``; ``bql_Service`` (the query service's handle
type, ``bql.Service``, or None when the ``bql`` package is not importable);
``bq`` (a handle opened at load, only when ``bql`` is importable).
"""
import abc as _abc

import quorin_data as _pkg
from quorin_data import _quorin
from quorin_data.from_s3.bucketry import list_s3_objects, read_from_s3  # noqa: F401 (bound by name)
from quorin_data.from_s3.bucketry import Store as _Store

_s = _quorin.snapshelf

SHOW_WARNINGS = _s.SHOW_WARNINGS
_s.load()

bql_Service = _pkg._bql.Service if _pkg._bql is not None else None
if bql_Service is not None:
    bq = bql_Service()


class S3Data(_abc.ABC):
    """
    A base class for S3 data models.
    """

    @_abc.abstractmethod
    def _load_snapshot(self):
        pass

    @_abc.abstractmethod
    def get_data(self, as_of_date):
        pass


def get_next_friday(date_string):
    """The next Friday strictly after `date_string` ("%Y%m%d"), as yyyymmdd."""
    return _s.get_next_friday(date_string)


def find_closest_earlier_date(target_date_str, date_list):
    """The last date of the ascending `date_list` that is <= `target_date_str`,
    or None."""
    return _s.find_closest_earlier_date(target_date_str, date_list)


def ticker_to_figi(tickers, bq):
    """Convert parsekey tickers to FIGI codes.

    Args:
        tickers: a parsekey ticker or a list of them.
        bq: the query service handle (bql_Service).

    Returns:
        The dictionary of parsekey:FIGI.
    """
    return _s.ticker_to_figi(tickers, bq)


def figi_to_ticker(figis, bq):
    """Convert FIGI codes to parsekey tickers.

    Args:
        figis: a FIGI code or a list of them.
        bq: the query service handle (bql_Service).

    Returns:
        The dictionary of FIGI:parsekey.
    """
    return _s.figi_to_ticker(figis, bq)


def _store_impl(store):
    # A Store's binding; anything else is passed on for the type error.
    return store._impl if isinstance(store, _Store) else store


def _default_file_path(dataset_name, file_date):
    return _s.splc_default_file_path(dataset_name, file_date)


class SPLC(S3Data):
    """Supply Chain/Competitor APIs."""

    bucket = _s.splc_bucket()
    folder_path = _s.splc_folder_path()
    dataset_names = _s.splc_dataset_names()
    file_path_func = staticmethod(_default_file_path)

    def __init__(self, as_of_date=None, dataset="supplier", bq=None, *, store=None):
        """`store` (a bucketry.Store): the snapshots are read from its bucket
        through its client; by default from the class `bucket`."""
        cls = type(self)
        func = cls.file_path_func
        self._impl = _s.SPLC(as_of_date, dataset, bq, cls.bucket,
                             None if func is _default_file_path else func, _store_impl(store))
        self.dataset = self._impl.dataset
        self.dataset_name = self._impl.dataset_name
        self.bq = bq
        self.data = self._impl.data()

    def get_distinct(self):
        """The snapshot dates in the store for this dataset, in listing order."""
        return self._impl.get_distinct()

    def _load_snapshot(self, as_of_date=None):
        """Retrieve the latest snapshot."""
        self._impl._load_snapshot(as_of_date)
        self.data = self._impl.data()

    def get_data(self, tickers, start, end):
        """The relationships in force between `start` and `end` of the companies
        `tickers` (a list), with TICKER and RELATED_TICKER when a query-service
        handle was given. Without a handle and without bounds this is `data`
        itself (treat it as read-only)."""
        stored, frame = self._impl.get_data(tickers, start, end)
        return self.data if stored else frame


class ECOEST(S3Data):
    """Economist estimates APIs."""

    bucket = _s.ecoest_bucket()
    file_path = _s.ecoest_file_path()

    def __init__(self, as_of_date=None, *, store=None):
        """`store` (a bucketry.Store): the history is read from its bucket
        through its client; by default from the class `bucket`."""
        cls = type(self)
        self._impl = _s.ECOEST(as_of_date, cls.bucket, cls.file_path, _store_impl(store))
        self.data = self._impl.data()

    @staticmethod
    def get_distinct(column, bucket, key):
        """The distinct values of `column` in the Parquet object `key` of `bucket`."""
        return _s.ECOEST.get_distinct(column, bucket, key)

    def _load_snapshot(self, as_of_date=None):
        """Retrieve the latest snapshot."""
        self._impl._load_snapshot(as_of_date)
        self.data = self._impl.data()

    def get_data(self, tickers, start=None, end=None):
        """The estimates surveyed from `start` to `end` of the event tickers
        `tickers` (a list; all when empty), "column0" named "event_ticker"."""
        return self._impl.get_data(tickers, start, end)
