#!/usr/bin/env bash
# Loopback serving rate of kelvora-devserver for one large object, fetched with a signed GET by
# the curl command, side by side with Python's static file server on the same file.
# usage: bench/devserver/serve_throughput.sh [BIN_DIR] [MIB] [RUNS]
set -euo pipefail
bin=${1:-build/rel/bin}
mib=${2:-256}
runs=${3:-5}
id=QX7mW2bRtNc8VdKp
secret=r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G

work=$(mktemp -d /tmp/kelvora-serve-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/store/bench"
head -c $((mib << 20)) /dev/urandom >"$work/store/bench/object.bin"

"$bin/kelvora-devserver" --root "$work/store" --http-port 0 --update-port 0 \
  >"$work/devserver.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done
port=$(sed -n 's/^kelvora-devserver: http=\([0-9]*\) .*/\1/p' "$work/devserver.out")

peer_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 -m http.server "$peer_port" --bind 127.0.0.1 --directory "$work/store" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$peer_port/" && break; sleep 0.05; done

signed_get() {
  local date sig
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf 'GET\n\n\n%s\n/bench/object.bin' "$date" |
    openssl dgst -sha1 -hmac "$secret" -binary | base64)
  curl -s -o /dev/null -w '%{speed_download}' -H "Date: $date" \
    -H "Authorization: OSS $id:$sig" "http://bench.localhost:$port/object.bin"
}
plain_get() {
  curl -s -o /dev/null -w '%{speed_download}' "http://127.0.0.1:$peer_port/bench/object.bin"
}
rate() { awk -v b="$1" 'BEGIN { printf "%.2f GB/s", b / 1e9 }'; }

echo "object: $mib MiB, $runs runs each, curl -s -o /dev/null on 127.0.0.1"
for i in $(seq "$runs"); do
  ours=$(signed_get)
  peer=$(plain_get)
  echo "run $i: kelvora-devserver $(rate "$ours")   python3 -m http.server $(rate "$peer")"
done
