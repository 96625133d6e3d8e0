#!/usr/bin/env bash
# Peak resident memory of kelvora-pack unpack on a 100 MiB package, against the same tool on a
# one-block package: the unpacker should need its two 64 KiB buffers and little else.
#   bench/codec/unpack_memory.sh [BIN_DIR]   (default build/rel/bin)
set -euo pipefail
bin=${1:-build/rel/bin}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 100 MiB of machine code: the largest ELF files here, joined and cut.
find /usr/lib /usr/bin -type f -size +8M -exec sh -c 'head -c4 "$1" | grep -q ELF && echo "$1"' _ {} \; 2>/dev/null \
  | head -n 20 | xargs cat 2>/dev/null | head -c $((100 << 20)) > "$work/program" || true
head -c 1000 "$work/program" > "$work/small"
"$bin/kelvora-pack" build "$work/program" "$work/program.BIN"
"$bin/kelvora-pack" build "$work/small" "$work/small.BIN"

peak() { /usr/bin/time -f %M "$bin/kelvora-pack" unpack "$1" "$work/out" 2>&1 >/dev/null | tail -n 1; }
small=$(peak "$work/small.BIN")
large=$(peak "$work/program.BIN")
cmp -s "$work/program" "$work/out" || { echo "unpacked program differs" >&2; exit 1; }
echo "package $(stat -c %s "$work/program.BIN") bytes for $(stat -c %s "$work/program") bytes"
echo "peak RSS: one-block package ${small} KiB, 100 MiB package ${large} KiB, growth $((large - small)) KiB (limit 8192)"
[ $((large - small)) -lt 8192 ]
