#!/usr/bin/env bash
# What latency probes cost a test: session downloads on loopback with the probes on and off,
# alternating, and the probes' share of the bytes. Run by hand; prints figures, asserts nothing.
#
#   bench/latency-cost.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder (Release, no sanitizers). Environment:
# BENCH_SECONDS (default 5 per run), BENCH_RUNS (3 pairs), BENCH_STREAMS (1),
# BENCH_RATE (bytes per second per stream, default 0: unpaced; a paced run shows the share on
# a slower link).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
seconds=${BENCH_SECONDS:-5}
runs=${BENCH_RUNS:-3}
streams=${BENCH_STREAMS:-1}
rate=${BENCH_RATE:-0}

source "$root/scripts/lib/common.sh"
if [[ ! -x $build/bin/korvane-cli || ! -x $build/bin/korvane-server ]]; then
  configure_once "$build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-cli -j2 >/dev/null
fi
source "$here/lib/scratch.sh"

session_port=$(free_port)
server_args=(--listen 127.0.0.1 --port "$(free_port)" --session-port "$session_port")
[[ $rate != 0 ]] && server_args+=(--rate "$rate")
"$build/bin/korvane-server" "${server_args[@]}" 2>"$work/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q 'sessions on' "$work/server.log" && break; sleep 0.05; done

run() { # $1: --latency or --no-latency
  "$build/bin/korvane-cli" --quiet --json --session-port "$session_port" --seconds "$seconds" \
    --streams "$streams" "$1" 127.0.0.1 >>"$work/$1.jsonl"
}
for _ in $(seq "$runs"); do run --no-latency; run --latency; done

python3 - "$work/--no-latency.jsonl" "$work/--latency.jsonl" <<'PY'
import json, statistics, sys
off = [json.loads(l) for l in open(sys.argv[1])]
on = [json.loads(l) for l in open(sys.argv[2])]
r_off = statistics.mean(x["rate_kbps"] for x in off)
r_on = statistics.mean(x["rate_kbps"] for x in on)
share = statistics.mean(x["latency_probe_bytes"] / max(1, x["bytes"]) for x in on)
probes = statistics.mean(x["latency_probes"] for x in on)
print(f"runs: {len(on)} pairs, probes per run {probes:.0f}")
print(f"rate with probes off  {r_off:14.2f} KB/s")
print(f"rate with probes on   {r_on:14.2f} KB/s")
print(f"ratio on/off          {r_on / r_off:14.4f}   (target >= 0.97)")
print(f"probes' share of bytes {share * 100:12.5f} %  (limit 5 %)")
for x in on:
    print(f"  loaded {x['loaded_latency_ms']} ms, idle {x['idle_latency_ms']} ms, grade {x['bufferbloat_grade']}, rpm {x['rpm']}")
PY
