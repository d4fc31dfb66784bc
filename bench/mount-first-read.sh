#!/usr/bin/env bash
# mount-first-read.sh [BUILD_DIR]: the first read of a 1 GiB file through `tarnix mount` (the
# contents are fetched from the cloud by the provider as `cat` reads) against `curl -o` of the
# same file from the same emulator, in the same run (TLS, loopback; both write the file to
# disk). Then a second read through the mount, once the contents are present. Prints the
# throughputs and the ratio (goal: >= 0.9). Needs a usable /dev/fuse.
set -euo pipefail

build=${1:-${TARNIX_BUILD_DIR:-build-release}}
size_mib=${TARNIX_BENCH_MIB:-1024}
tarnix="$PWD/$build/apps/tarnix/tarnix"
emulator="$PWD/$build/tools/cloud-emulator/tarnix-cloud-emulator"
for program in "$tarnix" "$emulator"; do
  [ -x "$program" ] || { echo "no $program (make bench builds it)" >&2; exit 1; }
done

source "$(dirname "$0")/lib/emulator.bash"
work=$(mktemp -d /tmp/tarnix-mount-bench-XXXXXX)
mountpoint="$work/mnt"
emulator_pid=""
cleanup() {
  stop_mount "$mountpoint"
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_emulator demo
export TARNIX_CA_FILE="$ca"
export TARNIX_HOME="$work/home"
api() { curl -sS --fail --cacert "$ca" -H "$auth" "$@"; }
cloud="https://localhost:$port"

bytes=$((size_mib << 20))
head -c "$bytes" /dev/urandom >"$work/big.bin"
upload_bench_file "$work/big.bin"
expected=$(sha256sum <"$work/big.bin" | cut -d' ' -f1)
rm -f "$work/big.bin"

account=$(echo "$token" | "$tarnix" account add --domain "localhost:$port" --user alice \
  --access-token-file - | head -n 1)
"$tarnix" drive add --account "$account" --label Bench >/dev/null
mkdir -p "$mountpoint"
"$tarnix" mount Bench "$mountpoint" --cache-size 4G >/dev/null
ls -R "$mountpoint" >/dev/null  # listed, so the read below times the contents only

seconds() { date +%s.%N; }
start=$(seconds)
cat "$mountpoint/Shared/bench/big.bin" >/dev/null
first=$(awk -v s="$start" -v e="$(seconds)" 'BEGIN { print e - s }')
got=$(sha256sum <"$mountpoint/Shared/bench/big.bin" | cut -d' ' -f1)
[ "$got" = "$expected" ] || { echo "the mount's bytes differ from the cloud's" >&2; exit 1; }
start=$(seconds)
cat "$mountpoint/Shared/bench/big.bin" >/dev/null
again=$(awk -v s="$start" -v e="$(seconds)" 'BEGIN { print e - s }')

url="$cloud/api/v1/fs-content-download/ids/file/$group?entry_id=$entry"
start=$(seconds)
api -o "$work/curl.bin" "$url"
curl_time=$(awk -v s="$start" -v e="$(seconds)" 'BEGIN { print e - s }')
rm -f "$work/curl.bin"

awk -v b="$bytes" -v f="$first" -v a="$again" -v c="$curl_time" -v m="$size_mib" 'BEGIN {
  printf "%d MiB first read through the mount (fetching): %.0f MiB/s\n", m, b / f / 1048576
  printf "%d MiB curl -o:                               %.0f MiB/s\n", m, b / c / 1048576
  printf "mount first read / curl:                      %.2f (goal >= 0.9)\n", c / f
  printf "%d MiB second read through the mount:          %.0f MiB/s\n", m, b / a / 1048576
}'
