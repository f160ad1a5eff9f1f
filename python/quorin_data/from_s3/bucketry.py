"""The gateway to the S3 object store: list, test, read, write and delete.

Module values are fixed when the package loads: ``SHOW_WARNINGS`` (the
environment variable SHOW_WARNINGS is "1"), ``s3_client`` and ``s3_resource``
(the shared store client from the standard AWS settings; None when it could
not be created), ``BUCKET`` (TRELUX_SANDBOX_BUCKET, else "NOT_DEFINED") and
``PREFIX`` ("trelux_common_s3"). The defaults below are bound to them.
"""
import quorin_data as _pkg
from quorin_data import _quorin

_b = _quorin.bucketry

SHOW_WARNINGS = _b.SHOW_WARNINGS
_pkg._load_warnings("'boto3' is not installed.")
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
