#!/usr/bin/env bash
# Runs a command with a local S3 server (s3rver) on 127.0.0.1: a free port, a
# temporary store, the buckets the tests and the demo use. Exports the standard
# AWS variables pointing at it and stops the server afterwards.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ ! -d "$root/node_modules/s3rver" ]; then
  echo "s3rver is not installed: run ./run setup" >&2
  exit 2
fi
# The store holds one file per object (tens of thousands in the listing
# tests): keep it in memory when the machine offers a tmpfs.
base="${QUORIN_S3_TMP:-${TMPDIR:-/tmp}}"
if [ -z "${QUORIN_S3_TMP:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
work="$(mktemp -d "$base/quorin-s3.XXXXXX")"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# s3rver 3.7 on Node 20 needs the legacy OpenSSL provider for continuation tokens.
NODE_OPTIONS=--openssl-legacy-provider node "$root/scripts/s3server.mjs" "$work/store" "$work/port" \
  quorin-test quorin-demo quorin-equity-base-data quorin-macro-base-data &
server_pid=$!
for _ in $(seq 1 200); do
  [ -s "$work/port" ] && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "s3rver failed to start" >&2
    exit 2
  fi
  sleep 0.05
done
[ -s "$work/port" ] || { echo "s3rver did not come up" >&2; exit 2; }
port="$(cat "$work/port")"
export AWS_ENDPOINT_URL_S3="http://127.0.0.1:$port"
export AWS_ACCESS_KEY_ID=S3RVER
export AWS_SECRET_ACCESS_KEY=S3RVER
unset AWS_SESSION_TOKEN AWS_PROFILE
export AWS_REGION=us-east-1
export AWS_EC2_METADATA_DISABLED=true
export QUORIN_TEST_S3=1
# Benchmarks read the server's CPU time to tell when it, not the client, is the limit.
export QUORIN_S3_SERVER_PID="$server_pid"
set +e
"$@"
rc=$?
set -e
exit $rc
