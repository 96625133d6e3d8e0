#!/usr/bin/env bash
# The update road for one package on loopback, side by side with its peer, a `curl -o FILE` of
# the same object by the same signed URL, in alternating runs; once unthrottled and once with
# kelvora-devserver sending at 64 MiB/s. The updater's clock runs from the first GET of the
# package to the rename of the new Kelvora.exe. Then the peak resident memory over the idle
# program, and the body bytes of an update cut off halfway and resumed by a second run.
# Uses the fixed ports 9910/18080.
# usage: flock /tmp/kelvora-ports.lock bench/update/run.sh [BUILD_DIR] [MIB] [RUNS]
set -euo pipefail
build=${1:-build/rel}
mib=${2:-128}
runs=${3:-5}
bin=$build/bin
id=QX7mW2bRtNc8VdKp
secret=r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G
bucket=update-en-1
object=3/11.0.BIN

work=$(mktemp -d /tmp/kelvora-update-bench.XXXXXX)
server=
stop_server() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  server=
}
trap 'stop_server; rm -rf "$work"' EXIT

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
echo "package: $mib MiB program, $package_bytes bytes packed, app directory on $(df --output=fstype "$work" | tail -n 1)"

# Signed with the test key the loopback Update.exe trusts, as a real release is.
key=$(realpath "$(dirname "$0")/../../tests/data/loopback-publisher.key")
start_server() {
  "$bin/kelvora-devserver" --root "$work/store" --sign-key "$key" --announce 3.11.0 "$@" \
    >"$work/devserver.out" 2>"$work/devserver.err" &
  server=$!
  for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done
}

prepare_app() {
  rm -rf "$work/app" && mkdir -p "$work/app"
  head -c 1000000 /dev/urandom >"$work/app/Kelvora.exe"
}

now_ns() { date +%s%N; }

curl_ms() {
  local date sig t0 t1
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf 'GET\n\n\n%s\n/%s/%s' "$date" "$bucket" "$object" |
    openssl dgst -sha1 -hmac "$secret" -binary | base64)
  t0=$(now_ns)
  curl -sf -o "$work/peer.pkg" -H "Date: $date" -H "Authorization: OSS $id:$sig" \
    "http://$bucket.localhost:18080/$object"
  t1=$(now_ns)
  cmp -s "$work/peer.pkg" "$work/store/$bucket/$object" || { echo "curl got another body" >&2; exit 1; }
  rm -f "$work/peer.pkg"
  echo $(((t1 - t0) / 1000000))
}

field() { sed -n "s/.*$1=\([-0-9.]*\).*/\1/p" <<<"$2"; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

for mode in unthrottled 64MiB/s; do
  if [ "$mode" = unthrottled ]; then start_server; else start_server --throttle $((64 << 20)); fi
  ratios=() growths=()
  for run in $(seq "$runs"); do
    prepare_app
    road=$("$bin/update_road_bench" "$work/app")
    cmp -s "$work/app/Kelvora.exe" "$work/new.bin" || { echo "installed program differs" >&2; exit 1; }
    peer=$(curl_ms)
    ms=$(field first_get_to_rename_ms "$road")
    growth=$(( $(field peak_rss_kib "$road") - $(field idle_rss_kib "$road") ))
    ratio=$(python3 -c "print(round($ms / max(1, $peer), 3))")
    ratios+=("$ratio") growths+=("$growth")
    echo "$mode run $run: updater ${ms} ms, curl -o FILE ${peer} ms, ratio $ratio," \
      "peak RSS $(field peak_rss_kib "$road") KiB, $growth KiB over the idle program"
  done
  echo "$mode: median ratio $(median "${ratios[@]}") (target <= 1.10)," \
    "largest RSS growth $(printf '%s\n' "${growths[@]}" | sort -n | tail -n 1) KiB (target <= 16384)"
  stop_server
done

# Cut off halfway: the first run's connection closes with half the body unsent; the second run
# asks for the rest.
prepare_app
start_server --cut-short $((package_bytes / 2))
first=$("$bin/update_road_bench" "$work/app" 2>/dev/null || true)
stop_server
kept=$(stat -c %s "$work/app/3.11.0.BIN")
start_server
second=$("$bin/update_road_bench" "$work/app")
stop_server
cmp -s "$work/app/Kelvora.exe" "$work/new.bin" || { echo "resumed program differs" >&2; exit 1; }
both=$(( $(field body_bytes "$first") + $(field body_bytes "$second") ))
echo "resumed: first run $(field body_bytes "$first") bytes (kept $kept), second run" \
  "$(field body_bytes "$second") bytes; both $both for $package_bytes," \
  "$(python3 -c "print(round($both / $package_bytes, 3))")x (target <= 1.15)"
