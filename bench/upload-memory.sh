#!/usr/bin/env bash
# Peak resident memory of a 1 GiB upload from disk through TarnixURLSession, measured with
# /usr/bin/time -v against a local nginx over TLS that discards the body. The goal: the peak
# stays below 64 MiB above the process's resident memory at start.
#
#   TARNIX_BUILD_DIR=build-release bash bench/upload-memory.sh   (make bench runs it)
set -euo pipefail
build=${TARNIX_BUILD_DIR:-build-release}
uploader="$build/bench/UploadMemory"
size=${UPLOAD_SIZE:-1G}
limit_kib=$((64 * 1024))
for tool in nginx openssl /usr/bin/time; do
  command -v "$tool" >/dev/null 2>&1 || { echo "upload-memory: $tool is missing (scripts/install-deps)"; exit 1; }
done
[ -x "$uploader" ] || { echo "upload-memory: $uploader is not built (make bench)"; exit 1; }

work=$(mktemp -d)
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
port=$((20000 + RANDOM % 20000))
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    client_max_body_size 0;
    location / { return 204; }
  }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

# A sparse file: the bytes come from the page cache, not from a slow disk.
truncate -s "$size" "$work/upload.bin"
/usr/bin/time -v "$uploader" "https://127.0.0.1:$port/upload" "$work/upload.bin" "$work/cert.pem" \
  >"$work/out.txt" 2>"$work/time.txt" || { cat "$work/out.txt" "$work/time.txt"; exit 1; }

start=$(awk '/^start_rss_kib/ {print $2}' "$work/out.txt")
peak=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
sent=$(awk '/^bytes_sent/ {print $2}' "$work/out.txt")
seconds=$(awk '/^seconds/ {print $2}' "$work/out.txt")
growth=$((peak - start))
echo "upload of $size: $sent bytes in $seconds s"
echo "resident memory: start $start KiB, peak $peak KiB, growth $growth KiB (limit $limit_kib KiB)"
if [ "$growth" -ge "$limit_kib" ]; then
  echo "upload-memory: FAIL, the upload grew the process by $growth KiB"
  exit 1
fi
echo "upload-memory: PASS"
