# Sourced after scratch.sh by the benchmarks that fetch web pages.
# nginx_conf ADDRESS PORT ROOT [HTTP_DIRECTIVES] [SERVER_DIRECTIVES]: writes $work/nginx.conf for
# a throwaway nginx whose files all live in $work, serving ROOT on ADDRESS:PORT.
nginx_conf() {
  local address=$1 port=$2 root=$3 http_extra=${4:-} server_extra=${5:-}
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
  $http_extra
  server { listen $address:$port; root $root; $server_extra }
}
CONF
}

# start_nginx PORT ROOT [HTTP_DIRECTIVES] [SERVER_DIRECTIVES]: serves ROOT on 127.0.0.1:PORT,
# stopped on exit; returns once it accepts connections.
start_nginx() {
  local port=$1
  nginx_conf 127.0.0.1 "$@"
  /usr/sbin/nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf" &
  pids+=($!)
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nginx did not start on port $port (see $work/error.log)" >&2
  return 1
}
