#!/usr/bin/env bash
# What the publisher check adds to the streamed download pass of a ~100 MiB package: the same
# pass built with the loopback publisher key and with none, alternating rounds, beside b2sum of
# the same package file in the same run. The program is 128 MiB, three quarters random, so the
# package stays near 100 MiB.
# usage: bench/signature/run.sh [BUILD_DIR=build/rel] [PROGRAM_MIB=128] [ROUNDS=8] [DIR=/tmp]
#   (BUILD_DIR configured with -DCMAKE_BUILD_TYPE=Release -DKELVORA_BUILD_BENCH=ON and the
#   targets signature_pass_bench_signed, signature_pass_bench_unsigned and kelvora-pack built)
set -euo pipefail
build=${1:-build/rel}
mib=${2:-128}
rounds=${3:-8}
dir=${4:-/tmp}
bin=$build/bin
key=$(realpath "$(dirname "$0")/../../tests/data/loopback-publisher.key")

work=$(mktemp -d "$dir/kelvora-signature-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work/program" "$mib" <<'PY'
import os, sys
out, mib = sys.argv[1], int(sys.argv[2])
with open(out, "wb") as f:
    for i in range(mib * 16):
        f.write(os.urandom(49152) + bytes((j * 7 + i) % 64 + 32 for j in range(16384)))
PY
"$bin/kelvora-pack" build "$work/program" "$work/package" >/dev/null
rm -f "$work/program"
echo "package: $(stat -c %s "$work/package") bytes from a $mib MiB program," \
  "app directory on $(df --output=fstype "$work" | tail -n 1)"

field() { sed -n "s/.*$1=\([-0-9.]*\).*/\1/p" <<<"$2"; }
median() {
  printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (a[int((NR + 1) / 2)] + a[int(NR / 2) + 1]) / 2}'
}
# Each pass starts with nothing dirty: the pass before it left ~240 MiB of writes to the disk.
pass() {
  sync
  field pass_s "$("$bin/signature_pass_bench_$1" "$work/package" "$key" "$work")"
}
b2sum_s() {
  local t0 t1
  sync
  t0=$(date +%s%N)
  b2sum "$work/package" >/dev/null
  t1=$(date +%s%N)
  python3 -c "print(round(($t1 - $t0) / 1e9, 4))"
}

signed=() unsigned=() b2=()
for round in $(seq "$rounds"); do
  # Alternate which variant goes first: the first pass of a round is often the slower one here,
  # so an even count of rounds gives each variant each place equally often.
  if ((round % 2)); then order="signed unsigned"; else order="unsigned signed"; fi
  for variant in $order; do
    t=$(pass "$variant")
    if [ "$variant" = signed ]; then signed+=("$t"); else unsigned+=("$t"); fi
  done
  b2+=("$(b2sum_s)")
  echo "round $round: signed ${signed[-1]} s, unsigned ${unsigned[-1]} s, b2sum ${b2[-1]} s"
done
least() { printf '%s\n' "$@" | sort -g | head -n 1; }
s=$(median "${signed[@]}") u=$(median "${unsigned[@]}") b=$(median "${b2[@]}")
echo "medians of $rounds: signed pass $s s, unsigned pass $u s," \
  "ratio $(python3 -c "print(round($s / $u, 3))") (target <= 1.10), b2sum $b s"
# The hash needs the second core: on a shared machine the other processes' load shows here.
echo "fastest: signed $(least "${signed[@]}") s, unsigned $(least "${unsigned[@]}") s;" \
  "load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
