# Sourced by the tests and benchmarks: two private network namespaces, "server" and "client",
# joined by pathemu. Nothing of the machine's own network is touched: the namespaces are new,
# their devices live only in them, and they are gone after path_down.
#
#   path_up PATHEMU [pathemu options...]   makes both, waits until the path carries
#   path_server CMD... / path_client CMD...  run a command on either side
#   path_down                              ends pathemu, removes the namespaces
#
# Addresses: the server 198.18.0.1 and fd6b:7276:6e65::1, the client 198.18.0.2 and
# fd6b:7276:6e65::2 (the benchmarking range and a unique local prefix). PATH_MTU sets the
# devices' MTU (default 1500); PATH_CONGESTION the congestion control of both sides (each
# namespace has its own setting; default: what a new namespace gets here).

PATH_SERVER_V4=198.18.0.1
PATH_CLIENT_V4=198.18.0.2
PATH_SERVER_V6=fd6b:7276:6e65::1
PATH_CLIENT_V6=fd6b:7276:6e65::2

path_up() {
  local emu=$1; shift
  PATH_NS_SERVER=kpath-s-$$-$RANDOM
  PATH_NS_CLIENT=kpath-c-$$-$RANDOM
  PATH_WORK=$(mktemp -d)
  ip netns add "$PATH_NS_SERVER" || return 1
  ip netns add "$PATH_NS_CLIENT" || { ip netns del "$PATH_NS_SERVER"; return 1; }
  "$emu" --a "$PATH_NS_SERVER:kpath0" --b "$PATH_NS_CLIENT:kpath0" "$@" >"$PATH_WORK/emu.out" 2>"$PATH_WORK/emu.err" &
  PATH_EMU_PID=$!
  local i
  for i in $(seq 100); do
    grep -q ready "$PATH_WORK/emu.out" 2>/dev/null && break
    kill -0 "$PATH_EMU_PID" 2>/dev/null || break
    sleep 0.02
  done
  if ! grep -q ready "$PATH_WORK/emu.out" 2>/dev/null; then
    cat "$PATH_WORK/emu.err" >&2
    path_down
    return 1
  fi
  local side ns v4 v6
  for side in server client; do
    if [ $side = server ]; then ns=$PATH_NS_SERVER v4=$PATH_SERVER_V4 v6=$PATH_SERVER_V6
    else ns=$PATH_NS_CLIENT v4=$PATH_CLIENT_V4 v6=$PATH_CLIENT_V6; fi
    ip -n "$ns" link set lo up
    ip -n "$ns" link set kpath0 mtu "${PATH_MTU:-1500}" txqueuelen 1000 up
    ip -n "$ns" addr add "$v4/30" dev kpath0
    ip -n "$ns" addr add "$v6/64" dev kpath0 nodad
    if [ -n "${PATH_CONGESTION:-}" ]; then
      ip netns exec "$ns" sysctl -qw net.ipv4.tcp_congestion_control="$PATH_CONGESTION" || { path_down; return 1; }
    fi
  done
}

path_server() { ip netns exec "$PATH_NS_SERVER" "$@"; }
path_client() { ip netns exec "$PATH_NS_CLIENT" "$@"; }

# Prints pathemu's counts on stderr when PATH_VERBOSE is set.
path_down() {
  local ns pid
  # Whatever still runs on either side ends with the path.
  for ns in ${PATH_NS_SERVER:-} ${PATH_NS_CLIENT:-}; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null; done
  done
  if [ -n "${PATH_EMU_PID:-}" ]; then
    kill "$PATH_EMU_PID" 2>/dev/null
    wait "$PATH_EMU_PID" 2>/dev/null
    [ -n "${PATH_VERBOSE:-}" ] && cat "$PATH_WORK/emu.err" >&2
    PATH_EMU_PID=
  fi
  [ -n "${PATH_NS_SERVER:-}" ] && ip netns del "$PATH_NS_SERVER" 2>/dev/null
  [ -n "${PATH_NS_CLIENT:-}" ] && ip netns del "$PATH_NS_CLIENT" 2>/dev/null
  PATH_NS_SERVER= PATH_NS_CLIENT=
  [ -n "${PATH_WORK:-}" ] && rm -rf "$PATH_WORK"
  PATH_WORK=
  return 0
}
