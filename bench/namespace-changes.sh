#!/usr/bin/env bash
# namespace-changes.sh [BUILD_DIR]: `rm -r` of a folder of 1,000 files and `mv` of a folder of
# 10,000 files through `tarnix mount`, each against an emulator seeded with that folder. For
# each: the time until the command returns, the time until the cloud shows the change, and the
# requests the change sent (listings included; the emulator's request log counts them). Goal:
# a handful of requests each, whatever the folder's size. Needs a usable /dev/fuse.
set -euo pipefail

build=${1:-${TARNIX_BUILD_DIR:-build-release}}
remove_count=${TARNIX_BENCH_REMOVE_FILES:-1000}
move_count=${TARNIX_BENCH_MOVE_FILES:-10000}
tarnix="$PWD/$build/apps/tarnix/tarnix"
emulator="$PWD/$build/tools/cloud-emulator/tarnix-cloud-emulator"
for program in "$tarnix" "$emulator"; do
  [ -x "$program" ] || { echo "no $program (make bench builds it)" >&2; exit 1; }
done

work=""
emulator_pid=""
stop() {
  [ -n "$work" ] && stop_mount "$work/mnt"
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null || true
  emulator_pid=""
  [ -n "$work" ] && rm -rf "$work"
  work=""
}
trap stop EXIT

source "$(dirname "$0")/lib/emulator.bash"
seconds() { date +%s.%N; }
since() { awk -v s="$1" -v e="$(seconds)" 'BEGIN { printf "%.2f", e - s }'; }

# mounted SEED: a fresh emulator seeded with SEED, a fresh container, a drive mounted at
# $work/mnt with the seeded folder listed.
mounted() {
  work=$(mktemp -d /tmp/tarnix-namespace-bench-XXXXXX)
  start_emulator "$1"
  admin=$(sed -n 's|.*admin token: \([^ ]*\).*|\1|p' "$work/emulator.out")
  mount_bench_drive
  ls "$work/mnt/Shared/${1/:/-}" >/dev/null
}
requests() {
  curl -sS --fail --cacert "$ca" -H "X-Admin-Token: $admin" "https://localhost:$port/__admin/requests" |
    grep -o '"method"' | wc -l
}
clear_requests() {
  curl -sS --fail --cacert "$ca" -H "X-Admin-Token: $admin" -X DELETE \
    "https://localhost:$port/__admin/requests" >/dev/null
}
# on_cloud PATH: 0 when the cloud lists the folder at PATH.
on_cloud() {
  curl -sS -o /dev/null -w '%{http_code}' --cacert "$ca" -H "$auth" \
    "https://localhost:$port/rest/public/v1/fsc/folders?path=$1" | grep -q '^200$'
}
# wait_for CONDITION...: polls (at most 120 s) until the command succeeds.
wait_for() {
  for _ in $(seq 1 1200); do
    "$@" && return 0
    sleep 0.1
  done
  echo "the cloud did not show the change within 120 s" >&2
  exit 1
}

mounted "scale:$remove_count"
clear_requests
start=$(seconds)
rm -r "$work/mnt/Shared/scale-$remove_count"
returned=$(since "$start")
wait_for bash -c "! curl -sS -o /dev/null -w '%{http_code}' --cacert '$ca' -H '$auth' \
  'https://localhost:$port/rest/public/v1/fsc/folders?path=/Shared/scale-$remove_count' | grep -q '^200$'"
shown=$(since "$start")
sleep 3  # deletions still on their way would show up in the log now
echo "rm -r of $remove_count files: returned after ${returned}s, gone from the cloud after ${shown}s, $(requests) requests (goal: a handful)"
stop

mounted "scale:$move_count"
clear_requests
start=$(seconds)
mv "$work/mnt/Shared/scale-$move_count" "$work/mnt/Shared/moved-$move_count"
returned=$(since "$start")
wait_for on_cloud "/Shared/moved-$move_count"
shown=$(since "$start")
echo "mv of a folder of $move_count files: returned after ${returned}s, on the cloud after ${shown}s, $(requests) requests (goal: a handful)"
