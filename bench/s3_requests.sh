#!/usr/bin/env bash
# The store requests each file operation costs through corvane-mount on a
# bucket, counted from the store's own request log (scripts/s3-store
# --request-log, bench/store_requests.py): one throw-away store (in memory),
# one engine (its bucket poll set to an hour, so only the operations ask),
# one mount with no write-back delay. Rows:
#   idle 5 s        nothing done: what the engine and the mount ask by
#                   themselves (the floor under every other row)
#   list            ls -l of a folder of 100 files, fresh mount
#   stat            stat of one file in a folder not listed, fresh mount
#   read small      cat of one small file in a folder not listed, fresh mount
#   create small    echo > a new file, until it is in the bucket
#   overwrite       echo > that file again, until the bucket has the new size
#   rename file     mv of that file in its folder, until the bucket shows it
#   rename folder   mv of a folder of 100 files, until all are under the new name
#   delete          rm of the renamed file, until it is gone from the bucket
# A write row ends once a plain client sees the result in the bucket and then
# 2 s without a request from the engine (a late check after a write counts).
# With --far-ms MS the engine reaches the store through bench/delay_proxy and
# each row also shows its seconds (until the bucket shows the result).
#
# Usage: bench/s3_requests.sh [--far-ms MS] [--detail] [BIN_DIR]   (build/bin)
# Needs root (or user FUSE mounts).
set -euo pipefail
cd "$(dirname "$0")/.."
far_ms="" detail=""
while [ $# -gt 0 ]; do
  case $1 in
    --far-ms) far_ms=${2:-}; shift 2 || { echo "s3_requests: --far-ms needs MS" >&2; exit 2; } ;;
    --detail) detail=--detail; shift ;;
    *) break ;;
  esac
done
bin="$(cd "${1:-build/bin}" && pwd)"
for tool in corvane-engine corvane-mount delay_proxy; do
  [ -x "$bin/$tool" ] || { echo "s3_requests: $bin/$tool is missing; build first" >&2; exit 1; }
done
# shellcheck source=bench/far_store.sh
. bench/far_store.sh

root=$(mktemp -d "${TMPDIR:-/tmp}/s3-requests-XXXXXX")
store="$root/store" mnt="$root/mnt"
mkdir -p "$root/data" "$root/cache" "$root/tmp" "$mnt"
export XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache" TMPDIR="$root/tmp"
engine_pid="" mount_pid="" far_pid=""
stop() {  # pid
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 1 300); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  mountpoint -q "$mnt" && fusermount3 -u -z "$mnt" 2>/dev/null || true
  stop "$mount_pid"; stop "$engine_pid"; far_stop
  scripts/s3-store stop "$store" >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

scripts/s3-store start "$store" --owner $$ --request-log
far_open_store "$store"
bucket=bench
# The bucket, and its folders: list/ for the listing, moved/ for the folder
# rename, stat/ and read/ for the single-file rows, work/ for the writes.
plain mkbucket "$bucket"
python3 - "$store" "$bucket" <<'PY'
import sys
sys.path.insert(0, "bench")
import s3_plain
client = s3_plain.Client(s3_plain.read_env(sys.argv[1]))
bucket = sys.argv[2]
for folder in ("list", "moved"):
    for i in range(100):
        key = f"{folder}/file-{i:03d}.txt"
        assert client.request("PUT", bucket, key, body=f"{key}\n".encode())[0] == 200
for key in ("stat/one.txt", "read/one.txt", "work/keep.txt"):
    assert client.request("PUT", bucket, key, body=f"{key}\n".encode())[0] == 200
PY

endpoint=$AWS_ENDPOINT_URL
if [ -n "$far_ms" ]; then
  far_start "$bin" "$far_ms"
  endpoint=$far_endpoint
fi
"$bin/corvane-engine" --scope "bench=s3://$bucket" --s3-endpoint "$endpoint" --s3-poll 3600 \
  >>"$root/engine.log" 2>&1 &
engine_pid=$!
far_wait_engine "$XDG_DATA_HOME/CorvaneSync/engine.json" "$engine_pid" "$root/engine.log"

mount_() {
  rm -rf "$root/mount-cache"
  "$bin/corvane-mount" -f --domain s3-1 --cache "$root/mount-cache" --write-back-delay 0 "$mnt" \
    >>"$root/mount.log" 2>&1 &
  mount_pid=$!
  for _ in $(seq 1 300); do
    mountpoint -q "$mnt" && return 0
    kill -0 "$mount_pid" 2>/dev/null || break
    sleep 0.1
  done
  tail -n 20 "$root/mount.log" >&2
  echo "s3_requests: the mount did not start" >&2
  exit 1
}
remount() {
  fusermount3 -u "$mnt" 2>/dev/null || true
  stop "$mount_pid"
  mount_
}

# Waits until the store has answered no request for 2 s, so the late
# requests of a row count in it.
quiet() {
  local log="$store/requests.log" size last=-1 still=0
  for _ in $(seq 1 600); do
    size=$(stat -c %s "$log" 2>/dev/null || echo 0)
    if [ "$size" = "$last" ]; then still=$((still + 1)); else still=0 last=$size; fi
    [ "$still" -ge 20 ] && return 0
    sleep 0.1
  done
}

declare -A count seconds
rows=()
n=0
# row NAME SETUP COMMAND [WAIT...]: SETUP runs before the first mark (a
# remount, or nothing); COMMAND is timed; WAIT (s3_plain wait arguments)
# must hold before the row ends.
row() {
  local name=$1 setup=$2 command=$3 start end
  shift 3
  $setup
  quiet
  n=$((n + 1))
  requests mark "$bucket" "row-$n-start"
  start=$(date +%s%N)
  bash -c "$command" >/dev/null
  while [ $# -gt 0 ]; do
    plain wait "$bucket" $1 --timeout 120 >/dev/null
    shift
  done
  end=$(date +%s%N)
  quiet
  requests mark "$bucket" "row-$n-end"
  rows+=("$name")
  count[$name]=$(requests count --from "row-$n-start" --to "row-$n-end" $detail)
  seconds[$name]=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
  echo "s3_requests: $name: ${count[$name]%%$'\n'*}" >&2
}
nothing() { :; }

mount_
m=$mnt
row "idle 5 s" nothing "sleep 5"
row "list (ls -l, 100 files)" remount "ls -l $m/list"
row "stat" remount "stat $m/stat/one.txt"
row "read small" remount "cat $m/read/one.txt"
row "create small" nothing "echo created >$m/work/new.txt" "work/new.txt 1 8"
row "overwrite" nothing "echo overwritten >$m/work/new.txt" "work/new.txt 1 12"
row "rename file" nothing "mv $m/work/new.txt $m/work/renamed.txt" "work/new.txt 0" \
  "work/renamed.txt 1"
row "rename folder of 100" nothing "mv $m/moved $m/moved-renamed" "moved/ 0" "moved-renamed/ 100"
row "delete" nothing "rm $m/work/renamed.txt" "work/renamed.txt 0"

echo
printf '%-26s %6s %5s %5s %5s %5s %5s %5s %6s %5s' "store requests" total LIST HEAD GET PUT COPY \
  POST DELETE OTHER
[ -z "$far_ms" ] || printf ' %9s' "s (+${far_ms}ms)"
echo
for r in "${rows[@]}"; do
  line=${count[$r]%%$'\n'*}
  value() { awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } } END {}' <<<"$line"; }
  printf '%-26s %6s' "$r" "$(value total)"
  for k in LIST HEAD GET PUT COPY POST DELETE OTHER; do
    v=$(value "$k")
    if [ "$k" = DELETE ]; then printf ' %6s' "${v:-0}"; else printf ' %5s' "${v:-0}"; fi
  done
  [ -z "$far_ms" ] || printf ' %9s' "${seconds[$r]}"
  echo
  if [ -n "$detail" ]; then
    tail -n +2 <<<"${count[$r]}"
  fi
done
