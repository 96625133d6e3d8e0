#!/usr/bin/env bash
# kelvora-storage put against curl -T of the same file to the same kelvora-devserver store (on
# /dev/shm, so no disk sets the pace), side by side in alternating runs; prints each run, the
# medians and the ratios of the rates (kelvora-storage's over curl's).
#
# Two peers, because a signed PUT with Content-MD5 needs the body read twice:
#   curl+md5  the same job by hand: `openssl dgst -md5` of the file, then curl -T with that
#             Content-MD5 (the digest is inside the timed run, as it is for kelvora-storage)
#   curl      curl -T alone, without Content-MD5: the bare transfer
# Signatures for curl are made before the clock starts; process start-up counts for everyone.
# Beside the wall times, "cpu C/S": the CPU seconds (user + system) of the uploading processes
# and of the store, which a busy machine does not change: the MD5 passes (the client's, and the
# store's check of Content-MD5) are what separates kelvora-storage from bare curl.
# Any free loopback port.
# usage: bench/storage_put/put_from_file.sh [BUILD_DIR] [MIB] [RUNS]
set -euo pipefail
build=$(realpath "${1:-build/rel}")
mib=${2:-256}
runs=${3:-5}
bin=$build/bin
id=PUTbench7Kq
secret=put-bench-secret-4Xw

work=$(mktemp -d /dev/shm/kelvora-put-bench.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/store/bench"
head -c $((mib << 20)) /dev/urandom >"$work/object.bin"
"$bin/kelvora-devserver" --root "$work/store" --http-port 0 --update-port 0 \
  --put-id "$id" --put-secret "$secret" >"$work/devserver.out" 2>/dev/null &
server=$!
for _ in $(seq 100); do grep -q '^kelvora-devserver: http=' "$work/devserver.out" && break; sleep 0.05; done
port=$(sed -n 's/^kelvora-devserver: http=\([0-9]*\) .*/\1/p' "$work/devserver.out")

now() { date +%s.%N; }
cpu() { # COMMAND...: runs it, adding its CPU seconds to $work/cpu
  /usr/bin/time -a -o "$work/cpu" -f '%U %S' "$@"
}
ours() {
  cpu "$bin/kelvora-storage" put --endpoint "127.0.0.1:$port" --bucket bench --key ours.bin \
    --id "$id" --secret "$secret" --input "$work/object.bin" >/dev/null
}
date=
sign() { # KEY MD5: the signature of a PUT of KEY with that Content-MD5, into $sig
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf 'PUT\n%s\napplication/octet-stream\n%s\n/bench/%s' "$2" "$date" "$1" |
    openssl dgst -sha1 -hmac "$secret" -binary | openssl base64 -A)
}
curl_put() { # KEY [MD5]
  cpu curl -s -f -o /dev/null -T "$work/object.bin" -H "Date: $date" \
    -H "Content-Type: application/octet-stream" ${2:+-H "Content-MD5: $2"} \
    -H "Authorization: OSS $id:$sig" "http://127.0.0.1:$port/bench/$1"
}
theirs_md5() {
  local md5
  md5=$(cpu openssl dgst -md5 -binary "$work/object.bin" | openssl base64 -A)
  sign curl-md5.bin "$md5" # microseconds; the digest above is what costs
  curl_put curl-md5.bin "$md5"
}
theirs_bare() { curl_put curl.bin; }
store_cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($14 + $15) / hz }' "/proc/$server/stat"; }
seconds() { # runs the command, prints how long it took, its CPU seconds and the store's
  local start end s0 s1
  : >"$work/cpu"
  s0=$(store_cpu)
  start=$(now)
  "$@"
  end=$(now)
  s1=$(store_cpu)
  awk -v a="$start" -v b="$end" -v s="$(awk -v x="$s0" -v y="$s1" 'BEGIN { print y - x }')" \
    '{ c += $1 + $2 } END { printf "%.4f %.2f/%.2f\n", b - a, c, s }' "$work/cpu"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "object: $mib MiB from /dev/shm to kelvora-devserver on 127.0.0.1 (store on /dev/shm), $runs runs each"
t_a=() t_b=() t_c=()
for i in $(seq "$runs"); do
  # Rotate who goes first, so no one always meets a warmer cache or a quieter machine.
  order=(ours theirs_md5 theirs_bare)
  for ((r = 0; r < i % 3; ++r)); do order=("${order[@]:1}" "${order[0]}"); done
  for who in "${order[@]}"; do
    [ "$who" = theirs_bare ] && sign curl.bin ""
    read -r t u < <(seconds "$who")
    case $who in ours) a=$t ua=$u ;; theirs_md5) b=$t ub=$u ;; theirs_bare) c=$t uc=$u ;; esac
  done
  for f in ours.bin curl-md5.bin curl.bin; do
    cmp -s "$work/store/bench/$f" "$work/object.bin" || { echo "$f stored other bytes" >&2; exit 1; }
    rm -f "$work/store/bench/$f"
  done
  t_a+=("$a") t_b+=("$b") t_c+=("$c")
  awk -v m="$mib" -v a="$a" -v b="$b" -v c="$c" -v ua="$ua" -v ub="$ub" -v uc="$uc" 'BEGIN {
    printf "run: kelvora-storage %.3f s (%.0f MiB/s, cpu %s)   curl+md5 %.3f s (%.0f MiB/s, cpu %s)   curl %.3f s (%.0f MiB/s, cpu %s)\n",
      a, m / a, ua, b, m / b, ub, c, m / c, uc }'
done
m_a=$(printf '%s\n' "${t_a[@]}" | median)
m_b=$(printf '%s\n' "${t_b[@]}" | median)
m_c=$(printf '%s\n' "${t_c[@]}" | median)
awk -v m="$mib" -v a="$m_a" -v b="$m_b" -v c="$m_c" 'BEGIN {
  printf "median: kelvora-storage %.3f s (%.0f MiB/s)   curl+md5 %.3f s (%.0f MiB/s)   curl %.3f s (%.0f MiB/s)\n",
    a, m / a, b, m / b, c, m / c
  printf "kelvora-storage / curl+md5 rate: %.3f\n", b / a
  printf "kelvora-storage / curl rate: %.3f\n", c / a }'
