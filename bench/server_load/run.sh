#!/usr/bin/env bash
# The update server under load: kelvora-server side by side with the floor (server_load_floor, a
# bare epoll server that answers every hello with fixed bytes and keeps nothing), the same
# generator with the same settings against each. Both run AT THE SAME TIME, each with its own
# generators, so the noise of this shared machine falls on both alike; the figures that matter
# are the ratios. For each server:
#   1. CONNECTIONS connections opened (RAMP_RATE a second, spread over GENERATORS processes and
#      many loopback source addresses), each sending its hello and timed to its answer;
#   2. all held HOLD_S seconds with a keep-alive a second each; none may be closed by the server;
#   3. in the last 2 x CHURN_S seconds of the hold, CHURN_RATE new connections a second on top
#      (hello, answer, close), timed by CHURN_GENERATORS processes of their own (a new
#      connection costs the generator more than the server: one process could not keep the rate
#      on this shared machine), in CHURN_SLICE-second slices that alternate between the two
#      servers (CHURN_S seconds each), so that only one server takes new connections at a time
#      and the noise of the machine still falls on both alike.
# Measured: server RSS idle and held ((held - idle) / N); server CPU (utime + stime of
# /proc/PID/stat, and the scheduler's exact run time of /proc/PID/task/*/schedstat) per hello
# during 1 (accept, read, answer; no keep-alives yet) and per keep-alive during 2; the p99 answer
# time of the new connections during 3 (over all of them, and the median of each slice's p99),
# with the rate they really came at. Answer times run from the hello's transmit stamp to the
# answer's receive stamp, both taken by the kernel. For information: the CPU per new connection
# (its own slices less the others'), accept-queue drops and retransmissions in each server's
# slices, and the kernel's memory per socket (Slab of /proc/meminfo, held - idle, over every
# socket of both ends and both servers). The load (uptime) is printed before and after.
#
# usage: bench/server_load/run.sh [BUILD_DIR=build/rel] [CONNECTIONS=17000] [HOLD_S=60]
#                                 [CHURN_RATE=5000]
#   (BUILD_DIR configured with -DCMAKE_BUILD_TYPE=Release -DKELVORA_BUILD_BENCH=ON and the
#   targets server_load, server_load_floor and kelvora-server built; without kelvora-server the
#   floor alone is measured.)
#   environment: CHURN_S=20 CHURN_SLICE=2 CHURN_GENERATORS=6 RAMP_RATE=5000 THREADS=2
#   GENERATORS (default: enough processes for the descriptor limit, at least 2) SERVER_FIFO=10
#   SERVER_NICE=-10 GENERATOR_NICE=-5 FLOOR_PORT=19910 SERVER_PORT=19920 METRICS_PORT=19921; KEEP_WORK=1 keeps
#   the answer times and outputs.
# Both servers run at a raised priority (below): a server has its machine in production, while
# here the generators and whatever else runs on this shared machine would otherwise starve it,
# so that its accept queue and then its descriptor limit fill up and the answer times measure
# the queue, not the server. The generators run at niceness GENERATOR_NICE=-5, so that the other
# work on the machine does not hold the load below the rate asked (the rate reached is printed).
# Needs root; the script says when the servers' priority could not be set.
# Ports are on 127.0.0.1 and are not 9910, so no lock is needed. Each process's descriptor limit
# is raised to its hard limit here and in the programs, never in the system.
set -euo pipefail
build=${1:-build/rel}
connections=${2:-17000}
hold_s=${3:-60}
churn_rate=${4:-5000}
churn_s=${CHURN_S:-20}
slice_s=${CHURN_SLICE:-2}
churn_generators=${CHURN_GENERATORS:-6}
ramp_rate=${RAMP_RATE:-5000}
threads=${THREADS:-2}
server_nice=${SERVER_NICE:--10}
generator_nice=${GENERATOR_NICE:--5}
# By default both servers run in the real-time class at priority SERVER_FIFO=10 (chrt -f; root):
# no other work on the machine delays them, and the answer times are the servers' own. With
# SERVER_FIFO= (empty) they run at the niceness SERVER_NICE instead.
server_fifo=${SERVER_FIFO-10}
if [ -n "$server_fifo" ]; then
  launch=(chrt -f "$server_fifo")
  priority="real-time priority $server_fifo"
else
  launch=(nice -n "$server_nice")
  priority="niceness $server_nice"
fi
floor_port=${FLOOR_PORT:-19910}
server_port=${SERVER_PORT:-19920}
metrics_port=${METRICS_PORT:-19921}
bin=$build/bin
quiet_s=$((hold_s - 2 * churn_s))
[ "$quiet_s" -ge 5 ] || { echo "HOLD_S must be at least 2 x CHURN_S + 5" >&2; exit 2; }
slices=$((churn_s / slice_s))
[ "$slices" -ge 1 ] || { echo "CHURN_S must be at least CHURN_SLICE" >&2; exit 2; }

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
  if [ -n "${KEEP_WORK:-}" ]; then echo "work files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

now_ns() { date +%s%N; }
# utime + stime of a process, in clock ticks (fields 14 and 15; the name may hold spaces).
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
# The same, exact: the run time in nanoseconds the scheduler kept for every thread.
run_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# Connections the kernel dropped because a listener's accept queue was full, and TCP segments
# sent again, machine-wide; counted per slice of new connections, so each server's own slices
# say how often its accept queue overflowed.
listen_overflows() { awk '/^TcpExt:/ { if (!h) { for (i = 1; i <= NF; i++) f[$i] = i; h = 1 } else print $f["ListenOverflows"] }' /proc/net/netstat; }
retrans_segs() { awk '/^Tcp:/ { if (!h) { for (i = 1; i <= NF; i++) f[$i] = i; h = 1 } else print $f["RetransSegs"] }' /proc/net/snmp; }
# Keep-alives the generators of a server have sent so far (each prints its count on SIGHUP):
# the CPU per keep-alive is divided by what was sent, not by what was asked for.
keepalives_sent() { # NAME
  local g total=0 before=()
  for g in $(seq 0 $((generators - 1))); do before+=("$(grep -c '^keepalives=' "$work/$1.g$g.out" || true)"); done
  # shellcheck disable=SC2086
  kill -HUP ${gens[$1]}
  for g in $(seq 0 $((generators - 1))); do
    for _ in $(seq 100); do
      [ "$(grep -c '^keepalives=' "$work/$1.g$g.out" || true)" -gt "${before[$g]}" ] && break
      sleep 0.01
    done
    total=$((total + $(grep '^keepalives=' "$work/$1.g$g.out" | tail -n 1 | cut -d= -f2)))
  done
  echo "$total"
}
slab_kib() { awk '/^Slab:/ { print $2 }' /proc/meminfo; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
wait_for_line() { # FILE PATTERN SECONDS
  local i
  for i in $(seq $(($3 * 20))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  return 1
}

echo "server_load: $connections connections per server, $generators generators each, hold" \
  "${hold_s} s, the last $((2 * churn_s)) s with $churn_rate new/s on one server at a time" \
  "(${slice_s}-s slices, $((slices * slice_s)) s each), ramp $ramp_rate/s, server threads" \
  "$threads at $priority, generators at niceness $generator_nice, descriptor limit $fd_limit"
echo "load before: $(uptime)"

# The servers. names[i], ports[i], spid[i] describe server i.
names=(floor)
ports=("$floor_port")
"${launch[@]}" "$bin/server_load_floor" --listen "127.0.0.1:$floor_port" --threads "$threads" \
  >"$work/floor.server.out" 2>&1 &
spid=($!)
pids+=($!)
wait_for_line "$work/floor.server.out" 'listening' 10
if [ -x "$bin/kelvora-server" ]; then
  cat >"$work/releases.json" <<'JSON'
{ "format": 1,
  "release":  { "version": "3.11.0", "package_bytes": 73811821, "rollout_percent": 25 },
  "fallback": { "version": "3.10.0", "package_bytes": 70913454 } }
JSON
  "${launch[@]}" "$bin/kelvora-server" --listen "127.0.0.1:$server_port" --threads "$threads" \
    --manifest "$work/releases.json" --metrics-listen "127.0.0.1:$metrics_port" \
    >"$work/kelvora-server.out" 2>"$work/kelvora-server.err" &
  names+=(kelvora-server)
  ports+=("$server_port")
  spid+=($!)
  pids+=($!)
  for _ in $(seq 200); do
    curl -sf "http://127.0.0.1:$metrics_port/healthz" >/dev/null 2>&1 && break
    kill -0 "${spid[1]}" 2>/dev/null || { cat "$work/kelvora-server.err" >&2; exit 1; }
    sleep 0.05
  done
  curl -sf "http://127.0.0.1:$metrics_port/healthz" >/dev/null ||
    { echo "kelvora-server did not become healthy" >&2; exit 1; }
else
  echo "kelvora-server is not built in $bin: the floor alone is measured"
fi
servers=${#names[@]}
for s in $(seq 0 $((servers - 1))); do
  got=$(sed 's/^.*) //' "/proc/${spid[$s]}/stat" | awk '{ print $17, $39 }')
  [ -n "$server_fifo" ] || [ "${got% *}" = "$server_nice" ] ||
    echo "note: ${names[$s]} runs at niceness ${got% *}, not $server_nice"
  [ -z "$server_fifo" ] || [ "${got#* }" = 1 ] ||
    echo "note: ${names[$s]} runs in scheduling class ${got#* }, not the real-time one"
done
sleep 1

declare -A rss_idle rss_held cpu0 cpu1 cpu2 cpu3 ns0 ns1 ns2 ns3 ka2 ka3 gens churner t1
slab_idle=$(slab_kib)
t0=$(now_ns)
for s in $(seq 0 $((servers - 1))); do
  name=${names[$s]}
  rss_idle[$name]=$(rss_kib "${spid[$s]}")
  cpu0[$name]=$(cpu_ticks "${spid[$s]}")
  ns0[$name]=$(run_ns "${spid[$s]}")
done
per=$((connections / generators))
for s in $(seq 0 $((servers - 1))); do
  name=${names[$s]}
  for g in $(seq 0 $((generators - 1))); do
    n=$per
    [ "$g" -ne $((generators - 1)) ] || n=$((connections - per * (generators - 1)))
    nice -n "$generator_nice" "$bin/server_load" --target "127.0.0.1:${ports[$s]}" --hold "$n" \
      --ramp-rate "$(awk -v r="$ramp_rate" -v g="$generators" 'BEGIN { print r / g }')" \
      --sources "127.$((s + 1)).$((g + 1)).1/16" --serial-base $((g * 1000000)) \
      --latency-out "$work/$name.g$g" >"$work/$name.g$g.out" &
    gens[$name]+="$! "
    pids+=($!)
  done
  for c in $(seq 0 $((churn_generators - 1))); do
    nice -n "$generator_nice" "$bin/server_load" --target "127.0.0.1:${ports[$s]}" --hold 0 \
      --churn-rate "$(awk -v r="$churn_rate" -v g="$churn_generators" 'BEGIN { print r / g }')" \
      --sources "127.$((s + 1)).$((200 + c)).1/32" --serial-base $((900000000 + c * 10000000)) \
      --latency-out "$work/$name.churn$c" >"$work/$name.churn$c.out" &
    churner[$name]+="$! "
    pids+=($!)
  done
done

# 1. Ramp: each server's CPU is read as soon as all its connections are answered.
deadline=$(($(date +%s) + connections / ramp_rate + 60))
while :; do
  pending=0
  for s in $(seq 0 $((servers - 1))); do
    name=${names[$s]}
    [ -z "${cpu1[$name]:-}" ] || continue
    if [ "$(cat "$work/$name".g*.out 2>/dev/null | grep -c '^ramped')" -eq "$generators" ]; then
      cpu1[$name]=$(cpu_ticks "${spid[$s]}")
      ns1[$name]=$(run_ns "${spid[$s]}")
      t1[$name]=$(now_ns)
    else
      pending=1
    fi
  done
  [ "$pending" -eq 1 ] || break
  [ "$(date +%s)" -lt "$deadline" ] || { echo "the ramp did not finish" >&2; exit 1; }
  sleep 0.02
done

# 2. Hold: keep-alives only. The first two seconds settle; the rest is measured.
# shellcheck disable=SC2086 # the generator lists are words
kill -USR1 ${gens[*]}
sleep 2
t2=$(now_ns)
for s in $(seq 0 $((servers - 1))); do
  cpu2[${names[$s]}]=$(cpu_ticks "${spid[$s]}")
  ns2[${names[$s]}]=$(run_ns "${spid[$s]}")
  ka2[${names[$s]}]=$(keepalives_sent "${names[$s]}")
done
sleep $((quiet_s - 2))
t3=$(now_ns)
for s in $(seq 0 $((servers - 1))); do
  name=${names[$s]}
  cpu3[$name]=$(cpu_ticks "${spid[$s]}")
  ns3[$name]=$(run_ns "${spid[$s]}")
  ka3[$name]=$(keepalives_sent "$name")
  rss_held[$name]=$(rss_kib "${spid[$s]}")
done
slab_held=$(slab_kib)

# 3. New connections on top of the held ones, one server at a time; each server's CPU is summed
# over its own slices and over the others'.
declare -A own_ns other_ns own_t other_t prev_ns overflows retrans
for s in $(seq 0 $((servers - 1))); do
  name=${names[$s]}
  own_ns[$name]=0 other_ns[$name]=0 own_t[$name]=0 other_t[$name]=0
  prev_ns[$name]=${ns3[$name]}
  overflows[$name]=0 retrans[$name]=0
done
prev_t=$t3
prev_overflows=$(listen_overflows)
prev_retrans=$(retrans_segs)
for i in $(seq 0 $((2 * slices - 1))); do
  active=${names[$((i % 2))]:-}  # with the floor alone, every other slice is quiet
  # shellcheck disable=SC2086
  [ -z "$active" ] || kill -USR2 ${churner[$active]}
  sleep "$slice_s"
  # shellcheck disable=SC2086
  [ -z "$active" ] || kill -USR2 ${churner[$active]}
  t=$(now_ns)
  now_overflows=$(listen_overflows)
  now_retrans=$(retrans_segs)
  if [ -n "$active" ]; then
    overflows[$active]=$((${overflows[$active]} + now_overflows - prev_overflows))
    retrans[$active]=$((${retrans[$active]} + now_retrans - prev_retrans))
  fi
  prev_overflows=$now_overflows prev_retrans=$now_retrans
  for s in $(seq 0 $((servers - 1))); do
    name=${names[$s]}
    used=$(run_ns "${spid[$s]}")
    if [ "$name" = "$active" ]; then
      own_ns[$name]=$((${own_ns[$name]} + used - ${prev_ns[$name]}))
      own_t[$name]=$((${own_t[$name]} + t - prev_t))
    else
      other_ns[$name]=$((${other_ns[$name]} + used - ${prev_ns[$name]}))
      other_t[$name]=$((${other_t[$name]} + t - prev_t))
    fi
    prev_ns[$name]=$used
  done
  prev_t=$t
done
# shellcheck disable=SC2086
kill -TERM ${gens[*]} ${churner[*]}
# shellcheck disable=SC2086
wait ${gens[*]} ${churner[*]}
if [ "$servers" -gt 1 ]; then
  closes=$(curl -sf "http://127.0.0.1:$metrics_port/metrics" | grep '^kelvora_server_closed_total' |
    tr '\n' ' ' || true)
fi
echo "load at the end: $(uptime)"

declare -A ok bytes hello ka churn_conn p99 rates s_hello s_ka slice_p99
for s in $(seq 0 $((servers - 1))); do
  name=${names[$s]}
  answered=0 failed=0 closed=0 held_end=0 keepalives=0 blocked=0 timeouts=0 bad=0 unexpected=0
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
  churn_answered=0 churn_failed=0
  for c in $(seq 0 $((churn_generators - 1))); do
    line=$(grep '^done' "$work/$name.churn$c.out")
    churn_answered=$((churn_answered + $(field churn_answered "$line")))
    churn_failed=$((churn_failed + $(field churn_failed "$line")))
    timeouts=$((timeouts + $(field timeouts "$line")))
    bad=$((bad + $(field bad_answers "$line")))
  done
  ok[$name]=$([ "$answered" -eq "$connections" ] && [ "$closed" -eq 0 ] &&
    [ "$held_end" -eq "$connections" ] && [ "$churn_failed" -eq 0 ] && [ "$bad" -eq 0 ] &&
    echo yes || echo no)
  ramp=$("$bin/server_load" --percentiles "$work/$name".g*.ramp)
  churn=$("$bin/server_load" --percentiles "$work/$name".churn*.churn)
  p99[$name]=$(field p99_us "$churn")
  # The p99 of each slice, and their median: a burst of other work on the machine spoils the
  # slice it falls in, not the figure.
  slice_list=""
  for k in $(seq 0 $((slices - 1))); do
    slice_list+="$(field p99_us "$("$bin/server_load" --percentiles "$work/$name".churn*.churn.$k)") "
  done
  slice_p99[$name]=$(tr ' ' '\n' <<<"$slice_list" | grep . | sort -g |
    awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }')
  # CPU in microseconds: ticks * 1e6 / CLK_TCK. Keep-alives: one a second per held connection.
  read -r hello[$name] ka[$name] churn_conn[$name] bytes[$name] rate < <(awk \
    -v c0="${cpu0[$name]}" -v c1="${cpu1[$name]}" -v c2="${cpu2[$name]}" -v c3="${cpu3[$name]}" \
    -v kas="$((${ka3[$name]} - ${ka2[$name]}))" -v tick="$tick" -v n="$connections" \
    -v churned="$churn_answered" \
    -v own="${own_ns[$name]}" -v other="${other_ns[$name]}" -v own_t="${own_t[$name]}" \
    -v other_t="${other_t[$name]}" -v ri="${rss_idle[$name]}" -v rh="${rss_held[$name]}" 'BEGIN {
      us = 1e6 / tick
      ka = (c3 - c2) * us / kas
      churn_cpu = (own - other * own_t / other_t) / 1000
      printf "%.2f %.2f %.2f %.0f %.0f\n", (c1 - c0) * us / n, ka,
        (churned > 0 ? churn_cpu / churned : 0), (rh - ri) * 1024 / n, churned / (own_t / 1e9)
    }')
  echo
  echo "[$name] ramp $(((${t1[$name]} - t0) / 1000000)) ms; counts: answered=$answered/$connections" \
    "ramp_failed=$failed held_at_end=$held_end closed_by_server=$closed keepalives=$keepalives" \
    "keepalive_blocked=$blocked churn_answered=$churn_answered churn_failed=$churn_failed" \
    "timeouts=$timeouts bad_answers=$bad unexpected_bytes=$unexpected"
  echo "[$name] keep-alives sent while measured: $((${ka3[$name]} - ${ka2[$name]})) in" \
    "$(awk -v a="$t2" -v b="$t3" 'BEGIN { printf "%.1f", (b - a) / 1e9 }') s" \
    "($connections a second asked)"
  echo "[$name] rss idle ${rss_idle[$name]} KiB, held ${rss_held[$name]} KiB:" \
    "${bytes[$name]} bytes per held connection"
  echo "[$name] cpu: ${hello[$name]} us per hello (ramp), ${ka[$name]} us per keep-alive (hold)," \
    "${churn_conn[$name]} us per new connection (own churn slices less the others')"
  read -r s_hello[$name] s_ka[$name] < <(awk -v n="$connections" \
    -v h="$((${ns1[$name]} - ${ns0[$name]}))" -v k="$((${ns3[$name]} - ${ns2[$name]}))" \
    -v kas="$((${ka3[$name]} - ${ka2[$name]}))" 'BEGIN {
      printf "%.2f %.2f\n", h / 1000 / n, k / 1000 / kas
    }')
  echo "[$name] the same from the scheduler's run time: ${s_hello[$name]} us per hello," \
    "${s_ka[$name]} us per keep-alive"
  echo "[$name] answer time, ramp: $ramp"
  rates[$name]=$rate
  echo "[$name] answer time, new connections on top of the held ($rate a second): $churn"
  echo "[$name] p99 of each slice of new connections (us): $slice_list"
  echo "[$name] during its slices of new connections, machine-wide: ${overflows[$name]} connections" \
    "dropped on a full accept queue, ${retrans[$name]} TCP segments sent again"
done
[ -z "${closes:-}" ] || echo "[kelvora-server] its own count of closes: $closes"
echo "kernel: Slab idle $slab_idle KiB, held $slab_held KiB:" \
  "$(((slab_held - slab_idle) * 1024 / (2 * servers * connections))) bytes per TCP socket (each end)"

for s in $(seq 1 $((servers - 1))); do kill -TERM "${spid[$s]}"; done
for s in $(seq 1 $((servers - 1))); do
  wait "${spid[$s]}" || echo "[${names[$s]}] exit status $? after SIGTERM"
  [ ! -s "$work/${names[$s]}.err" ] || echo "[${names[$s]}] stderr: $(head -c 2000 "$work/${names[$s]}.err")"
done
[ "$servers" -gt 1 ] || exit 0

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v != "-" && v <= t) ? "met" : "MISSED" }'; }
f=floor k=kelvora-server
echo
printf '%-42s %-9s %-15s %-6s %s\n' figure floor kelvora-server ratio target
printf '%-42s %-9s %-15s %-6s %s\n' "all answered and held, none closed" "${ok[$f]}" "${ok[$k]}" "" \
  "$([ "${ok[$k]}" = yes ] && echo met || echo MISSED)"
printf '%-42s %-9s %-15s %-6s %s\n' "server RSS bytes per held connection" "${bytes[$f]}" \
  "${bytes[$k]}" "" "<= 1024: $(verdict "${bytes[$k]}" 1024)"
r=$(ratio "${hello[$k]}" "${hello[$f]}")
printf '%-42s %-9s %-15s %-6s %s\n' "server CPU us per hello (utime+stime)" "${hello[$f]}" \
  "${hello[$k]}" "$r" "<= 1.5x: $(verdict "$r" 1.5)"
r=$(ratio "${s_hello[$k]}" "${s_hello[$f]}")
printf '%-42s %-9s %-15s %-6s %s\n' "  the same, scheduler's run time" "${s_hello[$f]}" \
  "${s_hello[$k]}" "$r" "<= 1.5x: $(verdict "$r" 1.5)"
r=$(ratio "${ka[$k]}" "${ka[$f]}")
printf '%-42s %-9s %-15s %-6s %s\n' "server CPU us per keep-alive (utime+stime)" "${ka[$f]}" \
  "${ka[$k]}" "$r" "<= 1.5x: $(verdict "$r" 1.5)"
r=$(ratio "${s_ka[$k]}" "${s_ka[$f]}")
printf '%-42s %-9s %-15s %-6s %s\n' "  the same, scheduler's run time" "${s_ka[$f]}" \
  "${s_ka[$k]}" "$r" "<= 1.5x: $(verdict "$r" 1.5)"
printf '%-42s %-9s %-15s %-6s %s\n' "server CPU us per new connection" "${churn_conn[$f]}" \
  "${churn_conn[$k]}" "$(ratio "${churn_conn[$k]}" "${churn_conn[$f]}")" "(information)"
r=$(ratio "${p99[$k]}" "${p99[$f]}")
printf '%-42s %-9s %-15s %-6s %s\n' "p99 answer us, new connections on top" "${p99[$f]}" \
  "${p99[$k]}" "$r" "<= 2x: $(verdict "$r" 2)"
r=$(ratio "${slice_p99[$k]}" "${slice_p99[$f]}")
printf '%-42s %-9s %-15s %-6s %s\n' "  median of the slices' p99" "${slice_p99[$f]}" \
  "${slice_p99[$k]}" "$r" "<= 2x: $(verdict "$r" 2)"
printf '%-42s %-9s %-15s %-6s %s\n' "  at new connections a second" "${rates[$f]}" "${rates[$k]}" "" \
  "$churn_rate asked"
