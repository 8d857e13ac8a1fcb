#!/usr/bin/env bash
# korvane-server's stream rate over each address family on loopback: one dual-stack server
# (the default, ::) read over 127.0.0.1 and over ::1 in turn, and an IPv4-only server
# (--listen 127.0.0.1) as the reference for what the dual-stack socket costs IPv4 clients.
# The reader is bench-copying-reader, so only the server and the family differ.
# Run by hand; prints figures, asserts nothing.
#
#   bench/server-families.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder (Release, no sanitizers).
# Environment: BENCH_BYTES (default 4 GiB per transfer), BENCH_RUNS (3).
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
server_bin=$build/bin/korvane-server
reader_bin=$build/bin/bench-copying-reader
source "$here/lib/scratch.sh"

# Starts korvane-server with the given options; sets server_port and server_pid.
start_server() {
  : >"$work/server.log"
  "$server_bin" --port 0 --session-port 0 --bytes "$bytes" "$@" 2>"$work/server.log" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do
    server_port=$(sed -n 's/.*listening on .*:\([0-9]*\).*/\1/p' "$work/server.log")
    [[ -n $server_port ]] && return
    sleep 0.05
  done
  echo "korvane-server did not start" >&2; exit 1
}
stop_server() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }

# MB/s of one transfer from the running server to address.
rate() {
  local start end got
  start=$(date +%s.%N)
  got=$("$reader_bin" "$1" "$server_port")
  end=$(date +%s.%N)
  [[ $got == "$bytes" ]] || { echo "got $got bytes of $bytes over $1" >&2; exit 1; }
  python3 -c "print($bytes / ($end - $start) / 1e6)"
}

printf 'Loopback stream of %d bytes, %d runs (Release build in %s)\n\n' "$bytes" "$runs" "$build"
printf '%-4s %18s %18s %18s %10s %10s\n' run 'IPv4-only MB/s' 'dual, IPv4 MB/s' 'dual, IPv6 MB/s' 'v6/v4' 'dual/only'
sum_v6=0; sum_dual=0
for run in $(seq "$runs"); do
  start_server --listen 127.0.0.1
  only=$(rate 127.0.0.1)
  stop_server
  start_server
  # Alternate the order, so neither family always runs on a warmer machine.
  if (( run % 2 )); then v4=$(rate 127.0.0.1); v6=$(rate ::1); else v6=$(rate ::1); v4=$(rate 127.0.0.1); fi
  stop_server
  r6=$(python3 -c "print($v6 / $v4)")
  rd=$(python3 -c "print($v4 / $only)")
  printf '%-4s %18.1f %18.1f %18.1f %10.3f %10.3f\n' "$run" "$only" "$v4" "$v6" "$r6" "$rd"
  sum_v6=$(python3 -c "print($sum_v6 + $r6)")
  sum_dual=$(python3 -c "print($sum_dual + $rd)")
done
python3 -c "print('\nmean ratio IPv6/IPv4 on the dual-stack server: %.3f; dual-stack/IPv4-only for IPv4: %.3f' % ($sum_v6 / $runs, $sum_dual / $runs))"
