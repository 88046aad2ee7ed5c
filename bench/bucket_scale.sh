#!/usr/bin/env bash
# The engine on a big bucket: what it costs to start, to hold and to keep
# watching, counted from the store's own request log (scripts/s3-store
# --request-log, bench/store_requests.py). One throw-away store, filled with
# N tiny objects by bench/s3_plain.py (parallel PUTs): one large folder
# (big/, min(100,000, N/2) objects) and the rest in folders of 100
# (small/0000/ ...). Then, for a first start and for a restart on the state
# the first left:
#   ready     seconds from the engine's start to its discovery file, and to
#             the first answered listing of the scope's root; the store
#             requests before that listing
#   RSS       the engine's resident memory at ready, 70 s later, and its peak
# and, after the first start:
#   filled    seconds until the first comparison of the whole bucket (which
#             runs in the background, as fast as the store answers) ended
#   at rest   the store requests in a 60 s window with five folders watched
#             (listed just before) and nobody else using the engine, by
#             kind, as a rate per hour
#   a change  another client puts an object (one plain PUT) into a folder
#             listed through the engine just before (watched) and into one
#             nobody listed (unwatched): seconds until the engine's change
#             feed (what a mount polls) carries it, at most 120 s (the
#             comparison of everything finds the unwatched one, hourly)
# The engine runs with its default bucket poll (--s3-poll, 10 s) and
# comparison of everything (--s3-full-scan, 3600 s) unless --poll and
# --full-scan say otherwise.
#
# Usage: bench/bucket_scale.sh [--poll S] [--full-scan S] [--connections N] [N] [BIN_DIR]
#   (default N 100000, BIN_DIR build/bin). Needs the engine built.
set -euo pipefail
cd "$(dirname "$0")/.."
poll="" full_scan="" connections=32
while [ $# -gt 0 ]; do
  case $1 in
    --poll) poll=${2:-}; shift 2 || { echo "bucket_scale: --poll needs S" >&2; exit 2; } ;;
    --full-scan)
      full_scan=${2:-}
      shift 2 || { echo "bucket_scale: --full-scan needs S" >&2; exit 2; }
      ;;
    --connections)
      connections=${2:-}
      shift 2 || { echo "bucket_scale: --connections needs N" >&2; exit 2; }
      ;;
    *) break ;;
  esac
done
objects=${1:-100000}
bin="$(cd "${2:-build/bin}" && pwd)"
[ -x "$bin/corvane-engine" ] || { echo "bucket_scale: build corvane-engine first" >&2; exit 1; }
# shellcheck source=bench/far_store.sh
. bench/far_store.sh

root=$(mktemp -d "${TMPDIR:-/tmp}/bucket-scale-XXXXXX")
store="$root/store"
mkdir -p "$root/data" "$root/cache" "$root/tmp"
export XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache" TMPDIR="$root/tmp"
engine_pid=""
stop_engine() {
  [ -n "$engine_pid" ] || return 0
  kill -TERM "$engine_pid" 2>/dev/null || true
  wait "$engine_pid" 2>/dev/null || true
  engine_pid=""
}
cleanup() {
  stop_engine
  scripts/s3-store stop "$store" >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# A million objects' index does not fit the in-memory store's device.
store_options=(--owner $$ --request-log)
[ "$objects" -le 200000 ] || store_options+=(--bluestore 40G)
scripts/s3-store start "$store" "${store_options[@]}"
far_open_store "$store"
bucket=bench
plain mkbucket "$bucket"

big=$((objects / 2 < 100000 ? objects / 2 : 100000))
echo "bucket_scale: putting $objects objects ($big in big/)" >&2
fill=$(plain fill "$bucket" "${big}xbig/,$((objects - big))xsmall/%04d/" --connections "$connections")
echo "bucket_scale: $fill" >&2

discovery="$XDG_DATA_HOME/CorvaneSync/engine.json"
port="" token=""
api() {  # path and query after /v1/scopes/s3-1/: the body, or nothing on failure
  printf 'header = "Authorization: Bearer %s"\n' "$token" |
    curl -K - -fsS "http://127.0.0.1:$port/v1/scopes/s3-1/$1" 2>/dev/null
}
secs() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
rss() { awk -v k="$2:" '$1 == k { printf "%.0f", $2 / 1024 }' "/proc/$1/status"; }
marks=0
mark() {
  marks=$((marks + 1))
  requests mark "$bucket" "scale-$marks"
}
declare -A result
# start_engine NAME: starts it, waits until it answers a listing of the
# root, and fills result[NAME,...].
start_engine() {
  local name=$1 start t_discovery="" now
  rm -f "$discovery"
  mark
  local from=$marks
  start=$(date +%s%N)
  "$bin/corvane-engine" --scope "bench=s3://$bucket" ${poll:+--s3-poll "$poll"} \
    ${full_scan:+--s3-full-scan "$full_scan"} \
    >>"$root/engine.log" 2>&1 &
  engine_pid=$!
  while :; do
    now=$(date +%s%N)
    kill -0 "$engine_pid" 2>/dev/null || { tail -n 20 "$root/engine.log" >&2; exit 1; }
    [ $((now - start)) -lt 600000000000 ] || { echo "bucket_scale: no engine in 600 s" >&2; exit 1; }
    if [ -z "$t_discovery" ] && [ -s "$discovery" ]; then
      t_discovery=$((now - start))
      port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["port"])' "$discovery")
      token=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["token"])' "$discovery")
    fi
    if [ -n "$t_discovery" ] && api "list?dir=" | grep -q '"small/\?"'; then break; fi
    sleep 0.05
  done
  result[$name,discovery]=$(secs "$t_discovery")
  result[$name,ready]=$(secs $(($(date +%s%N) - start)))
  result[$name,rss_ready]=$(rss "$engine_pid" VmRSS)
  mark
  result[$name,before]=$(requests count --from "scale-$from" --to "scale-$marks")
  result[$name,start]=$start
  echo "bucket_scale: $name: ready after ${result[$name,ready]} s" >&2
}
after70() {  # name: RSS 70 s after the start's ready figure and the peak
  local name=$1 wait
  wait=$(awk -v r="${result[$name,ready]}" -v s="${result[$name,start]}" -v now="$(date +%s%N)" \
    'BEGIN { w = 70 + r - (now - s) / 1e9; print (w > 0 ? w : 0) }')
  sleep "$wait"
  result[$name,rss_70]=$(rss "$engine_pid" VmRSS)
  result[$name,rss_peak]=$(rss "$engine_pid" VmHWM)
}

# Seconds until the change feed carries PATH, put by another client.
change_delay() {  # path
  local anchor start body
  anchor=$(api "changes?anchor=latest" | python3 -c 'import json,sys; print(json.load(sys.stdin)["anchor"])')
  start=$(date +%s%N)
  plain put "$bucket" "$1"
  while [ $(($(date +%s%N) - start)) -lt 120000000000 ]; do
    body=$(api "changes?anchor=$anchor&refresh=0") || body=""
    if grep -qF "\"$1\"" <<<"$body"; then
      secs $(($(date +%s%N) - start))
      return
    fi
    sleep 0.1
  done
  echo ">120"
}

# Whether the engine's first comparison of the whole bucket went all the way
# (it keeps the pages it took beside its change log).
compared() {
  /usr/bin/python3 - "$XDG_DATA_HOME/CorvaneSync/changes-bench.sqlite" <<'PY'
import sqlite3, sys
try:
    db = sqlite3.connect("file:" + sys.argv[1] + "?mode=ro", uri=True, timeout=5)
    row = db.execute("SELECT value FROM meta WHERE key = 'note:bucket_scan.pages'").fetchone()
except sqlite3.Error:
    row = None
sys.exit(0 if row else 1)
PY
}

start_engine first
until compared; do
  kill -0 "$engine_pid" 2>/dev/null || { tail -n 20 "$root/engine.log" >&2; exit 1; }
  sleep 0.5
done
result[first,filled]=$(secs $(($(date +%s%N) - result[first,start])))
result[first,rss_filled]=$(rss "$engine_pid" VmHWM)
echo "bucket_scale: first comparison done after ${result[first,filled]} s" >&2
for i in 1 2 3 4 5; do api "list?dir=small/000$i" >/dev/null; done
sleep 10
mark
window_from=$marks
sleep 60
mark
rest=$(requests count --from "scale-$window_from" --to "scale-$marks" --json)
after70 first
watched=$(change_delay small/0001/new-watched.txt)
unwatched=$(change_delay small/0900/new-unwatched.txt)
stop_engine
start_engine restart
after70 restart
stop_engine

per_hour() {  # kind
  python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]] * 60)' "$rest" "$1"
}
echo
echo "bucket_scale: $objects objects ($big in one folder, the rest in folders of 100); $fill"
printf '%-44s %12s %12s\n' "" "first start" "restart"
row() { printf '%-44s %12s %12s\n' "$1" "${result[first,$2]}" "${result[restart,$2]}"; }
row "discovery file published (s)" discovery
row "root listing answered (s)" ready
printf '%-44s %12s %12s\n' "store requests before that" "$(cut -d' ' -f2 <<<"${result[first,before]}")" \
  "$(cut -d' ' -f2 <<<"${result[restart,before]}")"
printf '%-44s %12s %12s\n' "  by kind" "${result[first,before]#total * }" \
  "${result[restart,before]#total * }"
row "RSS at ready (MB)" rss_ready
row "RSS 70 s later (MB)" rss_70
row "RSS peak (MB)" rss_peak
echo "first comparison of the whole bucket done after ${result[first,filled]} s" \
  "(RSS peak by then ${result[first,rss_filled]} MB)"
echo
printf 'at rest, 5 folders watched, store requests per hour (from 60 s): total %s' \
  "$(per_hour total)"
for k in LIST HEAD GET PUT COPY POST DELETE OTHER; do
  n=$(per_hour "$k")
  [ "$n" = 0 ] || printf ', %s %s' "$k" "$n"
done
echo
echo "another client's change in the change feed: watched folder $watched s, unwatched folder $unwatched s"
