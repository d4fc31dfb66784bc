#!/usr/bin/env bash
# mount-upload.sh [BUILD_DIR]: a 1 GiB file copied into the mount with `cp` until the cloud has
# it (the mount sends it in chunks), against `curl -T` of the same file to the same emulator in
# the same run (TLS, loopback). Also: the mount process's peak resident memory during the upload
# above its idle size, and `cp` into the mount (the copy alone) against `cp` to the disk that
# holds the replica. Goals: upload ratio >= 0.85, memory < 64 MiB above idle, copy ratio >= 0.5.
# Needs a usable /dev/fuse.
set -euo pipefail

build=${1:-${TARNIX_BUILD_DIR:-build-release}}
size_mib=${TARNIX_BENCH_MIB:-1024}
source "$(dirname "$0")/lib/emulator.bash"
bench_programs "$build"
bench_workspace upload-bench
mountpoint="$work/mnt"

start_emulator demo
mount_bench_drive
cloud="https://localhost:$port"
api() { curl -sS --fail --cacert "$ca" -H "$auth" "$@"; }
seconds() { date +%s.%N; }
since() { awk -v s="$1" -v e="$(seconds)" 'BEGIN { print e - s }'; }

bytes=$((size_mib << 20))
head -c "$bytes" /dev/urandom >"$work/big.bin"
expected=$(sha512sum <"$work/big.bin" | cut -d' ' -f1)
ls -R "$mountpoint" >/dev/null # listed, so that the copy below times the contents only

# The process serving the mount, and its resident memory (KiB) now and at its peak.
server=$(pgrep -f -- " $mountpoint" | head -n 1)
[ -n "$server" ] || { echo "no process serves $mountpoint" >&2; exit 1; }
kib() { sed -n "s/^$1:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$server/status"; }
idle=$(kib VmRSS)
echo 5 >"/proc/$server/clear_refs" 2>/dev/null || true # the peak starts again from here

target="$mountpoint/Shared/Documents/big.bin"
start=$(seconds)
cp "$work/big.bin" "$target"
copied=$(since "$start")
for _ in $(seq 1 6000); do
  getfattr --absolute-names -n user.tarnix.uploadPending "$target" >/dev/null 2>&1 || break
  sleep 0.05
done
uploaded=$(since "$start")
peak=$(kib VmHWM)
getfattr --absolute-names -n user.tarnix.uploadError "$target" 2>/dev/null && {
  echo "the cloud refused the upload" >&2
  exit 1
}
got=$(api "$cloud/api/v1/fs-content/Shared/Documents/big.bin" | sha512sum | cut -d' ' -f1)
[ "$got" = "$expected" ] || { echo "the cloud's bytes differ from the local file's" >&2; exit 1; }

start=$(seconds)
api -X POST -T "$work/big.bin" "$cloud/api/v1/fs-content/Shared/Documents/curl.bin" -o /dev/null
curl_time=$(since "$start")

# The replica lives in the tarnix home, on the same disk as $work.
start=$(seconds)
cp "$work/big.bin" "$work/copy.bin"
disk_copy=$(since "$start")

awk -v b="$bytes" -v m="$size_mib" -v u="$uploaded" -v c="$curl_time" -v cp="$copied" \
  -v d="$disk_copy" -v idle="$idle" -v peak="$peak" 'BEGIN {
  printf "%d MiB cp into the mount until the cloud has it: %.0f MiB/s\n", m, b / u / 1048576
  printf "%d MiB curl -T:                                %.0f MiB/s\n", m, b / c / 1048576
  printf "mount upload / curl:                           %.2f (goal >= 0.85)\n", c / u
  printf "mount process resident: idle %d MiB, peak %d MiB, +%d MiB (goal < 64)\n", \
    idle / 1024, peak / 1024, (peak - idle) / 1024
  printf "%d MiB cp into the mount (the copy alone):     %.0f MiB/s\n", m, b / cp / 1048576
  printf "%d MiB cp to the replica'\''s disk:               %.0f MiB/s\n", m, b / d / 1048576
  printf "cp into the mount / cp to disk:                %.2f (goal >= 0.5)\n", d / cp
}'
