#!/usr/bin/env bash
# Web page fetches from a local nginx: a large binary file, a large UTF-8 HTML page and a large
# 404 error page, and the binary file again over https, each with korvane-cli --web beside curl
# as the reference, and korvane-cli's peak memory for each. Run by hand; prints figures,
# asserts nothing.
#
#   bench/web-throughput.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-bench/ beside this folder, configured as a Release build
# without sanitizers. Environment: BENCH_MIB (size of each body, default 256), BENCH_RUNS (3).
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
need_package openssl openssl

if [[ ! -x $build/bin/korvane-cli ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF >/dev/null
fi
cmake --build "$build" --target korvane-cli -j2 >/dev/null
cli_bin=$build/bin/korvane-cli

source "$here/lib/scratch.sh"
source "$here/lib/nginx.sh"

port=$(free_port)
mkdir -p "$work/www"
size=$((mib * 1024 * 1024))
head -c "$size" /dev/urandom >"$work/www/large.bin"
# A UTF-8 page with text outside ASCII throughout, and a page of the same size served as the
# body of a 404.
python3 - "$work/www/page.html" "$work/www/missing.html" "$size" <<'PY'
import sys
head = b'<!DOCTYPE html>\n<html><head><meta http-equiv="Content-Type" content="text/html; charset=utf-8">' \
       b'<title>Gr\xc3\xbc\xc3\x9fe</title></head><body>\n'
line = '<p>Grüße aus Köln – 東京の天気は晴れ – Ελληνικά – 😀 plain ASCII text as well.</p>\n'.encode()
for path in sys.argv[1:3]:
    size = int(sys.argv[3])
    with open(path, 'wb') as f:
        f.write(head)
        body = line * (1 << 14)
        written = len(head)
        while written + len(body) <= size:
            f.write(body); written += len(body)
        while written + len(line) <= size:
            f.write(line); written += len(line)
        f.write(b' ' * (size - written))
PY
bytes=$(stat -c %s "$work/www/large.bin")
# https: a CA and a certificate for 127.0.0.1 made here, trusted by both clients through their
# CA file option; a second server of the same nginx serves the same folder over TLS.
tls_port=$(free_port)
while [[ $tls_port == "$port" ]]; do tls_port=$(free_port); done
(cd "$work" &&
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=bench-ca \
    -keyout ca.key -out ca.pem &&
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
    -keyout server.key -out server.csr &&
  echo 'subjectAltName=IP:127.0.0.1' >server.ext &&
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -set_serial 1 -days 2 -extfile server.ext \
    -out server.pem) >/dev/null 2>&1 || { echo "openssl could not make the certificates" >&2; exit 1; }
start_nginx "$port" "$work/www" \
  "types { text/html html; } default_type application/octet-stream; charset utf-8;
  server { listen 127.0.0.1:$tls_port ssl; ssl_protocols TLSv1.2 TLSv1.3;
    ssl_certificate $work/server.pem; ssl_certificate_key $work/server.key; root $work/www; }" \
  "error_page 404 /missing.html; location = /missing.html { internal; }"
base=http://127.0.0.1:$port
tls_base=https://127.0.0.1:$tls_port

# fetch URL: runs korvane-cli and curl once; sets k_valid k_bytes k_rate k_error k_tls rss_mib
# c_rate. An https URL is fetched with the test CA trusted by both.
fetch() {
  local url=$1 k_args=() c_args=()
  if [[ $url == https:* ]]; then
    k_args=(--allow-https --cacert "$work/ca.pem")
    c_args=(--cacert "$work/ca.pem")
  fi
  /usr/bin/time -v -o "$work/time" "$cli_bin" --web --json "${k_args[@]}" "$url" >"$work/out" || true
  read -r k_valid k_bytes k_rate k_error k_tls < <(python3 -c "
import json
d=json.loads(open('$work/out').readline())
t=d.get('tls')
tls='%s/%s/%.2fms' % (t['protocol'].replace(' ', ''), t['cipher'], t['handshake_ms']) if t else '-'
print(d['valid'], d['bytes'], d['rate_kbps'] * 1024 / 1e6, json.dumps(d['error']).replace(' ', '_'), tls)")
  rss_mib=$(awk -F: '/Maximum resident set size/ {gsub(/ /,"",$2); print $2 / 1024}' "$work/time")
  c_rate=$(curl -s "${c_args[@]}" -o /dev/null -w '%{speed_download}' "$url" |
    python3 -c 'import sys; print(float(sys.stdin.read()) / 1e6)')
}

printf 'Fetches of %d MiB from a local nginx, %d runs each (Release build in %s)\n' "$mib" "$runs" "$build"
printf 'load before: %s\n\n' "$(uptime | sed 's/.*load/load/')"
printf '%-4s %-12s %12s %12s %8s %14s\n' run body 'korvane MB/s' 'curl MB/s' ratio 'peak RSS MiB'
sum_ratio=0; sum_html_ratio=0; ratios=; html_ratios=; max_rss_bin=0; max_rss_html=0; max_rss_error=0
sum_tls_ratio=0; tls_ratios=; max_rss_tls=0
for run in $(seq "$runs"); do
  fetch "$base/large.bin"
  [[ $k_valid == True && $k_bytes == "$bytes" ]] || { echo "korvane-cli fetch not valid: $(cat "$work/out")" >&2; exit 1; }
  ratio=$(python3 -c "print($k_rate / $c_rate)")
  printf '%-4s %-12s %12.1f %12.1f %8.3f %14.1f\n' "$run" binary "$k_rate" "$c_rate" "$ratio" "$rss_mib"
  sum_ratio=$(python3 -c "print($sum_ratio + $ratio)"); ratios="$ratios $ratio"
  max_rss_bin=$(python3 -c "print(max($max_rss_bin, $rss_mib))")

  fetch "$base/page.html"
  [[ $k_valid == True && $k_bytes -gt 0 && $k_bytes -lt $bytes ]] || { echo "page fetch not valid: $(cat "$work/out")" >&2; exit 1; }
  ratio=$(python3 -c "print($k_rate / $c_rate)")
  printf '%-4s %-12s %12.1f %12.1f %8.3f %14.1f\n' "$run" 'html utf-8' "$k_rate" "$c_rate" "$ratio" "$rss_mib"
  sum_html_ratio=$(python3 -c "print($sum_html_ratio + $ratio)"); html_ratios="$html_ratios $ratio"
  max_rss_html=$(python3 -c "print(max($max_rss_html, $rss_mib))")

  fetch "$base/nothing-here"
  [[ $k_error == '"HTTP/1.1_404_Not_Found"' ]] || { echo "error fetch: $(cat "$work/out")" >&2; exit 1; }
  printf '%-4s %-12s %12s %12.1f %8s %14.1f\n' "$run" 'error 404' - "$c_rate" - "$rss_mib"
  max_rss_error=$(python3 -c "print(max($max_rss_error, $rss_mib))")

  fetch "$tls_base/large.bin"
  [[ $k_valid == True && $k_bytes == "$bytes" ]] || { echo "https fetch not valid: $(cat "$work/out")" >&2; exit 1; }
  ratio=$(python3 -c "print($k_rate / $c_rate)")
  printf '%-4s %-12s %12.1f %12.1f %8.3f %14.1f  %s\n' "$run" 'https binary' "$k_rate" "$c_rate" "$ratio" "$rss_mib" "$k_tls"
  sum_tls_ratio=$(python3 -c "print($sum_tls_ratio + $ratio)"); tls_ratios="$tls_ratios $ratio"
  max_rss_tls=$(python3 -c "print(max($max_rss_tls, $rss_mib))")
done
printf '\nload after: %s\n' "$(uptime | sed 's/.*load/load/')"
median() { python3 -c 'import statistics,sys; print(statistics.median(map(float, sys.argv[1:])))' "$@"; }
printf 'rate ratio korvane/curl, binary: mean %.3f, median %.3f (target >= 0.80)\n' \
  "$(python3 -c "print($sum_ratio / $runs)")" "$(median $ratios)"
printf 'rate ratio korvane/curl, html:   mean %.3f, median %.3f (target >= 0.80)\n' \
  "$(python3 -c "print($sum_html_ratio / $runs)")" "$(median $html_ratios)"
printf 'rate ratio korvane/curl, https:  mean %.3f, median %.3f (target >= 0.80)\n' \
  "$(python3 -c "print($sum_tls_ratio / $runs)")" "$(median $tls_ratios)"
printf 'largest peak RSS, binary:    %6.1f MiB (target < 32)\n' "$max_rss_bin"
printf 'largest peak RSS, html:      %6.1f MiB (target < 32)\n' "$max_rss_html"
printf 'largest peak RSS, error 404: %6.1f MiB (target < 32)\n' "$max_rss_error"
printf 'largest peak RSS, https:     %6.1f MiB (target < 32)\n' "$max_rss_tls"
