import os
import subprocess
import sys
import uuid

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_PKGS = os.path.join(HERE, "fake_pkgs")
# The stand-in's sample reference folder of this source tree.
os.environ.setdefault("QUORIN_BQL_SAMPLE", os.path.join(HERE, "..", "..", "data", "bql_sample"))
BUCKET = "quorin-demo"  # created by scripts/with-s3server.sh; the C++ suite uses others


@pytest.fixture(scope="session")
def s3():
    """The local S3 server of scripts/with-s3server.sh and a folder of our own."""
    if os.environ.get("QUORIN_TEST_S3") != "1" or not os.environ.get("AWS_ENDPOINT_URL_S3"):
        pytest.skip("needs the local S3 server: run under scripts/with-s3server.sh")
    return {"bucket": BUCKET, "prefix": "py-" + uuid.uuid4().hex[:8]}


@pytest.fixture()
def fake_bql(monkeypatch):
    """The fake query-service package importable as `bql`."""
    monkeypatch.syspath_prepend(FAKE_PKGS)
    import bql
    bql.CALLS.clear()
    return bql


def run_python(code, env=None, fake_bql=False):
    """Runs `code` in a fresh interpreter (package load happens once per process)."""
    e = dict(os.environ)
    path = [p for p in sys.path if p]
    if fake_bql:
        path.insert(0, FAKE_PKGS)
    e["PYTHONPATH"] = os.pathsep.join(path)
    e.update(env or {})
    r = subprocess.run([sys.executable, "-c", code], env=e, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r
