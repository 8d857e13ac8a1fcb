#!/usr/bin/env bash
# Loopback throughput of korvane-cli against korvane-server, beside iperf3 as the reference,
# and the accuracy of the server's pacing. Run by hand; prints figures, asserts nothing.
#
#   bench/stream-throughput.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_BYTES (default 4 GiB per run), BENCH_RUNS (3),
# BENCH_PACED_SECONDS (3).
# BENCH_RUNS=0 skips the comparison with iperf3 and runs only the paced cases.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
bytes=${BENCH_BYTES:-$((4 * 1024 * 1024 * 1024))}
runs=${BENCH_RUNS:-3}
paced_seconds=${BENCH_PACED_SECONDS:-3}

if [[ ! -x $build/bin/korvane-cli || ! -x $build/bin/korvane-server ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-cli -j2 >/dev/null
fi
[[ $runs == 0 ]] || command -v iperf3 >/dev/null || { echo "iperf3 is needed (apt-get install iperf3)" >&2; exit 1; }

server_bin=$build/bin/korvane-server
cli_bin=$build/bin/korvane-cli
source "$here/lib/scratch.sh"

# Starts korvane-server with the given options; sets server_port and server_pid.
start_server() {
  server_port=$(free_port)
  "$server_bin" --listen 127.0.0.1 --port "$server_port" "$@" 2>"$work/server.log" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do grep -q listening "$work/server.log" && return; sleep 0.05; done
  echo "korvane-server did not start" >&2; exit 1
}
stop_server() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }

# Runs a command, leaving its output in $work/out and its CPU seconds (user+sys) in cpu.
timed() {
  /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$work/out"
  cpu=$(awk '{print $1 + $2}' "$work/time")
}

json_field() { python3 -c "import json,sys; print(json.loads(open(sys.argv[1]).readline())[sys.argv[2]])" "$work/out" "$1"; }

if [[ $runs != 0 ]]; then
printf 'Loopback stream of %d bytes, %d runs each (Release build in %s)\n\n' "$bytes" "$runs" "$build"
printf '%-4s %16s %16s %8s %14s %14s\n' run 'korvane MB/s' 'iperf3 MB/s' ratio 'korvane s/GiB' 'iperf3 s/GiB'
sum_ratio=0; sum_kcpu=0; sum_icpu=0
for run in $(seq "$runs"); do
  start_server --bytes "$bytes"
  timed "$cli_bin" --json --port "$server_port" 127.0.0.1
  [[ $(json_field valid) == True ]] || { echo "korvane-cli test not valid: $(cat "$work/out")" >&2; exit 1; }
  k_rate=$(python3 -c "print($(json_field rate_kbps) * 1024 / 1e6)")
  k_cpu=$(python3 -c "print($cpu / ($(json_field bytes) / 2**30))")
  stop_server

  iport=$(free_port)
  iperf3 -s -1 -p "$iport" >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.3
  timed iperf3 -c 127.0.0.1 -p "$iport" -R -n "$bytes" -J
  read -r i_rate i_bytes < <(python3 -c "
import json,sys
d=json.load(open('$work/out'))['end']['sum_received']
print(d['bits_per_second']/8/1e6, d['bytes'])")
  i_cpu=$(python3 -c "print($cpu / ($i_bytes / 2**30))")
  wait "${pids[-1]}" 2>/dev/null || true

  ratio=$(python3 -c "print($k_rate / $i_rate)")
  printf '%-4s %16.1f %16.1f %8.3f %14.3f %14.3f\n' "$run" "$k_rate" "$i_rate" "$ratio" "$k_cpu" "$i_cpu"
  sum_ratio=$(python3 -c "print($sum_ratio + $ratio)")
  sum_kcpu=$(python3 -c "print($sum_kcpu + $k_cpu)")
  sum_icpu=$(python3 -c "print($sum_icpu + $i_cpu)")
done
python3 -c "
r=$runs
print(f'mean ratio korvane/iperf3: {$sum_ratio/r:.3f} (target >= 0.95)')
print(f'mean client CPU s/GiB: korvane {$sum_kcpu/r:.3f}, iperf3 {$sum_icpu/r:.3f} (target: korvane <= iperf3)')"
fi

printf '\nPaced server: N clients at once, %s s per case (load: %s)\n' "$paced_seconds" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%8s %14s %14s %14s %14s %14s %14s\n' clients 'paced B/s' 'worst error' 'mean error' 'spread error' \
  'server worst' 'server s/GiB'
ticks=$(getconf CLK_TCK)
# CPU seconds of the server: nanoseconds from schedstat where the kernel keeps them, else ticks.
server_cpu() {
  if [[ -r /proc/$server_pid/schedstat ]]; then awk '{print $1 / 1e9}' "/proc/$server_pid/schedstat"
  else awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$server_pid/stat"; fi
}
for clients in 1 3 10; do
  for rate in 1000000 10000000 100000000; do
    start_server --seconds "$paced_seconds" --rate "$rate"
    cpu_before=$(server_cpu)
    cpids=()
    for c in $(seq "$clients"); do
      "$cli_bin" --json --port "$server_port" 127.0.0.1 >"$work/paced.$c" &
      cpids+=($!)
    done
    for p in "${cpids[@]}"; do wait "$p" || true; done
    cpu_after=$(server_cpu)
    stop_server
    python3 - "$work" "$clients" "$rate" "$cpu_before" "$cpu_after" <<'PY'
import json, re, sys
work, clients, rate, before, after = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
# The server's own view: bytes over the time from accept to close, per connection.
served = [100 * (int(b) / float(t) - rate) / rate
          for b, t in re.findall(r": (\d+) bytes in ([\d.]+) s", open(f"{work}/server.log").read())]
server_worst = max(served, key=abs) if served else float("nan")
errors, total = [], 0
for c in range(1, clients + 1):
    d = json.loads(open(f"{work}/paced.{c}").readline())
    if not d["valid"]:
        print(f"client {c} not valid: {d['error']}", file=sys.stderr)
        errors.append(float("nan"))
        continue
    errors.append(100 * (d["rate_kbps"] * 1024 - rate) / rate)
    total += d["bytes"]
worst = max(errors, key=lambda e: abs(e) if e == e else float("inf"))
mean = sum(errors) / len(errors)
spread = max(errors) - min(errors)
cpu = (after - before) / (total / 2**30) if total else float("nan")
print(f"{clients:8d} {rate:14d} {worst:+13.3f}% {mean:+13.3f}% {spread:13.3f}% {server_worst:+13.3f}% {cpu:14.3f}")
PY
  done
done
echo '(target: every client within 1% of the paced rate; server worst: its own bytes/time per connection; server CPU seconds per GiB sent)'
