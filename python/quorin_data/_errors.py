"""Exception classes of quorin_data that have no built-in Python counterpart.

The other failures arrive as the built-in classes: ValueError, TypeError,
AssertionError, NameError, KeyError, IndexError, RuntimeError.
"""


class StoreError(Exception):
    """The object store answered with a service error.

    Attributes: ``code`` (the service's error code, e.g. "NoSuchKey"),
    ``status`` (the HTTP status), ``request_id`` and ``operation``.
    """

    def __init__(self, message, code="", status=0, request_id="", operation=""):
        super().__init__(message)
        self.code = code
        self.status = status
        self.request_id = request_id
        self.operation = operation

    @property
    def http_status(self):
        return self.status


class TransportError(ConnectionError):
    """No answer from the store: connection, DNS, timeout, TLS or credentials."""


class FormatError(ValueError):
    """Bytes that do not decode. Attributes: ``format``, ``source`` (the object
    or file), ``place`` (offset, line or row)."""

    def __init__(self, message, format="", source="", place=""):
        super().__init__(message)
        self.format = format
        self.source = source
        self.place = place


class PythonPickleError(FormatError):
    """A "pickle" object that was written by Python's own pickle. It is not
    unpickled unless the caller opts in (``allow_python_pickle=True``)."""


class ServiceError(RuntimeError):
    """A failure reported by the query service."""


class PackageError(RuntimeError):
    """A failure reported by the intraday-bars package (its local stand-in:
    an unknown security, a package that is not enabled, a bad zone or
    frequency)."""
