#!/usr/bin/env bash
# One test core, before and after a change: korvane-cli's stream test and session download and
# the window's event-loop latency during a stream test, from two builds in alternating runs
# against one server (BEFORE's), so only the client differs. Prints each figure's median and
# the ratio after/before. Run by hand; asserts nothing.
#
#   bench/core-before-after.sh BEFORE_BUILD_DIR AFTER_BUILD_DIR
#
# Each build dir needs korvane-server, korvane-cli and korvane-bench-latency (Release, no
# sanitizers). Environment: BENCH_BYTES (stream bytes per run, default 2 GiB), BENCH_RUNS
# (pairs, default 5), BENCH_SECONDS (session length, default 3), BENCH_STREAMS (default 4).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
before=${1:?before build dir}
after=${2:?after build dir}
bytes=${BENCH_BYTES:-$((2 * 1024 * 1024 * 1024))}
runs=${BENCH_RUNS:-5}
seconds=${BENCH_SECONDS:-3}
streams=${BENCH_STREAMS:-4}

source "$here/lib/scratch.sh"
load() { cut -d' ' -f1-3 /proc/loadavg; }

port=$(free_port)
session_port=$(free_port)
"$before/bin/korvane-server" --listen 127.0.0.1 --port "$port" --session-port "$session_port" --bytes "$bytes" \
  2>"$work/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q sessions "$work/server.log" && break; sleep 0.05; done

rate() { python3 -c "import json,sys; d=json.loads(open(sys.argv[1]).read().splitlines()[-1]); print(d['rate_kbps']*1024/1e6 if d['valid'] else 'nan')" "$1"; }
window() {
  QT_QPA_PLATFORM=offscreen "$1/bin/korvane-bench-latency" --stream "127.0.0.1:$port" >"$work/lat" 2>/dev/null || true
  python3 -c "import json,sys; d=json.loads(open(sys.argv[1]).read().splitlines()[-1]); print(d['late_p50_ms'], d['late_p99_ms'], d['rate_kbps']*1024/1e6)" "$work/lat"
}

declare -A figures
add() { figures[$1]+="$2 "; }
printf 'Before %s\nAfter  %s\n%d pairs, load %s\n' "$before" "$after" "$runs" "$(load)"
for run in $(seq "$runs"); do
  # Alternating which goes first spreads any drift of the machine over both.
  for which in $( (( run % 2 )) && echo before after || echo after before); do
    dir=$([[ $which == before ]] && echo "$before" || echo "$after")
    "$dir/bin/korvane-cli" --json --port "$port" 127.0.0.1 >"$work/out"
    add "stream_$which" "$(rate "$work/out")"
    "$dir/bin/korvane-cli" --json --no-latency --session-port "$session_port" --streams "$streams" \
      --seconds "$seconds" 127.0.0.1 >"$work/out"
    add "session_$which" "$(rate "$work/out")"
    read -r p50 p99 wrate <<<"$(window "$dir")"
    add "p50_$which" "$p50"; add "p99_$which" "$p99"; add "wrate_$which" "$wrate"
  done
done
python3 - <<PY
import math, statistics
f = {k: [float(x) for x in v.split()] for k, v in {
$(for k in "${!figures[@]}"; do printf '    "%s": "%s",\n' "$k" "${figures[$k]}"; done)
}.items()}
rows = [("stream test MB/s", "stream", True), ("session download x$streams MB/s", "session", True),
        ("window stream MB/s", "wrate", True), ("window loop late p50 ms", "p50", False),
        ("window loop late p99 ms", "p99", False)]
print(f"{'figure':<30} {'before':>10} {'after':>10} {'ratio':>7}")
for label, key, higher in rows:
    b = statistics.median(f[key + "_before"]); a = statistics.median(f[key + "_after"])
    # The ratio reads "after is this good as before": above 1 is better either way.
    ratio = 1.0 if a == b else (a / b if higher else b / a) if a > 0 and b > 0 else math.nan
    print(f"{label:<30} {b:10.2f} {a:10.2f} {ratio:7.3f}")
print("load $(load)")
PY
