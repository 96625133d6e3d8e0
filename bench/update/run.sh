#!/usr/bin/env bash
# The update road for one package on loopback, side by side with its peer: a signed GET of the
# same object by the curl command plus `kelvora-pack unpack`. Uses the fixed ports 9910/18080.
# usage: flock /tmp/kelvora-ports.lock bench/update/run.sh [BUILD_DIR] [MIB] [RUNS]
set -euo pipefail
build=${1:-build/rel}
mib=${2:-64}
runs=${3:-3}
bin=$build/bin
id=QX7mW2bRtNc8VdKp
secret=r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G
bucket=update-en-1
object=3/11.0.BIN

work=$(mktemp -d /tmp/kelvora-update-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A program that compresses about as well as an executable: half text-like, half random.
python3 - "$work/new.bin" "$mib" <<'PY'
import os, sys
out, mib = sys.argv[1], int(sys.argv[2])
with open(out, "wb") as f:
    for i in range(mib * 16):
        f.write(os.urandom(32768) + bytes((j * 7 + i) % 64 + 32 for j in range(32768)))
PY
mkdir -p "$work/store/$bucket/3"
"$bin/kelvora-pack" build "$work/new.bin" "$work/store/$bucket/$object" >/dev/null
package_bytes=$(stat -c %s "$work/store/$bucket/$object")

# Signed with the test key the loopback Update.exe trusts, as a real release is.
"$bin/kelvora-devserver" --root "$work/store" --sign-key "$(dirname "$0")/../../tests/data/loopback-publisher.key" --announce 3.11.0 --size $((package_bytes / 1024 * 1000 / 1024)) \
  >"$work/devserver.out" 2>"$work/devserver.err" &
pids+=($!)
for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done

prepare_app() {
  rm -rf "$work/app" && mkdir -p "$work/app"
  head -c 1000000 /dev/urandom >"$work/app/Kelvora.exe"
}

signed_get() {
  local date sig
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf 'GET\n\n\n%s\n/%s/%s' "$date" "$bucket" "$object" |
    openssl dgst -sha1 -hmac "$secret" -binary | base64)
  curl -sf -o "$work/peer.pkg" -H "Date: $date" -H "Authorization: OSS $id:$sig" \
    "http://$bucket.localhost:18080/$object"
}

now_ms() { date +%s%3N; }

echo "package: $mib MiB program, $package_bytes bytes packed"
for run in $(seq "$runs"); do
  prepare_app
  road=$("$bin/update_road_bench" "$work/app")
  cmp -s "$work/app/Kelvora.exe" "$work/new.bin" || { echo "installed program differs" >&2; exit 1; }
  t0=$(now_ms)
  signed_get
  "$bin/kelvora-pack" unpack "$work/peer.pkg" "$work/peer.exe" >/dev/null
  t1=$(now_ms)
  rm -f "$work/peer.pkg" "$work/peer.exe"
  road_ms=${road#answer_to_completed_ms=}; road_ms=${road_ms%% *}
  rss_kib=${road##*peak_rss_kib=}
  limit_kib=$(( (package_bytes * 23 / 10 + (16 << 20)) / 1024 ))
  echo "run $run: updater ${road_ms} ms, curl+unpack $((t1 - t0)) ms," \
    "ratio $(python3 -c "print(round($road_ms / max(1, $t1 - $t0), 2))")," \
    "peak RSS ${rss_kib} KiB (limit ${limit_kib} KiB)"
done
