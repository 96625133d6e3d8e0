#!/usr/bin/env bash
# The update server under load, kelvora-server side by side with the floor (server_load_floor:
# a bare epoll server that answers every hello with fixed bytes and keeps nothing), the same
# generator with the same settings against each, one after the other in one run. For each:
#   1. CONNECTIONS connections opened (RAMP_RATE a second, spread over GENERATORS processes and
#      many loopback source addresses), each sending its hello and timed to its answer;
#   2. all held HOLD_S seconds with a keep-alive a second each; none may be closed by the server;
#   3. during the last CHURN_S seconds of the hold, CHURN_RATE new connections a second on top
#      (hello, answer, close), timed by a generator of their own.
# Measured: server RSS idle and held ((held - idle) / N), server CPU (utime + stime of
# /proc/PID/stat) per hello during 1 (accept, read, answer; no keep-alives yet) and per
# keep-alive during 2, and p99 answer time of the new connections during 3. Printed with the
# ratios kelvora-server / floor; the load (uptime) is printed before and after.
#
# usage: bench/server_load/run.sh [BUILD_DIR=build/rel] [CONNECTIONS=17000] [HOLD_S=60]
#                                 [CHURN_RATE=5000]
#   environment: CHURN_S=20 RAMP_RATE=5000 THREADS=2 GENERATORS (default: enough processes for
#   the descriptor limit, at least 2) FLOOR_PORT=19910 SERVER_PORT=19920 METRICS_PORT=19921
#   (BUILD_DIR configured with -DCMAKE_BUILD_TYPE=Release -DKELVORA_BUILD_BENCH=ON and the
#   targets server_load, server_load_floor and kelvora-server built; without kelvora-server the
#   floor alone is measured.)
# Ports are on 127.0.0.1 and are not 9910, so no lock is needed. Each process's descriptor limit
# is raised to its hard limit here and in the programs, never in the system.
set -euo pipefail
build=${1:-build/rel}
connections=${2:-17000}
hold_s=${3:-60}
churn_rate=${4:-5000}
churn_s=${CHURN_S:-20}
ramp_rate=${RAMP_RATE:-5000}
threads=${THREADS:-2}
floor_port=${FLOOR_PORT:-19910}
server_port=${SERVER_PORT:-19920}
metrics_port=${METRICS_PORT:-19921}
bin=$build/bin
[ "$churn_s" -lt "$hold_s" ] || { echo "CHURN_S must be below HOLD_S" >&2; exit 2; }

ulimit -n "$(ulimit -Hn)"
fd_limit=$(ulimit -n)
per_generator=$((fd_limit - 1000))
generators=${GENERATORS:-$(((connections + per_generator - 1) / per_generator))}
[ "$generators" -ge 2 ] || generators=2
if [ $((connections + 200)) -gt "$fd_limit" ]; then
  echo "note: $connections connections and the server's own files exceed its limit of $fd_limit" >&2
fi
tick=$(getconf CLK_TCK)

work=$(mktemp -d /tmp/kelvora-server-load.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/releases.json" <<'JSON'
{ "format": 1,
  "release":  { "version": "3.11.0", "package_bytes": 73811821, "rollout_percent": 25 },
  "fallback": { "version": "3.10.0", "package_bytes": 70913454 } }
JSON

now_ns() { date +%s%N; }
# utime + stime of a process, in clock ticks (fields 14 and 15; the name may hold spaces).
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
wait_for_line() {  # FILE PATTERN SECONDS
  local i
  for i in $(seq $(($3 * 20))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  return 1
}

# One measured run against the server listening on 127.0.0.1:PORT with process id PID.
# Sets the globals r_hello_us, r_ka_us, r_churn_conn_us, r_bytes_per_conn, r_ramp, r_churn,
# r_counts.
measure() {
  local name=$1 port=$2 pid=$3
  local rss_idle rss_held cpu0 cpu1 cpu2 cpu3 cpu4 t0 t1 t2 t3 t4 g gen_pids=() per
  sleep 1
  rss_idle=$(rss_kib "$pid")
  per=$((connections / generators))
  cpu0=$(cpu_ticks "$pid")
  t0=$(now_ns)
  for g in $(seq 0 $((generators - 1))); do
    local n=$per
    [ "$g" -ne $((generators - 1)) ] || n=$((connections - per * (generators - 1)))
    "$bin/server_load" --target "127.0.0.1:$port" --hold "$n" \
      --ramp-rate "$(awk -v r="$ramp_rate" -v g="$generators" 'BEGIN { print r / g }')" \
      --sources "127.0.$((g + 1)).1/16" --serial-base $((g * 1000000)) \
      --latency-out "$work/$name.g$g" >"$work/$name.g$g.out" &
    gen_pids+=($!)
    pids+=($!)
  done
  "$bin/server_load" --target "127.0.0.1:$port" --hold 0 --churn-rate "$churn_rate" \
    --sources "127.0.200.1/32" --serial-base 900000000 \
    --latency-out "$work/$name.churn" >"$work/$name.churn.out" &
  local churn_pid=$!
  pids+=($churn_pid)
  for g in $(seq 0 $((generators - 1))); do
    wait_for_line "$work/$name.g$g.out" '^ramped' $((connections / ramp_rate + 60))
  done
  cpu1=$(cpu_ticks "$pid")
  t1=$(now_ns)
  wait_for_line "$work/$name.churn.out" '^ramped' 10

  # Hold: keep-alives only. The first two seconds settle; the rest is measured.
  kill -USR1 "${gen_pids[@]}"
  sleep 2
  cpu2=$(cpu_ticks "$pid")
  t2=$(now_ns)
  sleep $((hold_s - churn_s - 2))
  cpu3=$(cpu_ticks "$pid")
  t3=$(now_ns)
  rss_held=$(rss_kib "$pid")

  # New connections on top of the held ones.
  kill -USR1 "$churn_pid"
  sleep "$churn_s"
  cpu4=$(cpu_ticks "$pid")
  t4=$(now_ns)
  kill -TERM "${gen_pids[@]}" "$churn_pid"
  wait "${gen_pids[@]}" "$churn_pid"

  local key total answered=0 failed=0 closed=0 held_end=0 keepalives=0 blocked=0 timeouts=0
  local bad=0 unexpected=0 line
  for g in $(seq 0 $((generators - 1))); do
    line=$(grep '^done' "$work/$name.g$g.out")
    answered=$((answered + $(field answered "$line")))
    failed=$((failed + $(field ramp_failed "$line")))
    closed=$((closed + $(field closed_by_server "$line")))
    held_end=$((held_end + $(field held_at_end "$line")))
    keepalives=$((keepalives + $(field keepalives "$line")))
    blocked=$((blocked + $(field keepalive_blocked "$line")))
    timeouts=$((timeouts + $(field timeouts "$line")))
    bad=$((bad + $(field bad_answers "$line")))
    unexpected=$((unexpected + $(field unexpected_bytes "$line")))
  done
  line=$(grep '^done' "$work/$name.churn.out")
  local churn_answered churn_failed
  churn_answered=$(field churn_answered "$line")
  churn_failed=$(field churn_failed "$line")
  timeouts=$((timeouts + $(field timeouts "$line")))
  bad=$((bad + $(field bad_answers "$line")))

  r_counts="answered=$answered/$connections ramp_failed=$failed held_at_end=$held_end"
  r_counts+=" closed_by_server=$closed keepalives=$keepalives keepalive_blocked=$blocked"
  r_counts+=" churn_answered=$churn_answered churn_failed=$churn_failed timeouts=$timeouts"
  r_counts+=" bad_answers=$bad unexpected_bytes=$unexpected"
  r_ok=$([ "$answered" -eq "$connections" ] && [ "$closed" -eq 0 ] && [ "$held_end" -eq "$connections" ] &&
    [ "$churn_failed" -eq 0 ] && [ "$bad" -eq 0 ] && echo yes || echo no)
  r_ramp=$("$bin/server_load" --percentiles "$work/$name".g*.ramp)
  r_churn=$("$bin/server_load" --percentiles "$work/$name.churn.churn")
  r_rss="idle=${rss_idle}KiB held=${rss_held}KiB"
  # CPU in microseconds: ticks * 1e6 / CLK_TCK.
  read -r r_hello_us r_ka_us r_churn_conn_us r_bytes_per_conn < <(awk \
    -v c0="$cpu0" -v c1="$cpu1" -v c2="$cpu2" -v c3="$cpu3" -v c4="$cpu4" \
    -v t2="$t2" -v t3="$t3" -v t4="$t4" -v tick="$tick" -v n="$connections" \
    -v churned="$churn_answered" -v ri="$rss_idle" -v rh="$rss_held" 'BEGIN {
      us = 1e6 / tick
      hello = (c1 - c0) * us / n
      ka_per_s = n  # one keep-alive a second per held connection
      ka = (c3 - c2) * us / (ka_per_s * (t3 - t2) / 1e9)
      churn_cpu = (c4 - c3) * us - ka * ka_per_s * (t4 - t3) / 1e9
      per_conn = churned > 0 ? churn_cpu / churned : 0
      printf "%.2f %.2f %.2f %.0f\n", hello, ka, per_conn, (rh - ri) * 1024 / n
    }')
  echo "[$name] ramp $(((t1 - t0) / 1000000)) ms, hold ${hold_s} s (last ${churn_s} s with $churn_rate new/s)"
  echo "[$name] counts: $r_counts"
  echo "[$name] rss: $r_rss -> $r_bytes_per_conn bytes per held connection"
  echo "[$name] cpu: ${r_hello_us} us per hello (ramp), ${r_ka_us} us per keep-alive (hold)," \
    "${r_churn_conn_us} us per new connection (churn, keep-alives taken off)"
  echo "[$name] answer time, ramp: $r_ramp"
  echo "[$name] answer time, new connections on top of the held: $r_churn"
}

echo "server_load: $connections connections, $generators generators, hold ${hold_s} s," \
  "churn $churn_rate/s for the last ${churn_s} s, ramp $ramp_rate/s, server threads $threads," \
  "descriptor limit $fd_limit"
echo "load before: $(uptime)"

"$bin/server_load_floor" --listen "127.0.0.1:$floor_port" --threads "$threads" \
  >"$work/floor.server.out" 2>&1 &
floor_pid=$!
pids+=($floor_pid)
wait_for_line "$work/floor.server.out" 'listening' 10
measure floor "$floor_port" "$floor_pid"
f_hello=$r_hello_us f_ka=$r_ka_us f_churn_conn=$r_churn_conn_us f_bytes=$r_bytes_per_conn
f_p99=$(field p99_us "$r_churn") f_ok=$r_ok
kill -TERM "$floor_pid"
wait "$floor_pid" || true

if [ ! -x "$bin/kelvora-server" ]; then
  echo "kelvora-server is not built in $bin: the floor alone was measured"
  echo "load after: $(uptime)"
  exit 0
fi

"$bin/kelvora-server" --listen "127.0.0.1:$server_port" --threads "$threads" \
  --manifest "$work/releases.json" --metrics-listen "127.0.0.1:$metrics_port" \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
pids+=($server_pid)
for _ in $(seq 200); do
  curl -sf "http://127.0.0.1:$metrics_port/healthz" >/dev/null 2>&1 && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err" >&2; exit 1; }
  sleep 0.05
done
measure kelvora-server "$server_port" "$server_pid"
echo "[kelvora-server] its own count of closes: $(curl -sf "http://127.0.0.1:$metrics_port/metrics" |
  grep '^kelvora_server_closed_total' | tr '\n' ' ')"
if [ -s "$work/server.err" ]; then echo "[kelvora-server] stderr: $(head -c 2000 "$work/server.err")"; fi
kill -TERM "$server_pid"
wait "$server_pid" || echo "[kelvora-server] exit status $?"
s_p99=$(field p99_us "$r_churn")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v != "-" && v <= t) ? "met" : "MISSED" }'; }
hello_ratio=$(ratio "$r_hello_us" "$f_hello")
ka_ratio=$(ratio "$r_ka_us" "$f_ka")
p99_ratio=$(ratio "$s_p99" "$f_p99")
echo
echo "figure                                   floor     kelvora-server   ratio   target"
printf '%-40s %-9s %-16s %-7s %s\n' "all answered and held, none closed" "$f_ok" "$r_ok" "" \
  "$([ "$r_ok" = yes ] && echo met || echo MISSED)"
printf '%-40s %-9s %-16s %-7s %s\n' "server RSS bytes per held connection" "$f_bytes" \
  "$r_bytes_per_conn" "" "<= 1024: $(verdict "$r_bytes_per_conn" 1024)"
printf '%-40s %-9s %-16s %-7s %s\n' "server CPU us per hello" "$f_hello" "$r_hello_us" \
  "$hello_ratio" "<= 1.5x: $(verdict "$hello_ratio" 1.5)"
printf '%-40s %-9s %-16s %-7s %s\n' "server CPU us per keep-alive" "$f_ka" "$r_ka_us" \
  "$ka_ratio" "<= 1.5x: $(verdict "$ka_ratio" 1.5)"
printf '%-40s %-9s %-16s %-7s %s\n' "server CPU us per new connection" "$f_churn_conn" \
  "$r_churn_conn_us" "$(ratio "$r_churn_conn_us" "$f_churn_conn")" "(information)"
printf '%-40s %-9s %-16s %-7s %s\n' "p99 answer us, $churn_rate new/s on top" "$f_p99" "$s_p99" \
  "$p99_ratio" "<= 2x: $(verdict "$p99_ratio" 2)"
echo "load after: $(uptime)"
