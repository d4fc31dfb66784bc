#!/usr/bin/env bash
# live-changes.sh [BUILD_DIR]: how long a change made on the cloud by another person takes to
# show in a mounted drive that nobody touches: 100 times, bob uploads a new file to a folder the
# mount has shown, and the time from the end of the upload until the file exists on the mount
# point is taken (looked up by name every 10 ms; the folder is never read again). Prints the
# median and the worst. Goal: median under 2 s. Needs a usable /dev/fuse.
set -euo pipefail

build=${1:-${TARNIX_BUILD_DIR:-build-release}}
changes=${TARNIX_BENCH_LIVE_CHANGES:-100}
tarnix="$PWD/$build/apps/tarnix/tarnix"
emulator="$PWD/$build/tools/cloud-emulator/tarnix-cloud-emulator"
for program in "$tarnix" "$emulator"; do
  [ -x "$program" ] || { echo "no $program (make bench builds it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tarnix-live-bench-XXXXXX)
emulator_pid=""
stop() {
  stop_mount "$work/mnt"
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT
source "$(dirname "$0")/lib/emulator.bash"

start_emulator demo
mount_bench_drive
ls "$work/mnt/Shared/Documents" >/dev/null
# The feed is followed once the mount has connected its socket.
for _ in $(seq 1 300); do
  "$tarnix" status Bench | grep -q '^Change feed: connected' && break
  sleep 0.1
done
"$tarnix" status Bench | grep '^Change feed'

bob=(curl -sS --fail --cacert "$ca" -H "Authorization: OAUTH oauth_token=bob-token,oauth_version=2.0")
echo "a change by bob" >"$work/change.txt"
latencies=()
for i in $(seq 1 "$changes"); do
  "${bob[@]}" -X POST -T "$work/change.txt" \
    "https://localhost:$port/api/v1/fs-content/Shared/Documents/live-$i.txt" -o /dev/null
  start=$(date +%s%N)
  for _ in $(seq 1 3000); do
    [ -e "$work/mnt/Shared/Documents/live-$i.txt" ] && break
    sleep 0.01
  done
  [ -e "$work/mnt/Shared/Documents/live-$i.txt" ] || { echo "change $i did not show within 30 s" >&2; exit 1; }
  latencies+=($((($(date +%s%N) - start) / 1000000)))
done
printf '%s\n' "${latencies[@]}" | sort -n | awk -v n="$changes" '
  { v[NR] = $1 }
  END {
    median = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    printf "cloud change to mount, %d changes: median %d ms, worst %d ms, best %d ms (goal: median under 2000 ms)\n", n, median, v[n], v[1]
  }'
