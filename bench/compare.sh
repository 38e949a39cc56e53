#!/usr/bin/env bash
# Serves one document root from quillnest and from nginx on loopback and loads
# both with wrk, printing the figures side by side.
#
#   bash bench/compare.sh [path/to/quillnest] [seconds per run]
#
# Installs nginx and wrk with apt-get when they are missing. Every run is
# bounded by wrk's duration; both servers are stopped at the end.
set -euo pipefail
root_dir=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root_dir/build/quillnest}
seconds=${2:-5}

missing=()
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || missing+=(nginx)
command -v wrk >/dev/null 2>&1 || missing+=(wrk)
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d)
qn_pid=""
ng_pid=""
cleanup() {
  [ -n "$qn_pid" ] && kill "$qn_pid" 2>/dev/null || true
  [ -n "$ng_pid" ] && kill "$ng_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mkdir -p "$work/www"
# nginx's workers run as an unprivileged user: they must be able to read the root.
chmod 755 "$work"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 > "$work/www/small.txt"
head -c $((10 * 1024 * 1024)) /dev/urandom > "$work/www/large.bin"

qn_port=$(free_port)
mkdir -p "$work/qn"
cp "$binary" "$work/qn/quillnest"
printf 'root=%s\r\nport=%s\r\n' "$work/www" "$qn_port" > "$work/qn/quillnest.ini"
"$work/qn/quillnest" >/dev/null 2>&1 </dev/null &
qn_pid=$!

ng_port=$(free_port)
mkdir -p "$work/ng/logs"
cat > "$work/ng/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/ng/nginx.pid;
error_log $work/ng/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  default_type application/octet-stream;
  client_body_temp_path $work/ng/body;
  proxy_temp_path $work/ng/proxy;
  fastcgi_temp_path $work/ng/fastcgi;
  uwsgi_temp_path $work/ng/uwsgi;
  scgi_temp_path $work/ng/scgi;
  server {
    listen 127.0.0.1:$ng_port;
    root $work/www;
  }
}
CONF
"$nginx_bin" -p "$work/ng" -c "$work/ng/nginx.conf" &
ng_pid=$!

wait_port() {
  for _ in $(seq 1 500); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.01
  done
  echo "nothing listens on port $1" >&2
  return 1
}
wait_port "$qn_port"
wait_port "$ng_port"

# Requests per second, or MB/s for the large file, from one wrk run.
measure() { # port path connections header unit
  local out
  out=$(wrk -t2 -c"$3" -d"${seconds}s" -H "$4" "http://127.0.0.1:$1$2" 2>&1)
  # Figures of failed answers would be meaningless.
  if grep -q "Non-2xx" <<<"$out"; then echo "failed"; return; fi
  if [ "$5" = rps ]; then
    awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<<"$out"
  else
    awk '/^Transfer\/sec:/ {v=$2; u=substr(v, length(v)-1); n=v+0;
         if (u=="GB") n*=1024; if (u=="KB") n/=1024; printf "%.0f", n}' <<<"$out"
  fi
}

rss_mib() { # every process of the server (nginx: master and workers)
  local total=0 pid
  for pid in "$@"; do
    total=$((total + $(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)))
  done
  echo $((total / 1024))
}

printf '%-44s %12s %12s\n' "run ($seconds s each, loopback)" quillnest nginx
row() { # label path connections header unit
  local a b
  a=$(measure "$qn_port" "$2" "$3" "$4" "$5")
  b=$(measure "$ng_port" "$2" "$3" "$4" "$5")
  printf '%-44s %12s %12s\n' "$1" "$a" "$b"
}
row "1 KiB, keep-alive, 8 connections (req/s)" /small.txt 8 "Connection: keep-alive" rps
row "1 KiB, keep-alive, 64 connections (req/s)" /small.txt 64 "Connection: keep-alive" rps
row "1 KiB, no keep-alive, 8 connections (req/s)" /small.txt 8 "Connection: close" rps
row "1 KiB, no keep-alive, 64 connections (req/s)" /small.txt 64 "Connection: close" rps
row "10 MiB, keep-alive, 4 connections (MB/s)" /large.bin 4 "Connection: keep-alive" mbs
ng_pids=$(pgrep -P "$ng_pid" | tr '\n' ' ')
printf '%-44s %12s %12s\n' "resident memory after the runs (MiB)" "$(rss_mib "$qn_pid")" "$(rss_mib "$ng_pid" $ng_pids)"
