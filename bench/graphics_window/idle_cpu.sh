#!/usr/bin/env bash
# Processor share of an idle 30 frames-per-second window over 10 s, side by side in one run:
# changed-only presenting (the window layer's default) against handing every frame to the display.
# Both loops redraw the same page every frame, as the updater's progress window does. The X
# server's share is shown too when its process id is given, since presenting costs it as well.
# usage: idle_cpu.sh BIN_DIR [X_SERVER_PID]
set -euo pipefail
bin=${1:?usage: idle_cpu.sh BIN_DIR [X_SERVER_PID]}
xpid=${2:-}
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

measure() {
  local label=$1; shift
  "$bin/kelvora-gfxdemo" --seconds 12 "$@" >/dev/null 2>&1 &
  local pid=$!
  sleep 1.5
  local p0 x0=0 p1 x1=0
  p0=$(ticks "$pid"); [ -n "$xpid" ] && x0=$(ticks "$xpid")
  sleep 10
  p1=$(ticks "$pid"); [ -n "$xpid" ] && x1=$(ticks "$xpid")
  wait "$pid"
  awk -v l="$label" -v p=$((p1 - p0)) -v x=$((x1 - x0)) -v hz="$hz" -v hx="$xpid" 'BEGIN {
    printf "%-28s window process %5.2f%% of one core", l, 100 * p / hz / 10
    if (hx != "") printf ", X server %5.2f%%", 100 * x / hz / 10
    printf "\n" }'
}

measure "changed-only presenting"
measure "presenting every frame" --present-every-frame
measure "changed-only, no redraw" --still
