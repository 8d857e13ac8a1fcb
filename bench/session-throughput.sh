#!/usr/bin/env bash
# Sessions on loopback: korvane-cli against korvane-server beside iperf3 as the reference
# (download and upload, 1 and 4 streams, with each server's CPU per GiB), 100 paced sessions
# at once, and the client's receive cost against a reader that copies every byte.
# Run by hand; prints figures, asserts nothing.
#
#   bench/session-throughput.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_SECONDS (default 5 per run), BENCH_RUNS (2),
# BENCH_BYTES (4 GiB for the receive-cost runs), BENCH_CLIENTS (100),
# BENCH_PACED_SECONDS (3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
seconds=${BENCH_SECONDS:-5}
runs=${BENCH_RUNS:-2}
bytes=${BENCH_BYTES:-$((4 * 1024 * 1024 * 1024))}
clients=${BENCH_CLIENTS:-100}
paced_seconds=${BENCH_PACED_SECONDS:-3}

source "$root/scripts/lib/common.sh"
ensure_packages "${KORVANE_BENCH_PACKAGES[@]}"
if [[ ! -x $build/bin/korvane-cli || ! -x $build/bin/korvane-server || ! -x $build/bin/bench-copying-reader ]]; then
  configure_once "$build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-cli bench-copying-reader -j2 >/dev/null
fi

server_bin=$build/bin/korvane-server
cli_bin=$build/bin/korvane-cli
reader_bin=$build/bin/bench-copying-reader
source "$here/lib/scratch.sh"

# Starts korvane-server with the given options; sets server_port, session_port and server_pid.
start_server() {
  server_port=$(free_port)
  session_port=$(free_port)
  "$server_bin" --listen 127.0.0.1 --port "$server_port" --session-port "$session_port" "$@" 2>"$work/server.log" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do grep -q 'sessions on' "$work/server.log" && return; sleep 0.05; done
  echo "korvane-server did not start: $(cat "$work/server.log")" >&2; exit 1
}
stop_server() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }

ticks=$(getconf CLK_TCK)
# CPU seconds of a process: nanoseconds from schedstat where the kernel keeps them, else ticks.
proc_cpu() {
  if [[ -r /proc/$1/schedstat ]]; then awk '{print $1 / 1e9}' "/proc/$1/schedstat"
  else awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$1/stat"; fi
}

# Runs a command, leaving its output in $work/out and its CPU seconds (user+sys) in cpu.
timed() {
  /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$work/out"
  cpu=$(awk '{print $1 + $2}' "$work/time")
}

# rate_MBps bytes of the last korvane-cli result line in $work/out (the first that is not an interval).
korvane_result() {
  python3 - "$work/out" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    d = json.loads(line)
    if d.get("type") == "interval":
        continue
    if not d["valid"]:
        sys.exit(f"korvane-cli result not valid: {d['error']}")
    print(d["rate_kbps"] * 1024 / 1e6, d["bytes"])
    break
PY
}

calc() { python3 -c "print($1)"; }

printf 'Sessions on loopback, %s s per run, %d runs each (Release build in %s, load %s)\n\n' \
  "$seconds" "$runs" "$build" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %4s %13s %13s %7s %16s %16s\n' case run 'korvane MB/s' 'iperf3 MB/s' ratio 'k-server s/GiB' 'i-server s/GiB'
for case in "download 1" "download 4" "upload 1" "upload 4"; do
  read -r direction streams <<<"$case"
  iperf_opts=(-P "$streams")
  [[ $direction == download ]] && iperf_opts+=(-R)
  sum_ratio=0
  for run in $(seq "$runs"); do
    start_server
    before=$(proc_cpu "$server_pid")
    timed "$cli_bin" --json --streams "$streams" --direction "$direction" --seconds "$seconds" \
      --session-port "$session_port" 127.0.0.1
    after=$(proc_cpu "$server_pid")
    read -r k_rate k_bytes < <(korvane_result)
    k_cpu=$(calc "($after - $before) / ($k_bytes / 2**30)")
    stop_server

    iport=$(free_port)
    iperf3 -s -p "$iport" >/dev/null 2>&1 &
    ipid=$!
    pids+=("$ipid")
    sleep 0.3
    before=$(proc_cpu "$ipid")
    timed iperf3 -c 127.0.0.1 -p "$iport" "${iperf_opts[@]}" -t "$seconds" -J
    after=$(proc_cpu "$ipid")
    kill "$ipid" 2>/dev/null || true; wait "$ipid" 2>/dev/null || true
    read -r i_rate i_bytes < <(python3 -c "
import json
d=json.load(open('$work/out'))['end']['sum_received']
print(d['bits_per_second']/8/1e6, d['bytes'])")
    i_cpu=$(calc "($after - $before) / ($i_bytes / 2**30)")

    ratio=$(calc "$k_rate / $i_rate")
    sum_ratio=$(calc "$sum_ratio + $ratio")
    printf '%-14s %4s %13.1f %13.1f %7.3f %16.3f %16.3f\n' "$direction x$streams" "$run" "$k_rate" "$i_rate" \
      "$ratio" "$k_cpu" "$i_cpu"
  done
  printf '%-14s mean ratio korvane/iperf3: %.3f (target >= 1.0)\n' "$direction x$streams" "$(calc "$sum_ratio / $runs")"
done

printf '\n%d sessions at once, 1 stream each, paced at 1000000 B/s per stream for %s s\n' "$clients" "$paced_seconds"
start_server --rate 1000000 --max-sessions "$clients" --max-sessions-per-address "$clients"
cpids=()
for c in $(seq "$clients"); do
  "$cli_bin" --json --streams 1 --seconds "$paced_seconds" --session-port "$session_port" 127.0.0.1 \
    >"$work/paced.$c" 2>&1 &
  cpids+=($!)
done
for p in "${cpids[@]}"; do wait "$p" || true; done
stop_server
python3 - "$work" "$clients" <<'PY'
import json, sys
work, clients = sys.argv[1], int(sys.argv[2])
rate = 1000000
errors, failed = [], []
for c in range(1, clients + 1):
    try:
        d = json.loads(open(f"{work}/paced.{c}").readline())
    except Exception as e:
        failed.append(f"client {c}: {open(f'{work}/paced.{c}').read()[:200]!r}")
        continue
    if not d["valid"]:
        failed.append(f"client {c}: {d['error']}")
        continue
    errors.append(100 * (d["rate_kbps"] * 1024 - rate) / rate)
for f in failed[:5]:
    print(f"  not valid: {f}")
if errors:
    within = sum(1 for e in errors if abs(e) <= 1.0)
    print(f"valid {len(errors)} of {clients}; within 1 %: {within}; worst {max(errors, key=abs):+.3f} %, "
          f"mean {sum(errors)/len(errors):+.3f} %, spread {max(errors)-min(errors):.3f} % (target: every client within 1 %)")
PY

printf '\nClient CPU per GiB received, %d bytes per run (stream test and copying reader), %s s (session)\n' \
  "$bytes" "$seconds"
printf '%4s %14s %14s %14s %14s %10s %10s %10s\n' run 'stream s/GiB' 'session s/GiB' 'copying s/GiB' \
  'bare s/GiB' 'stream/c' 'session/c' 'bare/c'
for run in $(seq "$runs"); do
  start_server --bytes "$bytes"
  timed "$cli_bin" --json --port "$server_port" 127.0.0.1
  read -r _ s_bytes < <(korvane_result)
  s_cpu=$(calc "$cpu / ($s_bytes / 2**30)")
  timed "$reader_bin" 127.0.0.1 "$server_port"
  c_cpu=$(calc "$cpu / ($(cat "$work/out") / 2**30)")
  timed "$reader_bin" --discard 127.0.0.1 "$server_port"
  b_cpu=$(calc "$cpu / ($(cat "$work/out") / 2**30)")
  timed "$cli_bin" --json --streams 1 --seconds "$seconds" --session-port "$session_port" 127.0.0.1
  read -r _ d_bytes < <(korvane_result)
  d_cpu=$(calc "$cpu / ($d_bytes / 2**30)")
  stop_server
  printf '%4s %14.3f %14.3f %14.3f %14.3f %10.3f %10.3f %10.3f\n' "$run" "$s_cpu" "$d_cpu" "$c_cpu" "$b_cpu" \
    "$(calc "$s_cpu / $c_cpu")" "$(calc "$d_cpu / $c_cpu")" "$(calc "$b_cpu / $c_cpu")"
done
echo '(target: stream/c and session/c at most 0.5; each process whole, its start-up included;'
echo ' bare: a blocking reader that drops the data in the kernel and does nothing else, the floor)'
