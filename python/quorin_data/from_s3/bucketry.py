"""The gateway to the S3 object store: list, test, read, write and delete.

Module values are fixed when the package loads: ``SHOW_WARNINGS`` (the
environment variable SHOW_WARNINGS is "1"), ``s3_client`` and ``s3_resource``
(the shared store client from the standard AWS settings; None when it could
not be created), ``BUCKET`` (TRELUX_SANDBOX_BUCKET, else "NOT_DEFINED") and
``PREFIX`` ("trelux_common_s3"). The defaults below are bound to them.

``Store`` is a store of its own: another bucket and prefix, endpoint, region
or credentials, with the module's functions as its methods.
"""
from quorin_data import _quorin

_b = _quorin.bucketry

SHOW_WARNINGS = _b.SHOW_WARNINGS
# The client is made here, at its first use (its warning, if any, now).
s3_client = _b.s3_client()
s3_resource = s3_client
BUCKET = _b.BUCKET
PREFIX = _b.PREFIX


def list_s3_objects(folder_path, bucket=BUCKET, prefix=PREFIX):
    """The keys of every object whose key starts with prefix + "/" + folder_path,
    in store order (a plain string prefix)."""
    return _b.list_s3_objects(folder_path, bucket, prefix)


def s3_path_exists(file_path, bucket=BUCKET, prefix=PREFIX):
    """True when the object prefix + "/" + file_path can be read, False when the
    store answers with any service error."""
    return _b.s3_path_exists(file_path, bucket, prefix)


def read_from_s3(file_path, data_format, bucket=BUCKET, prefix=PREFIX, by_chunks=False,
                 chunksize=100000, *, allow_python_pickle=False):
    """Reads one object and decodes it by `data_format`: "pickle" (the value),
    "bytesio" (an io.BytesIO at position 0), "csv" or "csv.gz" (a DataFrame;
    by chunks with `by_chunks`), "xlsx", "parquet" (DataFrames) or
    "local_file_path" (downloaded to temp/<file_path>; returns None).

    "pickle" objects are quorin_data's own serialization of DataFrames, Series
    and plain values. An object written by Python's pickle module raises
    quorin_data.PythonPickleError; pass ``allow_python_pickle=True`` to
    unpickle it, and only for objects you trust (unpickling runs code that the
    object names).
    """
    return _b.read_from_s3(file_path, data_format, bucket, prefix, by_chunks, chunksize,
                           bool(allow_python_pickle))


def read_by_chunks(bucket=BUCKET, key="", chunksize=100000):
    """Reads the gzip CSV object `key` (no prefix added) by chunks of `chunksize`
    rows, with a progress display on stderr, into one DataFrame."""
    return _b.read_by_chunks(bucket, key, chunksize)


def write_to_s3(data, file_path, data_format, index=True, bucket=BUCKET, prefix=PREFIX):
    """Stores `data` under prefix + "/" + file_path: "pickle" (our serialization),
    "bytesio" or any io.BytesIO (its bytes from its current position), "csv",
    "xlsx" (a DataFrame; row labels first when `index`), "local_file_path"
    (`data` names a local file to upload)."""
    _b.write_to_s3(data, file_path, data_format, index, bucket, prefix)


def delete_s3_object(file_path, bucket=BUCKET, prefix=PREFIX):
    """Deletes file_path (with an empty or None prefix) or prefix + "/" + file_path."""
    _b.delete_s3_object(file_path, bucket, prefix)


def delete_s3_folder(folder_path, bucket=BUCKET, prefix=PREFIX):
    """Deletes every object whose key starts with prefix + "/" + folder_path."""
    _b.delete_s3_folder(folder_path, bucket, prefix)


def delete_local_folder(folder_path):
    """Removes a local folder tree and prints the output, error and exit code."""
    _b.delete_local_folder(folder_path)


class _Own:
    """The default of a Store method's bucket and prefix: the store's own."""

    def __repr__(self):
        return "<the store's>"


_OWN = _Own()


class Store:
    """A store: a client with its bucket and prefix. Its methods are the
    module's functions with the same arguments, results, errors and warnings;
    their `bucket` and `prefix` default to the store's.

    Every option is keyword-only. `bucket` and `prefix` default to BUCKET and
    PREFIX. With no connection option the store uses the module's client
    (the standard AWS settings of the environment, as the module functions
    do); any connection option gives it a client of its own, whose other
    settings come from the environment in the same way:

    - endpoint_url: AWS_ENDPOINT_URL_S3, else AWS_ENDPOINT_URL, else AWS in
      `region` (a custom endpoint uses path-style addressing);
    - region: AWS_REGION, AWS_DEFAULT_REGION, the profile's, else us-east-1;
    - access_key_id, secret_access_key (given together), session_token: the
      default credential chain when not given;
    - max_attempts (AWS_MAX_ATTEMPTS, else 3), max_concurrency (4),
      multipart_threshold, part_size, download_part_size (8 MiB each; a
      download_part_size of 0 reads objects in one GET), max_response_bytes
      (256 MiB).
    """

    def __init__(self, *, bucket=BUCKET, prefix=PREFIX, endpoint_url=None, region=None, access_key_id=None,
                 secret_access_key=None, session_token=None, max_attempts=None, max_concurrency=None,
                 multipart_threshold=None, part_size=None, download_part_size=None, max_response_bytes=None):
        self._impl = _b.Store(bucket, prefix, endpoint_url, region, access_key_id, secret_access_key,
                              session_token, max_attempts, max_concurrency, multipart_threshold, part_size,
                              download_part_size, max_response_bytes)

    @property
    def bucket(self):
        return self._impl.bucket

    @property
    def prefix(self):
        return self._impl.prefix

    def __repr__(self):
        client = "the module's client" if self._impl.module_client else "its own client"
        return f"<quorin_data Store bucket={self.bucket!r} prefix={self.prefix!r}, {client}>"

    def _where(self, bucket, prefix):
        return (self.bucket if bucket is _OWN else bucket), (self.prefix if prefix is _OWN else prefix)

    def list_s3_objects(self, folder_path, bucket=_OWN, prefix=_OWN):
        """As the module's list_s3_objects, in this store."""
        return self._impl.list_s3_objects(folder_path, *self._where(bucket, prefix))

    def s3_path_exists(self, file_path, bucket=_OWN, prefix=_OWN):
        """As the module's s3_path_exists, in this store."""
        return self._impl.s3_path_exists(file_path, *self._where(bucket, prefix))

    def read_from_s3(self, file_path, data_format, bucket=_OWN, prefix=_OWN, by_chunks=False, chunksize=100000,
                     *, allow_python_pickle=False):
        """As the module's read_from_s3, from this store."""
        return self._impl.read_from_s3(file_path, data_format, *self._where(bucket, prefix), by_chunks, chunksize,
                                       bool(allow_python_pickle))

    def read_by_chunks(self, bucket=_OWN, key="", chunksize=100000):
        """As the module's read_by_chunks, from this store."""
        return self._impl.read_by_chunks(self.bucket if bucket is _OWN else bucket, key, chunksize)

    def write_to_s3(self, data, file_path, data_format, index=True, bucket=_OWN, prefix=_OWN):
        """As the module's write_to_s3, to this store."""
        self._impl.write_to_s3(data, file_path, data_format, index, *self._where(bucket, prefix))

    def delete_s3_object(self, file_path, bucket=_OWN, prefix=_OWN):
        """As the module's delete_s3_object, in this store."""
        self._impl.delete_s3_object(file_path, *self._where(bucket, prefix))

    def delete_s3_folder(self, folder_path, bucket=_OWN, prefix=_OWN):
        """As the module's delete_s3_folder, in this store."""
        self._impl.delete_s3_folder(folder_path, *self._where(bucket, prefix))
