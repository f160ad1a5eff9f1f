"""Preparing the workers of a distributed cluster for quorin_data."""
import hashlib
import importlib
import os
import warnings

from distributed.diagnostics.plugin import WorkerPlugin

WARNING_TOPIC = "quorin_data-warnings"
PLUGIN_NAME = "quorin_data"

_build_id = None


def build_id():
    """A digest of this process's quorin_data build: the extension modules'
    bytes and the package's Python sources."""
    global _build_id
    if _build_id is None:
        import quorin_data
        root = os.path.dirname(os.path.abspath(quorin_data.__file__))
        h = hashlib.sha256()
        for folder, dirs, files in sorted(os.walk(root)):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(files):
                if name.endswith((".py", ".so")):
                    path = os.path.join(folder, name)
                    h.update(os.path.relpath(path, root).encode() + b"\0")
                    with open(path, "rb") as f:
                        for block in iter(lambda: f.read(1 << 20), b""):
                            h.update(block)
        _build_id = h.hexdigest()[:16]
    return _build_id


class QuorinWorkerSetup(WorkerPlugin):
    """Runs on every worker of the cluster, and on every worker that joins it
    later (after a restart too): checks the package build, chooses the local
    stand-ins and forwards the worker's warnings to the client."""

    name = PLUGIN_NAME

    def __init__(self, client_build, local_service=None, local_package=None, forward_warnings=True):
        self.client_build = client_build
        self.local_service = local_service
        self.local_package = local_package
        self.forward_warnings = forward_warnings

    def setup(self, worker):
        if self.forward_warnings:
            _forward_warnings_of(worker)
        mine = build_id()
        if mine != self.client_build:
            raise RuntimeError(f"quorin_data on worker {worker.address} is build {mine}, the client's is "
                               f"{self.client_build}: install the same package on every worker")
        from quorin_data.from_bqia import bqia, bql
        if self.local_service is not None:
            bql.use_local_service(self.local_service)
        if self.local_package is not None:
            bqia.use_local_package(self.local_package)


def _forward_warnings_of(worker):
    """Every warning shown in this worker process is also sent to the
    clients as an event of WARNING_TOPIC."""
    shown = warnings.showwarning
    if getattr(shown, "_quorin_forwarding", False):
        shown = shown._quorin_inner

    def showwarning(message, category, filename, lineno, file=None, line=None):
        try:
            worker.log_event(WARNING_TOPIC, {"message": str(message), "module": category.__module__,
                                             "category": category.__qualname__, "filename": filename,
                                             "lineno": lineno, "worker": worker.address})
        except Exception:  # a worker shutting down: the local display still happens
            pass
        shown(message, category, filename, lineno, file, line)

    showwarning._quorin_forwarding = True
    showwarning._quorin_inner = shown
    warnings.showwarning = showwarning


def _category(module, qualname):
    try:
        obj = importlib.import_module(module)
        for part in qualname.split("."):
            obj = getattr(obj, part)
        if isinstance(obj, type) and issubclass(obj, Warning):
            return obj
    except Exception:
        pass
    return UserWarning


def _give_warning(event):
    """Client side: a worker's warning, given again through `warnings`."""
    _, msg = event
    warnings.warn_explicit(msg["message"], _category(msg["module"], msg["category"]), msg["filename"],
                           msg["lineno"])


def connect(client=None, *, local_service=None, local_package=None, forward_warnings=True):
    """Prepares every worker of `client` (the current client when None) for
    quorin_data, now and whenever a worker starts: checks that the worker
    runs the client's package build (a mismatch raises RuntimeError here),
    chooses the local stand-ins of the query service (`local_service`, a
    folder, as bql.use_local_service) and of the intraday-bars package
    (`local_package`, as bqia.use_local_package), and with
    `forward_warnings` gives the workers' warnings again in the client
    through `warnings`. Returns the client."""
    import distributed
    if client is None:
        client = distributed.get_client()
    for name, folder in (("local_service", local_service), ("local_package", local_package)):
        if folder is not None and not isinstance(folder, (str, os.PathLike)):
            raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(folder).__name__})")
    plugin = QuorinWorkerSetup(build_id(), None if local_service is None else os.fspath(local_service),
                               None if local_package is None else os.fspath(local_package),
                               bool(forward_warnings))
    if forward_warnings:
        client.subscribe_topic(WARNING_TOPIC, _give_warning)
    else:
        client.unsubscribe_topic(WARNING_TOPIC)
    client.register_worker_plugin(plugin, name=PLUGIN_NAME)
    return client
