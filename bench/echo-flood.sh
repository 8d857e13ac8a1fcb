#!/usr/bin/env bash
# One client floods korvane-server's session port with echo lines while another runs a paced
# download: the paced rate beside the same session alone, and how long new connections wait
# for their hello, with the flooder reading its replies and with it reading none. Run by
# hand on loopback; prints figures, asserts nothing.
#
#   bench/echo-flood.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_SECONDS (5 per session), BENCH_RUNS (3),
# BENCH_RATE (5000000 bytes per second, the server's --rate), BENCH_SERVER (another
# korvane-server binary to measure, say an older one).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
seconds=${BENCH_SECONDS:-5}
runs=${BENCH_RUNS:-3}
rate=${BENCH_RATE:-5000000}

if [[ ! -x $build/bin/korvane-server || ! -x $build/bin/korvane-bench-session-load ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-bench-session-load -j2 >/dev/null
fi
server_bin=${BENCH_SERVER:-$build/bin/korvane-server}
load_bin=$build/bin/korvane-bench-session-load
source "$here/lib/scratch.sh"

printf 'A paced session at %d bytes/s for %s s beside an echo flood, %d runs (%s); load average: %s\n' \
  "$rate" "$seconds" "$runs" "$server_bin" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'targets: the paced rate within 2 %% of the one alone, every hello within 100 ms\n\n'
printf '%4s %-7s %10s %10s %14s %14s\n' run flood 'MB/s' 'vs alone' 'hello med ms' 'hello max ms'
for run in $(seq "$runs"); do
  port=$(free_port)
  session_port=$(free_port)
  "$server_bin" --listen 127.0.0.1 --port "$port" --session-port "$session_port" --rate "$rate" 2>"$work/server.log" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do grep -q "sessions on" "$work/server.log" && break; sleep 0.05; done
  alone=
  while read -r flood mbs median longest; do
    [[ $flood == none ]] && alone=$mbs
    printf '%4d %-7s %10.3f %+9.2f%% %14.3f %14.3f\n' "$run" "$flood" "$mbs" \
      "$(python3 -c "print(($mbs / $alone - 1) * 100)")" "$median" "$longest"
  done < <("$load_bin" "$session_port" flood 1 "$seconds" || echo "failed 0 0 0")
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
done
