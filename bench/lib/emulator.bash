# Sourced by the benchmark scripts: a tarnix-cloud-emulator of their own and a large file on it.
# Expects $emulator (the program) and $work (a scratch folder the caller removes); the caller's
# cleanup kills $emulator_pid.

# bench_programs BUILD_DIR: sets tarnix and emulator to the programs of BUILD_DIR, or fails
# saying how to build them.
bench_programs() {
  tarnix="$PWD/$1/apps/tarnix/tarnix"
  emulator="$PWD/$1/tools/cloud-emulator/tarnix-cloud-emulator"
  local program
  for program in "$tarnix" "$emulator"; do
    [ -x "$program" ] || { echo "no $program (make bench builds it)" >&2; exit 1; }
  done
}

# bench_workspace NAME: a scratch folder $work (with the mount point $work/mnt) that is removed,
# with the mount and the emulator, when the script ends.
bench_workspace() {
  work=$(mktemp -d "/tmp/tarnix-$1-XXXXXX")
  emulator_pid=""
  trap bench_cleanup EXIT
}
bench_cleanup() {
  stop_mount "$work/mnt"
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null || true
  rm -rf "$work"
}

# start_emulator SEED: starts the emulator seeded with SEED on a free loopback port and waits
# until it listens. Sets emulator_pid, port, ca (its TLS authority), token and auth (a header).
start_emulator() {
  "$emulator" --data "$work/data" --port 0 --seed "$1" >"$work/emulator.out" 2>"$work/emulator.err" &
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
}

# json_id KEY FILE: the numeric value of KEY in a JSON answer (quoted or not).
json_id() { sed -n "s|.*\"$1\":\"\{0,1\}\([0-9]*\).*|\1|p" "$2"; }

# upload_bench_file FILE: uploads FILE as /Shared/bench/big.bin (files cannot sit directly in
# /Shared, so the file gets a folder of its own). Sets folder, group and entry.
upload_bench_file() {
  local api=(curl -sS --fail --cacert "$ca" -H "$auth")
  local cloud="https://localhost:$port"
  "${api[@]}" "$cloud/api/v1/fs/Shared" -o "$work/shared.json"
  "${api[@]}" -H "Content-Type: application/json" -X POST \
    -d '{"action":"add_folder","name":"bench"}' \
    "$cloud/api/v1/fs/ids/folder/$(json_id folder_id "$work/shared.json")" -o "$work/folder.json"
  folder=$(json_id folder_id "$work/folder.json")
  "${api[@]}" -X POST -T "$1" "$cloud/api/v1/fs-content/Shared/bench/big.bin" \
    -o "$work/upload.json"
  group=$(json_id group_id "$work/upload.json")
  entry=$(json_id entry_id "$work/upload.json")
}

# stop_mount MOUNTPOINT: unmounts a tarnix mount at MOUNTPOINT (if any) and waits (at most 5 s)
# until the kernel no longer lists it. Expects $tarnix.
stop_mount() {
  if grep -qs " $1 fuse" /proc/mounts; then
    "$tarnix" unmount "$1" >/dev/null 2>&1 || true
  fi
  for _ in $(seq 1 50); do
    grep -qs " $1 fuse" /proc/mounts || break
    sleep 0.1
  done
}

# mount_bench_drive: adds alice's account on the emulator and a drive "Bench" in a tarnix home of
# its own ($work/home), and mounts it at $work/mnt. Expects $tarnix and start_emulator's values.
mount_bench_drive() {
  export TARNIX_CA_FILE="$ca" TARNIX_HOME="$work/home"
  local account
  account=$(echo "$token" | "$tarnix" account add --domain "localhost:$port" --user alice \
    --access-token-file - | head -n 1)
  "$tarnix" drive add --account "$account" --label Bench >/dev/null
  mkdir -p "$work/mnt"
  "$tarnix" mount Bench "$work/mnt" >/dev/null
}
