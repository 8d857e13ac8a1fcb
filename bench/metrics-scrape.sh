#!/usr/bin/env bash
# Does scraping korvane-server's metrics port hold up its streams? Loopback stream rate
# measured by korvane-cli with nobody scraping, beside the same with a client fetching
# /metrics back to back, and the scrape latency meanwhile. Prints figures, asserts nothing.
#
#   bench/metrics-scrape.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_BYTES (default 2 GiB per stream), BENCH_RUNS (3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
bytes=${BENCH_BYTES:-$((2 * 1024 * 1024 * 1024))}
runs=${BENCH_RUNS:-3}

if [[ ! -x $build/bin/korvane-cli || ! -x $build/bin/korvane-server ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-cli -j2 >/dev/null
fi

source "$here/lib/scratch.sh"

"$build/bin/korvane-server" --listen 127.0.0.1 --port 0 --bytes "$bytes" --metrics 127.0.0.1:0 2>"$work/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q 'metrics on' "$work/server.log" && break; sleep 0.05; done
stream_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
metrics_port=$(sed -n 's/.*metrics on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
[[ -n $stream_port && -n $metrics_port ]] || { echo "korvane-server did not start" >&2; exit 1; }

# Fetches /metrics back to back until told to stop (at most 120 s or 1,000,000 scrapes),
# then prints the count and the median and 99th percentile latency in milliseconds.
cat >"$work/scraper.py" <<'PY'
import os, socket, sys, time
port, stop = int(sys.argv[1]), sys.argv[2]
lat = []
end = time.monotonic() + 120
while not os.path.exists(stop) and time.monotonic() < end and len(lat) < 1000000:
    t = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
    while s.recv(65536):
        pass
    s.close()
    lat.append((time.perf_counter() - t) * 1000)
lat.sort()
print(len(lat), lat[len(lat) // 2] if lat else 0, lat[int(len(lat) * 0.99)] if lat else 0)
PY

rate() {
  "$build/bin/korvane-cli" --json --port "$stream_port" 127.0.0.1 |
    python3 -c 'import json,sys; print(json.loads(sys.stdin.readline())["rate_kbps"] * 1024 / 1e6)'
}

printf 'Stream of %d bytes on loopback, %d runs (%s); load: %s\n\n' "$bytes" "$runs" "$build" "$(uptime | sed 's/.*load/load/')"
printf '%-4s %14s %16s %8s %9s %10s %10s\n' run 'quiet MB/s' 'scraped MB/s' ratio scrapes 'p50 ms' 'p99 ms'
sum=0
for run in $(seq "$runs"); do
  quiet=$(rate)
  rm -f "$work/stop"
  python3 "$work/scraper.py" "$metrics_port" "$work/stop" >"$work/scrapes" &
  scraper=$!
  pids+=("$scraper")
  sleep 0.2
  scraped=$(rate)
  touch "$work/stop"
  wait "$scraper"
  read -r count p50 p99 <"$work/scrapes"
  ratio=$(python3 -c "print(f'{$scraped / $quiet:.3f}')")
  sum=$(python3 -c "print($sum + $ratio)")
  printf '%-4s %14.1f %16.1f %8s %9s %10.3f %10.3f\n' "$run" "$quiet" "$scraped" "$ratio" "$count" "$p50" "$p99"
done
python3 -c "print(f'\nmean ratio scraped/quiet: {$sum / $runs:.3f} (the stream should not slow beyond the CPU the scraper takes)')"
