#!/usr/bin/env bash
# What the live progress costs: the stream rate with progress reports on (every 250 ms)
# against off, and the window's event-loop latency while a full-speed stream test and a
# large web test run. Run by hand; prints figures, asserts nothing.
#
#   bench/live-progress.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_BYTES (stream bytes per run, default 4 GiB),
# BENCH_RUNS (pairs of stream runs, default 5), BENCH_MIB (web file, default 256),
# BENCH_X11_PROBE (path of an outside latency probe; with Xvfb and xdotool it also measures
# the window from outside), BENCH_DISPLAY (X display for that, default :99).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
bytes=${BENCH_BYTES:-$((4 * 1024 * 1024 * 1024))}
runs=${BENCH_RUNS:-5}
mib=${BENCH_MIB:-256}
probe=${BENCH_X11_PROBE:-}
xdisplay=${BENCH_DISPLAY:-:99}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
need_package() {
  local program=$1 package=$2
  command -v "$program" >/dev/null && return
  as_root apt-get update >/dev/null
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package" >/dev/null
}
need_package /usr/sbin/nginx nginx
need_package /usr/bin/time time

if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
fi
cmake --build "$build" --target korvane-server korvane-cli korvane-bench-latency -j2 >/dev/null
server_bin=$build/bin/korvane-server
cli_bin=$build/bin/korvane-cli
latency_bin=$build/bin/korvane-bench-latency

source "$here/lib/scratch.sh"
source "$here/lib/nginx.sh"
load() { cut -d' ' -f1-3 /proc/loadavg; }

server_port=$(free_port)
"$server_bin" --listen 127.0.0.1 --port "$server_port" --bytes "$bytes" 2>"$work/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/server.log" && break; sleep 0.05; done

rate_of() { python3 -c "import json,sys; d=json.loads(open(sys.argv[1]).read().splitlines()[-1]); print(d['rate_kbps']*1024/1e6 if d['valid'] else 'invalid')" "$work/out"; }
# Runs korvane-cli; leaves its output in $work/out and its CPU seconds per GiB in cpu.
# CPU time varies less than the rate when other work shares the machine.
run_cli() {
  /usr/bin/time -f '%U %S' -o "$work/time" "$cli_bin" "$@" >"$work/out"
  cpu=$(awk -v b="$bytes" '{print ($1 + $2) / (b / 2^30)}' "$work/time")
}

printf 'Stream of %d bytes, progress reports off and on (250 ms), %d pairs, load %s\n' "$bytes" "$runs" "$(load)"
printf '%-4s %14s %14s %8s %14s %14s\n' pair 'off MB/s' 'on MB/s' 'on/off' 'off CPU s/GiB' 'on CPU s/GiB'
ratios=(); cpu_off=(); cpu_on=()
for run in $(seq "$runs"); do
  # Alternating which goes first spreads any drift of the machine over both.
  for which in $( (( run % 2 )) && echo off on || echo on off); do
    if [[ $which == off ]]; then
      run_cli --json --port "$server_port" 127.0.0.1; off=$(rate_of); c_off=$cpu
    else
      run_cli --json --interval 0.25 --port "$server_port" 127.0.0.1; on=$(rate_of); c_on=$cpu
    fi
  done
  ratio=$(python3 -c "print($on / $off)")
  ratios+=("$ratio"); cpu_off+=("$c_off"); cpu_on+=("$c_on")
  printf '%-4s %14.1f %14.1f %8.3f %14.3f %14.3f\n' "$run" "$off" "$on" "$ratio" "$c_off" "$c_on"
done
python3 -c "
import statistics
r=[${ratios[*]/%/,}]
a=[${cpu_off[*]/%/,}]; b=[${cpu_on[*]/%/,}]
print(f'mean on/off {statistics.mean(r):.3f}, median {statistics.median(r):.3f} (target >= 0.99), load $(load)')
print(f'median CPU s/GiB: off {statistics.median(a):.3f}, on {statistics.median(b):.3f}')"

# The web file, served by a local nginx.
web_port=$(free_port)
mkdir -p "$work/www"
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/www/large.bin"
start_nginx "$web_port" "$work/www" "default_type application/octet-stream;"

printf '\nWindow event-loop latency from a 4 ms timer inside the program (target: p99 < 16 ms)\n'
printf '%-8s %-9s %10s %8s %8s %8s %8s\n' test progress 'MB/s' ticks 'p50 ms' 'p99 ms' 'max ms'
latency() {
  local label=$1; shift
  QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$latency_bin" "$@" >"$work/lat" 2>/dev/null || true
  python3 - "$label" "$work/lat" <<'PY'
import json, sys
d = json.loads(open(sys.argv[2]).read().splitlines()[-1])
rate = d['rate_kbps'] * 1024 / 1e6 if d['valid'] else float('nan')
print(f"{sys.argv[1]:<8} {'on' if d['progress'] else 'off':<9} {rate:10.1f} {d['ticks']:8d} "
      f"{d['late_p50_ms']:8.2f} {d['late_p99_ms']:8.2f} {d['late_max_ms']:8.2f}")
PY
}
for _ in $(seq "${BENCH_LATENCY_RUNS:-3}"); do
  for progress in "" --no-progress; do
    latency stream --stream "127.0.0.1:$server_port" $progress
    stream_seconds=$(python3 -c "import json; print(json.load(open('$work/lat'))['seconds'])")
    latency web --web "http://127.0.0.1:$web_port/large.bin" $progress
    web_seconds=$(python3 -c "import json; print(json.load(open('$work/lat'))['seconds'])")
  done
done
echo "load $(load)"

# The same window measured from outside, through the X server.
if [[ -n $probe ]]; then
  need_package Xvfb xvfb
  need_package xdotool xdotool
  if ! /usr/bin/python3 -c 'import Xlib' 2>/dev/null; then
    as_root apt-get update >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-xlib >/dev/null
  fi
  printf '\nFrom outside (%s on %s, pings every 10 ms during the test)\n' "$(basename "$probe")" "$xdisplay"
  Xvfb "$xdisplay" -screen 0 1024x768x24 -noreset >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
  for target in "--stream 127.0.0.1:$server_port" "--web http://127.0.0.1:$web_port/large.bin"; do
    # The test starts after 1.5 s; the probe runs about as long as the test took offscreen,
    # and the window stays a while after it, so every ping finds it.
    DISPLAY=$xdisplay "$latency_bin" $target --delay 1500 --hold 4000 >"$work/lat" 2>/dev/null &
    app=$!
    wid=
    for _ in $(seq 50); do
      wid=$(DISPLAY=$xdisplay xdotool search --onlyvisible --name '^Korvane Client' 2>/dev/null | head -1) && [[ -n $wid ]] && break
      sleep 0.1
    done
    sleep 1.4
    seconds=$(python3 -c "print(max(0.5, $( [[ $target == --stream* ]] && echo "$stream_seconds" || echo "$web_seconds")))")
    "$probe" "$xdisplay" "$wid" "$seconds" || true
    wait "$app" || true
    echo "  (inside: $(cat "$work/lat"))"
  done
fi
