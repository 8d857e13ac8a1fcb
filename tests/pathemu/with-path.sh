#!/usr/bin/env bash
# Runs a server and a client on the two sides of an emulated path, then tears it all down.
#
#   with-path.sh PATHEMU [pathemu options...] -- 'SERVER COMMAND' 'CLIENT COMMAND'
#
# Both commands run with sh -c; the server's in the background on the server side, the
# client's to its end on the client side. They see $SERVER_V4, $CLIENT_V4, $SERVER_V6 and
# $CLIENT_V6. The exit status is the client's; 77 when this machine cannot make namespaces or
# TUN devices.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/path.sh"

emu=$1; shift
opts=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do opts+=("$1"); shift; done
[ $# -eq 3 ] || { echo "usage: with-path.sh PATHEMU [options...] -- 'SERVER' 'CLIENT'" >&2; exit 2; }
server_cmd=$2 client_cmd=$3

[ "$(id -u)" -eq 0 ] || { echo "namespaces need root here" >&2; exit 77; }
[ -c /dev/net/tun ] || { echo "/dev/net/tun is missing" >&2; exit 77; }
command -v ip >/dev/null || { echo "ip (iproute2) is missing" >&2; exit 77; }
if ! ip netns add "kpath-probe-$$" 2>/dev/null; then echo "ip netns add does not work here" >&2; exit 77; fi
ip netns del "kpath-probe-$$"

server_pid=
finish() {
  [ -n "$server_pid" ] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  path_down
}
trap finish EXIT
trap 'exit 130' INT TERM

path_up "$emu" "${opts[@]}" || { echo "the path could not be made" >&2; exit 77; }
export SERVER_V4=$PATH_SERVER_V4 CLIENT_V4=$PATH_CLIENT_V4 SERVER_V6=$PATH_SERVER_V6 CLIENT_V6=$PATH_CLIENT_V6
path_server sh -c "$server_cmd" &
server_pid=$!
path_client sh -c "$client_cmd"
