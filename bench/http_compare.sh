#!/bin/sh
# Measures the release tallypad against nginx with one worker, in the same
# run, with the same client (ab) on the same files on loopback:
#   - a static 1 KiB file, one client at a time and 16 concurrent clients;
#   - system calls per static request and per survey NEXT of the demo
#     (strace -c over a few hundred requests).
# Prints requests per second for both servers and their ratio.
# Usage: bench/http_compare.sh [BUILD_DIR] [REQUESTS]
# Needs nginx, ab (apache2-utils) and strace: scripts/install-deps.sh bench.
set -eu
BUILD=${1:-build-bench}
REQUESTS=${2:-20000}
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
TALLYPAD=$(cd "$BUILD" && pwd)/tallypad
WORK=$(mktemp -d /tmp/tallypad-compare-XXXXXX)
PIDS=""
cleanup() {
  for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

mkdir -p "$WORK/root" "$WORK/registry" "$WORK/nginx"
head -c 1024 /dev/zero | tr '\0' 'x' > "$WORK/root/static.txt"

# tallypad
TP_PORT=$(free_port)
TALLYPAD_REGISTRY="$WORK/registry" TALLYPAD_NETWORK=offline \
  "$TALLYPAD" --port "$TP_PORT" "$WORK/root" > "$WORK/tallypad.out" 2>&1 &
TP_PID=$!
PIDS="$PIDS $TP_PID"

# nginx, one worker, the same folder
NG_PORT=$(free_port)
cat > "$WORK/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server {
    listen 127.0.0.1:$NG_PORT;
    root $WORK/root;
  }
}
EOF
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" > /dev/null 2>&1 &
NG_PID=$!
PIDS="$PIDS $NG_PID"

for i in $(seq 1 100); do
  grep -q "running on port" "$WORK/tallypad.out" 2>/dev/null && \
    curl -s -o /dev/null "http://127.0.0.1:$NG_PORT/static.txt" 2>/dev/null && break
  sleep 0.1
done

rate() {  # URL CONCURRENCY -> requests per second
  ab -q -n "$REQUESTS" -c "$2" "$1" 2>/dev/null | awk '/Requests per second/ {print $4}'
}

echo "static 1 KiB, $REQUESTS requests each (ab), best of 3"
for c in 1 16; do
  best_tp=0; best_ng=0
  for round in 1 2 3; do
    tp=$(rate "http://127.0.0.1:$TP_PORT/static.txt" $c)
    ng=$(rate "http://127.0.0.1:$NG_PORT/static.txt" $c)
    best_tp=$(echo "$tp $best_tp" | awk '{print ($1 > $2) ? $1 : $2}')
    best_ng=$(echo "$ng $best_ng" | awk '{print ($1 > $2) ? $1 : $2}')
  done
  echo "  -c $c: tallypad $best_tp/s, nginx $best_ng/s, ratio $(echo "$best_tp $best_ng" | awk '{printf "%.2f", $1 / $2}')"
done

# System calls per request, counted by strace on the running server.
syscalls() {  # NAME URL [POSTFILE] -> system calls per request
  n=300
  out="$WORK/strace-$1.txt"
  shift
  strace -c -f -p "$TP_PID" -o "$out" 2>/dev/null &
  ST=$!
  sleep 0.5
  if [ -n "${2:-}" ]; then
    ab -q -n $n -c 1 -p "$2" -T application/x-www-form-urlencoded "$1" > /dev/null 2>&1
  else
    ab -q -n $n -c 1 "$1" > /dev/null 2>&1
  fi
  sleep 0.3
  kill -INT $ST; wait $ST 2>/dev/null || true
  [ -n "${SHOW_STRACE:-}" ] && cat "$out" >&2
  awk -v n=$n '/total/ {printf "%.1f", $4 / n}' "$out"
}
echo "system calls per static request: $(syscalls static "http://127.0.0.1:$TP_PORT/static.txt")"

# A survey NEXT of the demo: the first page's answers, going on to the second.
cp -R "$SOURCE/examples/demo/." "$WORK/root/"
printf 'DATABASE=library&_PAGE=about&_PAGEBACK=&_SESSION=bench&FIRSTNAME=Ann&AGEGROUP=65plus&_ACTION=NEXT' \
  > "$WORK/next.body"
curl -s -o /dev/null --data-binary @"$WORK/next.body" "http://127.0.0.1:$TP_PORT/kqs"
curl -s --data-binary @"$WORK/next.body" "http://127.0.0.1:$TP_PORT/kqs" | grep -q "your visits" ||
  echo "(the NEXT did not reach the next page)"
echo "system calls per survey NEXT: $(syscalls next "http://127.0.0.1:$TP_PORT/kqs" "$WORK/next.body")"
