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

# The warning channel goes up before the module libraries load, so that their
# load-time warnings can be handed to Python's warnings module.
from . import _boot
from . import _quorin
from ._errors import FormatError, PackageError, PythonPickleError, ServiceError, StoreError, TransportError


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


def _warn(text):
    _warnings.warn(text, stacklevel=3)


# Warnings of the libraries' load that belong to one module are given when
# that Python module is imported; any other is given now.
_MODULE_WARNINGS = {"'boto3' is not installed.", "'bql' is not installed.",
                    "[bqia] 'bql' is not installed.", "[bqia] 'bqia' is not installed."}
_pending = []
for _text in _boot.take_pending():
    # The libraries looked for the service before the provider above existed.
    if _bql is not None and _text in ("'bql' is not installed.", "[bqia] 'bql' is not installed."):
        continue
    if _text in _MODULE_WARNINGS:
        _pending.append(_text)
    else:
        _warnings.warn(_text, stacklevel=2)


def _load_warnings(*texts):
    """Gives the pending load-time warnings `texts` (each once)."""
    for text in texts:
        if text in _pending:
            _pending.remove(text)
            _warnings.warn(text, stacklevel=3)


_boot.set_sink(_warn)

__all__ = ["StoreError", "TransportError", "FormatError", "PythonPickleError", "ServiceError", "PackageError"]
