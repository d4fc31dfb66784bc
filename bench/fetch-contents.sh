#!/usr/bin/env bash
# fetch-contents.sh [BUILD_DIR]: the provider's fetchContents of a 1 GiB file against `curl -o`
# of the same download URL, from the same emulator in the same run (TLS, loopback; both write
# the file to disk). Prints both throughputs (best of three) and their ratio (goal: >= 0.9).
set -euo pipefail

build=${1:-${TARNIX_BUILD_DIR:-build-release}}
emulator="$build/tools/cloud-emulator/tarnix-cloud-emulator"
fetcher="$build/bench/ContentFetchBench"
for program in "$emulator" "$fetcher"; do
  [ -x "$program" ] || { echo "no $program (make bench builds it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tarnix-fetch-bench-XXXXXX)
emulator_pid=""
cleanup() {
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$emulator" --data "$work/data" --port 0 --seed demo >"$work/emulator.out" 2>"$work/emulator.err" &
emulator_pid=$!
for _ in $(seq 1 600); do
  grep -q "listening on" "$work/emulator.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's|.*listening on https://[^:]*:\([0-9]*\).*|\1|p' "$work/emulator.out")
[ -n "$port" ] || { cat "$work/emulator.err" >&2; exit 1; }
ca="$work/data/tls/ca.pem"
token=alice-token
auth="Authorization: OAUTH oauth_token=$token,oauth_version=2.0"

head -c 1073741824 /dev/urandom >"$work/big.bin"
shared=$(curl -sS --fail --cacert "$ca" -H "$auth" "https://localhost:$port/api/v1/fs/Shared" |
  sed -n 's|.*"folder_id":"\{0,1\}\([0-9]*\).*|\1|p')
curl -sS --fail --cacert "$ca" -H "$auth" -H "Content-Type: application/json" -X POST \
  -d '{"action":"add_folder","name":"bench"}' "https://localhost:$port/api/v1/fs/ids/folder/$shared" \
  -o "$work/folder.json"
folder=$(sed -n 's|.*"folder_id":"\{0,1\}\([0-9]*\).*|\1|p' "$work/folder.json")
curl -sS --fail --cacert "$ca" -H "$auth" -X POST -T "$work/big.bin" \
  "https://localhost:$port/api/v1/fs-content/Shared/bench/big.bin" -o "$work/upload.json"
group=$(sed -n 's|.*"group_id":"\{0,1\}\([0-9]*\).*|\1|p' "$work/upload.json")
entry=$(sed -n 's|.*"entry_id":"\{0,1\}\([0-9]*\).*|\1|p' "$work/upload.json")
rm -f "$work/big.bin"

url="https://localhost:$port/api/v1/fs-content-download/ids/file/$group?entry_id=$entry"
curl_best=0
for _ in 1 2 3; do
  speed=$(curl -sS --fail --cacert "$ca" -H "$auth" -o "$work/curl.bin" -w '%{speed_download}' "$url")
  rm -f "$work/curl.bin"
  curl_best=$(awk -v a="$curl_best" -v b="$speed" 'BEGIN { print (b > a) ? b : a }')
done

mkdir -p "$work/home"
provider_best=$(TARNIX_HOME="$work/home" TARNIX_CA_FILE="$ca" "$fetcher" "$work/home" \
  "localhost:$port" "$token" "$folder" "$group" "$entry" 1073741824)

awk -v p="$provider_best" -v c="$curl_best" 'BEGIN {
  printf "1 GiB fetchContents: %.0f MiB/s\n", p / 1048576
  printf "1 GiB curl -o:       %.0f MiB/s\n", c / 1048576
  printf "provider / curl:     %.2f (goal >= 0.9)\n", p / c
}'
