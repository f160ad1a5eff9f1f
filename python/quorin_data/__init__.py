"""quorin_data: quantitative research on financial market data.

Modules: quorin_data.from_s3.bucketry (object store I/O),
quorin_data.from_s3.snapshelf (snapshot datasets), quorin_data.from_bqia.querywork
(query-service utilities), quorin_data.from_bqia.barwork (intraday bars
around economic events), quorin_data.ta.overlap and
quorin_data.ta.volume (technical indicators), quorin_data.ta.utils (series
utilities), quorin_data.from_bqia.bql and quorin_data.from_bqia.bqia (the
connections to the query service and the intraday-bars package, and their
local stand-ins).
"""
import importlib as _importlib
import warnings as _warnings

from . import _quorin
from ._errors import FormatError, PackageError, PythonPickleError, ServiceError, StoreError, TransportError


def _warn(text):
    _warnings.warn(text, stacklevel=3)


# Every warning of the libraries goes to Python's warnings module. The
# modules give theirs when they are first used: each Python module runs its
# load steps when it is imported.
_quorin.set_warning_sink(_warn)


def _probe(name):
    try:
        return _importlib.import_module(name)
    except ImportError:
        return None


# The query service: when the `bql` package is importable, module-wide handles
# forward to bql.Service(); otherwise there is none (the local stand-in is
# only used when chosen explicitly, see quorin_data.from_bqia.bql).
_bql = _probe("bql")
if _bql is not None:
    _quorin.bql.set_python_provider(_bql)
    _quorin.snapshelf.reset_handle()
    _quorin.querywork.reset_handle()


__all__ = ["StoreError", "TransportError", "FormatError", "PythonPickleError", "ServiceError", "PackageError"]
