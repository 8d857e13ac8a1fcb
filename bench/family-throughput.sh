#!/usr/bin/env bash
# The stream test over IPv6 against IPv4 on loopback: one server on both families, runs
# alternating between ::1 and 127.0.0.1, the rate of each as korvane-cli reports it.
# Run by hand; prints figures, asserts nothing.
#
#   bench/family-throughput.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder (Release, no sanitizers). Environment:
# BENCH_BYTES (per run, default 1 GiB), BENCH_RUNS (pairs, default 5), BENCH_STREAMS (0: the
# stream test; more: a session download on that many streams for BENCH_SECONDS, default 3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
bytes=${BENCH_BYTES:-1073741824}
runs=${BENCH_RUNS:-5}
streams=${BENCH_STREAMS:-0}
seconds=${BENCH_SECONDS:-3}

source "$root/scripts/lib/common.sh"
if [[ ! -x $build/bin/korvane-cli || ! -x $build/bin/korvane-server ]]; then
  configure_once "$build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-cli -j2 >/dev/null
fi
source "$here/lib/scratch.sh"

port=$(free_port)
session_port=$(free_port)
# Two listeners, one per family, so neither path goes through an IPv4-mapped socket.
"$build/bin/korvane-server" --listen 127.0.0.1 --port "$port" --session-port "$session_port" \
  --bytes "$bytes" 2>"$work/server4.log" &
pids+=($!)
"$build/bin/korvane-server" --listen ::1 --port "$port" --session-port "$session_port" \
  --bytes "$bytes" 2>"$work/server6.log" &
pids+=($!)
for _ in $(seq 100); do
  grep -q 'sessions on' "$work/server4.log" && grep -q 'sessions on' "$work/server6.log" && break
  sleep 0.05
done

run() { # $1: address
  if [[ $streams == 0 ]]; then
    "$build/bin/korvane-cli" --quiet --json --port "$port" "$1" >>"$work/$1.jsonl"
  else
    "$build/bin/korvane-cli" --quiet --json --no-latency --session-port "$session_port" \
      --streams "$streams" --seconds "$seconds" "$1" >>"$work/$1.jsonl"
  fi
}
for _ in $(seq "$runs"); do run 127.0.0.1; run ::1; done

python3 - "$work/127.0.0.1.jsonl" "$work/::1.jsonl" "$streams" <<'PY'
import json, statistics, sys
v4 = [json.loads(l) for l in open(sys.argv[1])]
v6 = [json.loads(l) for l in open(sys.argv[2])]
assert all(x["valid"] for x in v4 + v6), "a run was not valid"
assert {x["family"] for x in v4} == {"ipv4"} and {x["family"] for x in v6} == {"ipv6"}
kind = "stream test" if sys.argv[3] == "0" else f"session download, {sys.argv[3]} streams"
print(f"{kind}, {len(v4)} pairs, KB per second:")
for a, b in zip(v4, v6):
    print(f"  127.0.0.1 {a['rate_kbps']:14.2f}   ::1 {b['rate_kbps']:14.2f}   ratio {b['rate_kbps'] / a['rate_kbps']:.3f}")
m4 = statistics.median(x["rate_kbps"] for x in v4)
m6 = statistics.median(x["rate_kbps"] for x in v6)
print(f"median    {m4:14.2f}       {m6:14.2f}   ratio {m6 / m4:.3f}   (target >= 0.95)")
PY
