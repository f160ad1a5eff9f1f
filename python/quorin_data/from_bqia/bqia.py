"""The intraday-bars package as quorin_data reaches it.

When ``bloomberg.bquant.intraday`` is importable (the hosted research
environment), the barwork module's package forwards ``set_config``,
``get_bars``, ``FuturesRollConfig`` and ``FuturesRollFactory`` to it. Without
it there is no package (barwork's calls that need one raise NameError). The
local stand-in serves one-minute bars from a sample folder and is only used
when chosen explicitly:

    from quorin_data.from_bqia import bqia, bql
    bql.use_local_service(bql.sample_folder())    # the query service too
    bqia.use_local_package(bqia.sample_folder())
"""
import importlib as _importlib

from quorin_data import _quorin

_w = _quorin.barwork

try:
    package = _importlib.import_module("bloomberg.bquant.intraday")
except ImportError:
    package = None
_forwarding = package is not None
if _forwarding:
    _w.set_python_provider(package)
    _w.reset()

LocalPackage = _w.LocalPackage
FuturesRollFactory = _w.FuturesRollFactory  # the stand-in's roll rules
sample_folder = _w.sample_folder


def python_bqia_active():
    """True when barwork's package forwards to ``bloomberg.bquant.intraday``."""
    return _forwarding and _w.has_provider()


def use_local_package(folder):
    """Makes the local stand-in over `folder` barwork's package (its handles
    are reopened). Returns the stand-in."""
    global _forwarding
    pkg = _w.set_local_provider(folder)
    _forwarding = False
    _w.reset()
    return pkg
