#!/bin/sh
# Reads the scheduled-test units the way the service manager does, with ExecStart on the
# built korvane-cli. Any complaint (an unknown key, a bad value) fails the test.
set -eu
src=$1
bindir=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed -e "s#@CMAKE_INSTALL_FULL_BINDIR@#$bindir#" -e "s#@KORVANE_TEST_ENV_DIR@#$dir#g" \
  "$src/korvane-test@.service.in" > "$dir/korvane-test@127.0.0.1.service"
cp "$src/korvane-test@.timer" "$dir/korvane-test@127.0.0.1.timer"
out=$(systemd-analyze verify --man=no "$dir/korvane-test@127.0.0.1.service" "$dir/korvane-test@127.0.0.1.timer" 2>&1)
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
echo "units read without complaint"
