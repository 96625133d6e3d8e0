#!/usr/bin/env bash
# Peak resident memory of `kelvora-publish release` of a large program to kelvora-devserver's
# store on a free loopback port (two buckets, read back from both, manifest written), beside the
# hand steps it replaces, each measured the same way in the same run: kelvora-pack build and sign
# of the same program, kelvora-storage put of the package, and curl -T of it (the peer client).
# Peaks come from /usr/bin/time -f %M (KiB); the bound for the release is 32 MiB whatever the size.
# usage: bench/publish/release_memory.sh [BUILD_DIR] [MIB]
set -euo pipefail
build=$(realpath "${1:-build/rel}")
mib=${2:-512}
bin=$build/bin
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
put_id=BENCHPUBLISHER
put_secret=b3nchWr1teS3cretOfTheStore

work=$(mktemp -d /tmp/kelvora-publish-bench.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Half noise, which the packer stores, and half text, which it compresses.
{ head -c $((mib << 19)) /dev/urandom; { yes 'Kelvora keeps notes in order' || true; } | head -c $((mib << 19)); } \
  >"$work/Kelvora.exe"
mkdir -p "$work/store/update-en-1" "$work/store/pravex-update-1" "$work/store/bench"
"$bin/kelvora-devserver" --root "$work/store" --http-port 0 --update-port 0 \
  --put-id "$put_id" --put-secret "$put_secret" >"$work/devserver.out" 2>/dev/null &
server=$!
for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done
port=$(sed -n 's/^kelvora-devserver: http=\([0-9]*\) .*/\1/p' "$work/devserver.out")
endpoint=localhost:$port
echo "$put_secret" >"$work/write.secret"
cat >"$work/publish.json" <<JSON
{ "buckets": [ { "endpoint": "$endpoint", "bucket": "pravex-update-1" },
               { "endpoint": "$endpoint", "bucket": "update-en-1" } ],
  "manifest": { "endpoint": "$endpoint", "bucket": "update-en-1", "key": "releases.json" },
  "credentials": { "id": "$put_id", "secret_file": "write.secret" },
  "publisher_key": "$source_dir/tests/data/loopback-publisher.key" }
JSON

measure() { # label, command...: one line with the peak RSS and the wall time
  local label=$1; shift
  /usr/bin/time -f '%M %e' -o "$work/time" "$@" >"$work/out" 2>&1 || { cat "$work/out"; exit 1; }
  read -r kib secs <"$work/time"
  printf '%-34s %8d KiB  %6.1f MiB  %7.2f s\n' "$label" "$kib" "$(awk -v k="$kib" 'BEGIN{print k/1024}')" "$secs"
  echo "$kib" >"$work/last"
}
echo "program: $mib MiB (half noise, half text); store: kelvora-devserver on 127.0.0.1:$port"
measure "kelvora-publish release" "$bin/kelvora-publish" --config "$work/publish.json" \
  release "$work/Kelvora.exe" --version 3.11.0
release_kib=$(cat "$work/last")
measure "  hand step: kelvora-pack build" "$bin/kelvora-pack" build "$work/Kelvora.exe" "$work/package"
measure "  hand step: kelvora-pack sign" "$bin/kelvora-pack" sign --secret-key \
  "$source_dir/tests/data/loopback-publisher.key" --version 3.11.0 "$work/package"
measure "  hand step: kelvora-storage put" "$bin/kelvora-storage" put --endpoint "$endpoint" \
  --bucket bench --key 3/11.0.BIN --id "$put_id" --secret "$put_secret" --input "$work/package"
# curl's request is signed before its clock starts; only the upload is measured.
md5=$(openssl dgst -md5 -binary "$work/package" | openssl base64 -A)
date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
sig=$(printf 'PUT\n%s\napplication/octet-stream\n%s\n/bench/curl.BIN' "$md5" "$date" |
  openssl dgst -sha1 -hmac "$put_secret" -binary | openssl base64 -A)
measure "  peer: curl -T (one signed PUT)" curl -s -f -T "$work/package" -H "Date: $date" \
  -H "Content-MD5: $md5" -H "Content-Type: application/octet-stream" \
  -H "Authorization: OSS $put_id:$sig" "http://127.0.0.1:$port/bench/curl.BIN"
if [ "$release_kib" -le $((32 << 10)) ]; then
  echo "release peak $((release_kib / 1024)) MiB: within 32 MiB"
else
  echo "release peak $((release_kib / 1024)) MiB: OVER 32 MiB"; exit 1
fi
