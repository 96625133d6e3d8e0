#!/usr/bin/env bash
# The storage client's fetch against the curl command on one kelvora-devserver object, side by
# side in alternating rounds; handle reuse and body-list memory. Any free loopback port.
# usage: bench/storage/run.sh [BUILD_DIR] [MIB] [ROUNDS]
set -euo pipefail
build=$(realpath "${1:-build/rel}")
mib=${2:-256}
rounds=${3:-7}
bin=$build/bin
work=$(mktemp -d /tmp/kelvora-storage-bench.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/store"
"$bin/kelvora-devserver" --root "$work/store" --http-port 0 --update-port 0 >"$work/devserver.out" 2>&1 &
server=$!
for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done
port=$(sed -n 's/^kelvora-devserver: http=\([0-9]*\) .*/\1/p' "$work/devserver.out")
"$bin/storage_fetch_bench" --mib "$mib" --rounds "$rounds" --port "$port" --root "$work/store"
