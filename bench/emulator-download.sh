#!/usr/bin/env bash
# emulator-download.sh [BUILD_DIR]: downloads a 1 GiB stored file with curl from
# tarnix-cloud-emulator and, in the same run, the same file from nginx (TLS, loopback, one worker,
# the emulator's certificate), then times the listing of a 100,000-file folder.
# Prints both throughputs, their ratio (goal: at least 0.8) and the listing time.
set -euo pipefail

build=${1:-${TARNIX_BUILD_DIR:-build-release}}
emulator="$build/tools/cloud-emulator/tarnix-cloud-emulator"
[ -x "$emulator" ] || { echo "no $emulator (make bench builds it)" >&2; exit 1; }
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/install-deps)" >&2; exit 1; }

work=$(mktemp -d /tmp/tarnix-emulator-bench-XXXXXX)
chmod 755 "$work"
emulator_pid=""
nginx_pid=""
cleanup() {
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "seeding 100,000 files..."
source "$(dirname "$0")/lib/emulator.bash"
start_emulator scale:100000

head -c 1073741824 /dev/urandom >"$work/big.bin"
chmod 644 "$work/big.bin"
upload_bench_file "$work/big.bin"

nginx_port=$((port + 1))
mkdir -p "$work/nginx/logs" "$work/www"
ln "$work/big.bin" "$work/www/big.bin" 2>/dev/null || cp "$work/big.bin" "$work/www/big.bin"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  sendfile on;
  server {
    listen 127.0.0.1:$nginx_port ssl;
    server_name localhost;
    ssl_certificate $work/data/tls/server.pem;
    ssl_certificate_key $work/data/tls/server-key.pem;
    root $work/www;
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g "daemon off;" 2>"$work/nginx/logs/stderr" &
nginx_pid=$!
sleep 0.5

measure() {  # URL [header]: best of three, bytes per second
  local best=0 speed
  for _ in 1 2 3; do
    speed=$(curl -sS --fail --cacert "$ca" ${2:+-H "$2"} -o /dev/null -w '%{speed_download}' "$1")
    best=$(awk -v a="$best" -v b="$speed" 'BEGIN { print (b > a) ? b : a }')
  done
  echo "$best"
}

emulator_speed=$(measure "https://localhost:$port/api/v1/fs-content-download/ids/file/$group" "$auth")
nginx_speed=$(measure "https://localhost:$nginx_port/big.bin")
listing=$(curl -sS --fail --cacert "$ca" -H "$auth" -o "$work/listing.json" -w '%{time_total}' \
  "https://localhost:$port/rest/public/v1/fsc/folders?path=%2FShared%2Fscale-100000&includeChecksum=true")
files=$(grep -o '"groupId"' "$work/listing.json" | wc -l)

awk -v e="$emulator_speed" -v n="$nginx_speed" -v l="$listing" -v f="$files" 'BEGIN {
  printf "1 GiB download, emulator: %.0f MiB/s\n", e / 1048576
  printf "1 GiB download, nginx:    %.0f MiB/s\n", n / 1048576
  printf "emulator / nginx:         %.2f (goal >= 0.8)\n", e / n
  printf "listing of %d files:  %.2f s\n", f, l
}'
