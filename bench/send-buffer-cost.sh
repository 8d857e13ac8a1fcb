#!/usr/bin/env bash
# What korvane-server's cap on unsent bytes costs on the loopback: the same reader against
# the server's defaults and against --send-buffer 0, beside iperf3 -R, run after one another
# in each round so that they share the machine's load. Prints figures, asserts nothing.
#
#   bench/send-buffer-cost.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ (Release, no sanitizers). The readers are korvane-cli's
# stream test (when built) and the plain reader bench-copying-reader. Environment:
# BENCH_BYTES (default 4 GiB per run), BENCH_RUNS (3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
bytes=${BENCH_BYTES:-$((4 * 1024 * 1024 * 1024))}
runs=${BENCH_RUNS:-3}

if [[ ! -x $build/bin/korvane-server || ! -x $build/bin/bench-copying-reader ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server bench-copying-reader -j2 >/dev/null
fi
command -v iperf3 >/dev/null || { echo "iperf3 is needed (apt-get install iperf3)" >&2; exit 1; }
source "$here/lib/scratch.sh"

server_bin=$build/bin/korvane-server
readers=(plain)
[[ -x $build/bin/korvane-cli ]] && readers+=(korvane-cli)

# GB/s of one reader against a server with the given options.
korvane_rate() {
  local reader=$1; shift
  local port; port=$(free_port)
  "$server_bin" --listen 127.0.0.1 --port "$port" --session-port 0 --bytes "$bytes" "$@" 2>"$work/server.log" &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do grep -q listening "$work/server.log" && break; sleep 0.05; done
  local start end
  start=$(date +%s.%N)
  if [[ $reader == plain ]]; then
    "$build/bin/bench-copying-reader" 127.0.0.1 "$port" >/dev/null
  else
    "$build/bin/korvane-cli" --quiet --port "$port" 127.0.0.1 >/dev/null
  fi
  end=$(date +%s.%N)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  python3 -c "print(f'{$bytes / ($end - $start) / 1e9:.2f}')"
}

iperf_rate() {
  local port; port=$(free_port)
  iperf3 -s -1 -p "$port" >/dev/null 2>&1 &
  local pid=$!
  sleep 0.3
  iperf3 -c 127.0.0.1 -p "$port" -R -n "$bytes" -J >"$work/iperf.json"
  wait "$pid" 2>/dev/null || true
  python3 -c "import json; print(f\"{json.load(open('$work/iperf.json'))['end']['sum_received']['bits_per_second'] / 8e9:.2f}\")"
}

printf 'Loopback, %d bytes a run, %d rounds (load: %s); GB/s\n\n' "$bytes" "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-12s %-6s %10s %16s %10s %14s %12s\n' reader round defaults '--send-buffer 0' 'iperf3 -R' 'defaults/0' 'def/iperf3'
for reader in "${readers[@]}"; do
  for round in $(seq "$runs"); do
    d=$(korvane_rate "$reader")
    z=$(korvane_rate "$reader" --send-buffer 0)
    i=$(iperf_rate)
    python3 -c "print(f'{\"$reader\":<12} {$round:<6} {$d:>10} {$z:>16} {$i:>10} {$d / $z:>14.3f} {$d / $i:>12.3f}')"
  done
done
echo '(target: defaults within 5 % of --send-buffer 0, and at least 2 times iperf3 -R)'
