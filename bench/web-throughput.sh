#!/usr/bin/env bash
# Web page fetch of a large file from a local nginx: korvane-cli --web beside curl as the
# reference, and korvane-cli's peak memory. Run by hand; prints figures, asserts nothing.
#
#   bench/web-throughput.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_MIB (file size, default 256), BENCH_RUNS (3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
mib=${BENCH_MIB:-256}
runs=${BENCH_RUNS:-3}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
need_package() {
  local program=$1 package=$2
  command -v "$program" >/dev/null && return
  as_root apt-get update >/dev/null
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package" >/dev/null
}
need_package curl curl
need_package /usr/sbin/nginx nginx
need_package /usr/bin/time time

if [[ ! -x $build/bin/korvane-cli ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
fi
cmake --build "$build" --target korvane-cli -j2 >/dev/null
cli_bin=$build/bin/korvane-cli

work=$(mktemp -d)
nginx_pid=
cleanup() {
  [[ -n $nginx_pid ]] && { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/www"
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/www/large.bin"
bytes=$(stat -c %s "$work/www/large.bin")
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/body; proxy_temp_path $work/proxy; fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
/usr/sbin/nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" 2>/dev/null && break || sleep 0.05
done
url=http://127.0.0.1:$port/large.bin

printf 'Fetch of %d bytes from a local nginx, %d runs each (Release build in %s)\n\n' "$bytes" "$runs" "$build"
printf '%-4s %14s %14s %8s %14s %12s\n' run 'korvane MB/s' 'curl MB/s' ratio 'peak RSS MiB' 'RSS / body'
sum_ratio=0; max_mem_ratio=0
for run in $(seq "$runs"); do
  /usr/bin/time -v -o "$work/time" "$cli_bin" --web --json "$url" >"$work/out"
  read -r valid k_bytes k_rate < <(python3 -c "
import json,sys
d=json.loads(open('$work/out').readline())
print(d['valid'], d['bytes'], d['rate_kbps'] * 1024 / 1e6)")
  [[ $valid == True && $k_bytes == "$bytes" ]] || { echo "korvane-cli fetch not valid: $(cat "$work/out")" >&2; exit 1; }
  rss_kib=$(awk -F: '/Maximum resident set size/ {gsub(/ /,"",$2); print $2}' "$work/time")
  c_rate=$(curl -s -o /dev/null -w '%{speed_download}' "$url" | python3 -c 'import sys; print(float(sys.stdin.read()) / 1e6)')
  ratio=$(python3 -c "print($k_rate / $c_rate)")
  mem_ratio=$(python3 -c "print($rss_kib * 1024 / $bytes)")
  printf '%-4s %14.1f %14.1f %8.3f %14.1f %12.2f\n' "$run" "$k_rate" "$c_rate" "$ratio" \
    "$(python3 -c "print($rss_kib / 1024)")" "$mem_ratio"
  sum_ratio=$(python3 -c "print($sum_ratio + $ratio)")
  max_mem_ratio=$(python3 -c "print(max($max_mem_ratio, $mem_ratio))")
done
printf '\nmean rate ratio korvane/curl: %.3f (target >= 0.80)\n' "$(python3 -c "print($sum_ratio / $runs)")"
printf 'largest peak memory / body size: %.2f (target <= 3.50)\n' "$max_mem_ratio"
