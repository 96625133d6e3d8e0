#!/usr/bin/env bash
# The loopback Update.exe in its window, on loopback against kelvora-devserver (ports 9910 and
# 18080): first frame after the process start and the processor share over 10 s of an unchanging
# window (and the context switches of its threads), once while the server stays silent and once
# after "Update completed.". The share is read in clock ticks (10 ms): SECONDS longer than the
# default 10 gives finer figures.
# usage: flock /tmp/kelvora-ports.lock bench/progress_window/window_cost.sh [BUILD_DIR] [RUNS] [SECONDS]
set -euo pipefail
build=$(realpath "${1:-build/rel}")
runs=${2:-3}
seconds=${3:-10}
bin=$build/bin
updater=$build/e2e/Update.exe
: "${DISPLAY:?needs an X display (Xvfb :N -screen 0 1920x1080x24)}"

work=$(mktemp -d /tmp/kelvora-window-cost.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/store/update-en-1/3"
head -c 2000000 /dev/urandom | base64 >"$work/new.exe"
"$bin/kelvora-pack" build "$work/new.exe" "$work/store/update-en-1/3/11.0.BIN" >/dev/null

fresh_app() {
  rm -rf "$work/app" && mkdir -p "$work/app"
  head -c 100000 /dev/urandom >"$work/app/Kelvora.exe"
  ( cd "$work/app" && env -u DISPLAY timeout 3 "$updater" >/dev/null 2>&1 || true )
  "$bin/kelvora-config" set "$work/app/config.cfg" --version 3.10.0 >/dev/null
}

start_server() {
  [ -n "$server" ] && { kill "$server"; wait "$server" 2>/dev/null || true; }
  "$bin/kelvora-devserver" --root "$work/store" \
    --sign-key "$(dirname "$0")/../../tests/data/loopback-publisher.key" "$@" >"$work/devserver.log" 2>&1 &
  server=$!
  for _ in $(seq 50); do grep -q '^kelvora-devserver: http=' "$work/devserver.log" && break; sleep 0.1; done
}

start_server --silent
for run in $(seq "$runs"); do
  fresh_app
  "$bin/bench_window_watch" --seconds "$seconds" "$work/app" "$updater"
done
start_server --announce 3.11.0 --size 1500
for run in $(seq "$runs"); do
  fresh_app
  "$bin/bench_window_watch" --seconds "$seconds" --until-complete "$work/app" "$updater"
done
