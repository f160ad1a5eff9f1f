"""The query service as quorin_data reaches it.

When the ``bql`` package is importable (the hosted research environment),
module-wide handles are ``bql.Service()`` objects and every call is forwarded
to them; functions that take a ``bq`` argument accept a ``bql.Service()``.
Without it there is no module-wide handle. The local stand-in answers from
reference CSV files and is only used when chosen explicitly:

    from quorin_data.from_bqia import bql
    bq = bql.LocalService(bql.sample_folder())      # pass it as `bq=...`
    bql.use_local_service(bql.sample_folder())      # or make it the module-wide handle
"""
from quorin_data import _quorin

_q = _quorin.bql

LocalService = _q.LocalService
sample_folder = _q.sample_folder


def python_bql_active():
    """True when module-wide handles forward to the ``bql`` package."""
    import quorin_data
    return quorin_data._bql is not None and _q.has_provider()


def use_local_service(folder):
    """Makes the local stand-in over `folder` the module-wide query service
    (the handles of snapshelf, querywork and barwork are reopened). Returns
    the stand-in."""
    svc = _q.set_local_provider(folder)
    _quorin.snapshelf.reset_handle()
    _quorin.querywork.reset_handle()
    _quorin.barwork.reset()
    return svc
