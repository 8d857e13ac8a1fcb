#!/usr/bin/env bash
# korvane-server's session port on loopback beside iperf3 as the reference: download and
# upload with 1 and 4 streams, the rate and the server's CPU per GiB for each; then many
# paced sessions at once. Run by hand; prints figures, asserts nothing.
#
#   bench/session-server-load.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_SECONDS (5 per case), BENCH_RUNS (2),
# BENCH_SESSIONS (100 paced sessions), BENCH_RATE (1000000 bytes per second each),
# BENCH_PACED_SECONDS (3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
seconds=${BENCH_SECONDS:-5}
runs=${BENCH_RUNS:-2}
sessions=${BENCH_SESSIONS:-100}
rate=${BENCH_RATE:-1000000}
paced_seconds=${BENCH_PACED_SECONDS:-3}

if [[ ! -x $build/bin/korvane-server || ! -x $build/bin/korvane-bench-session-load ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-bench-session-load -j2 >/dev/null
fi
command -v iperf3 >/dev/null || { echo "iperf3 is needed (apt-get install iperf3)" >&2; exit 1; }

server_bin=$build/bin/korvane-server
load_bin=$build/bin/korvane-bench-session-load
source "$here/lib/scratch.sh"
tick=$(getconf CLK_TCK)

# CPU seconds (user + system) a process has used so far.
cpu_of() { awk -v t="$tick" '{print ($14 + $15) / t}' "/proc/$1/stat"; }

start_server() {
  server_port=$(free_port)
  session_port=$(free_port)
  "$server_bin" --listen 127.0.0.1 --port "$server_port" --session-port "$session_port" "$@" 2>"$work/server.log" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do grep -q "sessions on" "$work/server.log" && return; sleep 0.05; done
  echo "korvane-server did not start" >&2; exit 1
}
stop_server() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }

# One Korvane case: sets k_rate (MB/s) and k_cpu (server CPU s/GiB).
korvane_case() {
  local direction=$1 streams=$2
  start_server
  local before; before=$(cpu_of "$server_pid")
  read -r bytes span k_rate < <("$load_bin" "$session_port" "$direction" "$streams" "$seconds")
  local after; after=$(cpu_of "$server_pid")
  k_cpu=$(python3 -c "print(($after - $before) / ($bytes / 2**30))")
  stop_server
}

# The same with iperf3: sets i_rate and i_cpu.
iperf_case() {
  local direction=$1 streams=$2
  local iport; iport=$(free_port)
  iperf3 -s -p "$iport" >/dev/null 2>&1 &
  local ipid=$!
  pids+=("$ipid")
  sleep 0.3
  local before; before=$(cpu_of "$ipid")
  local reverse=(); [[ $direction == download ]] && reverse=(-R)
  iperf3 -c 127.0.0.1 -p "$iport" "${reverse[@]}" -P "$streams" -t "$seconds" -J >"$work/iperf.json"
  local after; after=$(cpu_of "$ipid")
  read -r i_rate i_bytes < <(python3 -c "
import json
d=json.load(open('$work/iperf.json'))['end']['sum_received']
print(d['bits_per_second']/8/1e6, d['bytes'])")
  i_cpu=$(python3 -c "print(($after - $before) / ($i_bytes / 2**30))")
  kill "$ipid" 2>/dev/null || true; wait "$ipid" 2>/dev/null || true
}

printf 'Loopback sessions of %s s, %d runs each (Release build in %s); load average: %s\n\n' \
  "$seconds" "$runs" "$build" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-9s %7s %4s %12s %12s %7s %16s %16s\n' direction streams run 'korvane MB/s' 'iperf3 MB/s' ratio \
  'server s/GiB' 'iperf3 srv s/GiB'
for direction in download upload; do
  for streams in 1 4; do
    for run in $(seq "$runs"); do
      korvane_case "$direction" "$streams"
      iperf_case "$direction" "$streams"
      printf '%-9s %7d %4d %12.1f %12.1f %7.3f %16.3f %16.3f\n' "$direction" "$streams" "$run" "$k_rate" "$i_rate" \
        "$(python3 -c "print($k_rate / $i_rate)")" "$k_cpu" "$i_cpu"
    done
  done
done

printf '\n%d sessions at once, 1 stream each, paced at %d bytes/s for %s s\n' "$sessions" "$rate" "$paced_seconds"
start_server --rate "$rate" --max-sessions "$sessions" --max-sessions-per-address "$sessions"
before=$(cpu_of "$server_pid")
read -r bytes worst mean failed < <("$load_bin" "$session_port" paced "$sessions" "$paced_seconds" "$rate" || true)
after=$(cpu_of "$server_pid")
stop_server
printf 'worst client error %.3f %%, mean %.3f %% (target: every client within 1 %%), failed %s; server %.3f CPU s/GiB\n' \
  "$worst" "$mean" "$failed" "$(python3 -c "print(($after - $before) / ($bytes / 2**30))")"
printf 'load average at the end: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
