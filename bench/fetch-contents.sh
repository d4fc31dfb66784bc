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

source "$(dirname "$0")/lib/emulator.bash"
start_emulator demo

head -c 1073741824 /dev/urandom >"$work/big.bin"
upload_bench_file "$work/big.bin"
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
