#!/usr/bin/env bash
# The table of paths: over the tests' path emulator (tests/pathemu), korvane-cli's stream
# test, its sessions (1 and 4 streams, each direction) with their latency figures and
# verdicts, and its web test, each beside iperf3 or curl on the same path in the same run.
# Run by hand as root; prints figures, asserts nothing.
#
#   bench/path-table.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder (a Release build without sanitizers).
# Environment: BENCH_SECONDS (8) per test, BENCH_PATHS (all) a list of row numbers, 1 to 5.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
seconds=${BENCH_SECONDS:-8}
only=${BENCH_PATHS:-1 2 3 4 5}

if [[ ! -x $build/bin/korvane-cli || ! -x $build/bin/korvane-server || ! -x $build/tests/pathemu/pathemu ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target korvane-server korvane-cli pathemu -j2 >/dev/null
fi
[[ $(id -u) == 0 ]] || { echo "the path's namespaces need root" >&2; exit 1; }
for tool in iperf3 curl /usr/sbin/nginx; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (scripts/lib/common.sh KORVANE_BENCH_PACKAGES)" >&2; exit 1; }
done

source "$here/lib/scratch.sh"
source "$here/lib/nginx.sh"
source "$root/tests/pathemu/path.sh"
emu=$build/tests/pathemu/pathemu
server_bin=$build/bin/korvane-server
cli_bin=$build/bin/korvane-cli
trap 'path_down; cleanup' EXIT

# name | pathemu options | what the path carries downstream, Mbit/s (sizes the web page)
paths=(
  "10 Mbit/s, 100 ms|--rate 10mbit --delay 50ms --queue 100ms|10"
  "100 Mbit/s, 40 ms|--rate 100mbit --delay 20ms --queue 60ms|100"
  "fastest, 10 ms|--delay 5ms|600"
  "20 Mbit/s, 200 ms, 1 % loss|--rate 20mbit --delay 100ms --queue 100ms --loss 1|20"
  "100/10 Mbit/s, 20 ms, 500 ms up queue|--down-rate 100mbit --up-rate 10mbit --delay 10ms --down-queue 40ms --up-queue 500ms|100"
)

# Mbit/s from a korvane-cli JSON line; the verdict, latency increase and RPM beside it.
korvane_row() {
  python3 - "$1" <<'PY'
import json, sys
try:
    d = json.loads(open(sys.argv[1]).readline())
except Exception:
    print("failed - - -"); sys.exit()
if not d.get("valid"):
    print("invalid - - -"); sys.exit()
rate = d["rate_kbps"] * 1024 * 8 / 1e6
inc = d.get("latency_increase_ms")
rpm = d.get("rpm")
rating = d.get("rpm_rating")
print(f"{rate:.2f} {d.get('limited_by', '-')} {'-' if inc is None else f'{inc:.1f}'} "
      f"{'-' if rpm is None else f'{rpm:.0f}/{rating}'}")
PY
}
iperf_rate() {
  python3 -c "import json,sys; print(f\"{json.load(open(sys.argv[1]))['end']['sum_received']['bits_per_second']/1e6:.2f}\")" "$1" 2>/dev/null \
    || echo failed
}
row() { # test korvane-row reference
  local k=($2)
  python3 - "$path_name" "$1" "${k[0]}" "$3" "${k[1]}" "${k[2]}" "${k[3]}" <<'PY'
import sys
name, test, k, ref, verdict, inc, rpm = sys.argv[1:]
try:
    ratio = f"{float(k) / float(ref):.3f}"
except (ValueError, ZeroDivisionError):
    ratio = "-"
print(f"{name:<38} {test:<18} {k:>9} {ref:>9} {ratio:>7} {verdict:<15} {inc:>8} {rpm:>16}")
PY
}

printf 'Paths through pathemu, %s s per test (load: %s)\n\n' "$seconds" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-38s %-18s %9s %9s %7s %-15s %8s %16s\n' path test 'Mbit/s' 'ref' 'ratio' 'verdict' '+ms' 'RPM/rating'
n=0
for p in "${paths[@]}"; do
  n=$((n + 1))
  [[ " $only " == *" $n "* ]] || continue
  IFS='|' read -r path_name opts mbit <<<"$p"
  # shellcheck disable=SC2086
  path_up "$emu" $opts || { echo "$path_name: the path could not be made" >&2; continue; }

  page=$work/page.bin
  truncate -s $((mbit * 1000000 / 8 * seconds)) "$page"
  nginx_conf "$PATH_SERVER_V4" 8080 "$work"
  path_server "$server_bin" --listen "$PATH_SERVER_V4" --port 18081 --session-port 18082 --seconds "$seconds" 2>"$work/server.log" &
  path_server iperf3 -s -p 5201 >/dev/null 2>&1 &
  path_server /usr/sbin/nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf" &
  sleep 1

  path_client "$cli_bin" --json --quiet --latency --port 18081 "$PATH_SERVER_V4" >"$work/k" || true
  path_client iperf3 -c "$PATH_SERVER_V4" -R -t "$seconds" -J >"$work/i" 2>/dev/null || true
  row "stream" "$(korvane_row "$work/k")" "$(iperf_rate "$work/i")"

  for dir in download upload; do
    for streams in 1 4; do
      path_client "$cli_bin" --json --quiet --session-port 18082 --direction "$dir" --streams "$streams" \
        --seconds "$seconds" "$PATH_SERVER_V4" >"$work/k" || true
      reverse=(); [[ $dir == download ]] && reverse=(-R)
      path_client iperf3 -c "$PATH_SERVER_V4" "${reverse[@]}" -P "$streams" -t "$seconds" -J >"$work/i" 2>/dev/null || true
      row "session $dir ×$streams" "$(korvane_row "$work/k")" "$(iperf_rate "$work/i")"
    done
  done

  path_client "$cli_bin" --json --quiet --web --latency "http://$PATH_SERVER_V4:8080/page.bin" >"$work/k" || true
  c=$(path_client curl -s -o /dev/null -w '%{speed_download}' "http://$PATH_SERVER_V4:8080/page.bin" || echo 0)
  row "web" "$(korvane_row "$work/k")" "$(python3 -c "print(f'{$c * 8 / 1e6:.2f}')")"

  path_down
done
echo
echo '(ref: iperf3 on the same path for the stream and sessions, curl for the web page; +ms: latency increase under load)'
