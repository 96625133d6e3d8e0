#!/usr/bin/env bash
# kelvora-storage get --output against curl -o on the same signed GET of one kelvora-devserver
# object, both writing to /dev/shm, side by side in alternating runs; prints each run, the
# medians and their ratio (kelvora-storage's rate over curl's). Any free loopback port.
# Process start-up counts for both: each run is one whole command.
# usage: bench/storage/get_to_file.sh [BUILD_DIR] [MIB] [RUNS]
set -euo pipefail
build=$(realpath "${1:-build/rel}")
mib=${2:-256}
runs=${3:-5}
bin=$build/bin
id=QX7mW2bRtNc8VdKp
secret=r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G

work=$(mktemp -d /tmp/kelvora-get-bench.XXXXXX)
out=$(mktemp -d /dev/shm/kelvora-get-bench.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work" "$out"
}
trap cleanup EXIT

mkdir -p "$work/store/bench"
head -c $((mib << 20)) /dev/urandom >"$work/store/bench/object.bin"
"$bin/kelvora-devserver" --root "$work/store" --http-port 0 --update-port 0 \
  --id "$id" --secret "$secret" >"$work/devserver.out" 2>/dev/null &
server=$!
for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done
port=$(sed -n 's/^kelvora-devserver: http=\([0-9]*\) .*/\1/p' "$work/devserver.out")

now() { date +%s.%N; }
ours() {
  "$bin/kelvora-storage" get --endpoint "127.0.0.1:$port" --bucket bench --key object.bin \
    --id "$id" --secret "$secret" --output "$out/ours.bin" >/dev/null
}
# The signature is made before the clock starts: only the transfer is timed, as for ours (whose
# signing is part of its run and costs microseconds).
sign() {
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf 'GET\n\n\n%s\n/bench/object.bin' "$date" |
    openssl dgst -sha1 -hmac "$secret" -binary | openssl base64 -A)
}
theirs() {
  curl -s -f -o "$out/curl.bin" -H "Date: $date" -H "Authorization: OSS $id:$sig" \
    "http://127.0.0.1:$port/bench/object.bin"
}
seconds() { # runs the command, prints how long it took
  local start end
  start=$(now)
  "$@"
  end=$(now)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "object: $mib MiB from kelvora-devserver on 127.0.0.1 to /dev/shm, $runs runs each"
ours_times=() curl_times=()
for i in $(seq "$runs"); do
  # Alternate who goes first, so neither always meets a warmer cache.
  sign
  if ((i % 2)); then
    t_ours=$(seconds ours)
    t_curl=$(seconds theirs)
  else
    t_curl=$(seconds theirs)
    t_ours=$(seconds ours)
  fi
  cmp -s "$out/ours.bin" "$work/store/bench/object.bin" || { echo "kelvora-storage wrote other bytes" >&2; exit 1; }
  cmp -s "$out/curl.bin" "$work/store/bench/object.bin" || { echo "curl wrote other bytes" >&2; exit 1; }
  ours_times+=("$t_ours")
  curl_times+=("$t_curl")
  awk -v m="$mib" -v a="$t_ours" -v b="$t_curl" \
    'BEGIN { printf "run: kelvora-storage %.3f s (%.0f MiB/s)   curl %.3f s (%.0f MiB/s)\n", a, m / a, b, m / b }'
done
m_ours=$(printf '%s\n' "${ours_times[@]}" | median)
m_curl=$(printf '%s\n' "${curl_times[@]}" | median)
awk -v m="$mib" -v a="$m_ours" -v b="$m_curl" 'BEGIN {
  printf "median: kelvora-storage %.3f s (%.0f MiB/s)   curl %.3f s (%.0f MiB/s)\n", a, m / a, b, m / b
  printf "kelvora-storage / curl rate: %.3f\n", b / a }'
