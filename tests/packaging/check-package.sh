#!/usr/bin/env bash
# check-package.sh <package.deb or the folder holding it> <version> <install prefix> <server options file>
# Unpacks the package into a scratch folder (the machine stays as it was), checks what it
# holds and where, and runs the unpacked programs.
set -euo pipefail
deb=$1 version=$2 prefix=$3 envfile=$4
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

root=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

if [ -d "$deb" ]; then
  debs=("$deb"/*.deb)
  [ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one package in $deb: ${debs[*]}" >&2; exit 1; }
  deb=${debs[0]}
fi
[ -f "$deb" ] || { echo "FAIL: no package $deb" >&2; exit 1; }

# Control data: name, version, and dependencies computed from the programs' libraries.
info=$(dpkg-deb --field "$deb" Package Version Architecture Depends)
echo "$info"
grep -qx "Package: korvane-client" <<<"$info" || fail "package name"
grep -qx "Version: $version" <<<"$info" || fail "package version is not $version"
depends=$(dpkg-deb --field "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6printsupport6 libssl3; do
  grep -qxF "$lib" <<<"$depends" || fail "Depends lacks $lib (were the dependencies computed?)"
done
# Output is captured before it is searched: grep -q leaving early would break the pipe.
control_files=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -qx './conffiles' <<<"$control_files" || fail "no conffiles"
# Every file under /etc (the options files' folder) is a conffile, and nothing else is.
conffiles=$(dpkg-deb --info "$deb" conffiles | sort)
etc_files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | grep "^$(dirname "$envfile")/" | sort || true)
[ -n "$conffiles" ] && [ "$conffiles" = "$etc_files" ] || fail "conffiles ($conffiles) are not the files under $(dirname "$envfile") ($etc_files)"

# Every file belongs to root, and lands under the prefix or in the options files' folder.
listing=$(dpkg-deb --contents "$deb")
not_root=$(awk '$2 != "root/root"' <<<"$listing")
[ -z "$not_root" ] || fail "files not owned by root: $not_root"
files=$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort)
echo "Files:"; sed 's/^/  /' <<<"$files"
while read -r f; do
  case $f in
  "$prefix"/*|"$(dirname "$envfile")"/*) ;;
  *) fail "$f is outside $prefix" ;;
  esac
done <<<"$files"

expected=(
  bin/korvclnt bin/korvane-cli bin/korvane-server
  share/korvane/Korvn.layout share/korvane/Help/Korvane.html share/korvane/korvane-links.json
  share/korvane/korvane-link-alerts.yml
  share/applications/com.korvane.Client.desktop
  share/metainfo/com.korvane.Client.metainfo.xml
  share/icons/hicolor/scalable/apps/com.korvane.Client.svg
  share/icons/hicolor/16x16/apps/com.korvane.Client.png
  share/icons/hicolor/48x48/apps/com.korvane.Client.png
  share/icons/hicolor/256x256/apps/com.korvane.Client.png
  share/man/man1/korvclnt.1.gz share/man/man1/korvane-cli.1.gz share/man/man8/korvane-server.8.gz
  share/doc/korvane-client/copyright
  lib/systemd/system/korvane-server.service
)
for f in "${expected[@]}"; do
  grep -qx "$prefix/$f" <<<"$files" || fail "missing $prefix/$f"
done
grep -qx "$envfile" <<<"$files" || fail "missing $envfile"

dpkg-deb -x "$deb" "$root"
bin=$root$prefix/bin
for prog in korvclnt korvane-cli korvane-server; do
  [ -x "$bin/$prog" ] || { fail "$prog is not executable"; continue; }
  # No path into the build tree may be baked into the programs.
  dynamic=$(readelf -d "$bin/$prog")
  if grep -Eq 'R(UN)?PATH' <<<"$dynamic"; then fail "$prog carries a run path"; fi
  out=$(QT_QPA_PLATFORM=offscreen timeout 30 "$bin/$prog" --version) || fail "$prog --version failed"
  [ "$out" = "$prog (Korvane Client) $version" ] || fail "$prog --version printed: $out"
done

# The unit starts the program that is installed, with the options file it names.
unit=$root$prefix/lib/systemd/system/korvane-server.service
grep -qx "ExecStart=$prefix/bin/korvane-server \$KORVANE_SERVER_OPTS" "$unit" || fail "unit ExecStart"
grep -qx "EnvironmentFile=-$envfile" "$unit" || fail "unit EnvironmentFile"
grep -q '^KORVANE_SERVER_OPTS=' "$root$envfile" || fail "options file sets no KORVANE_SERVER_OPTS"

# The unpacked programs measure each other on loopback.
log=$root/server.log
"$bin/korvane-server" --listen 127.0.0.1 --port 0 --bytes 4000000 2>"$log" &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  fail "the unpacked korvane-server did not start: $(cat "$log")"
else
  json=$(timeout 60 "$bin/korvane-cli" --json --timeout 30 --port "$port" 127.0.0.1) ||
    fail "the unpacked korvane-cli failed: $json"
  grep -q '"bytes":4000000' <<<"$json" || fail "unexpected result: $json"
fi
exit $status
