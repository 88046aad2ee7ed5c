#!/usr/bin/env bash
# The engine serving a bucket, against the floor and against rclone, on one
# throw-away store (bluestore, so gigabytes do not stay in memory) in one run:
#   listing   a folder of 10,000 objects through the engine's list, against
#             the same ListObjectsV2 pages (delimiter "/") fetched with curl;
#   transfer  SIZE_MiB up and down through corvane-fpctl create / fetch,
#             against rclone copyto and one curl PUT / GET.
#
# Usage: bench/s3_engine.sh [SIZE_MiB] [BIN_DIR]   (default 1024 and build/bin)
# Prints a table: the best of five listings and of three transfers each.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
bin="$(cd "${2:-build/bin}" && pwd)"
for tool in "$bin/corvane-engine" "$bin/corvane-fpctl"; do
  [ -x "$tool" ] || { echo "s3_engine: build $(basename "$tool") first" >&2; exit 1; }
done
command -v rclone >/dev/null || { echo "s3_engine: rclone is not installed" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/s3-engine-XXXXXX")
engine_pid=""
cleanup() {
  [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null && wait "$engine_pid" 2>/dev/null
  scripts/s3-store stop "$root/store" >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
scripts/s3-store start "$root/store" --bluestore 40G --owner $$
set -a
# shellcheck disable=SC1091
. "$root/store/env"
set +a
export XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache" TMPDIR="$root/tmp"
mkdir -p "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
bucket=bench

# The credentials go to curl through a config on stdin, not its command line.
signed_curl() {
  printf 'user = "%s:%s"\n' "$AWS_ACCESS_KEY_ID" "$AWS_SECRET_ACCESS_KEY" |
    curl -K - -fsS --aws-sigv4 "aws:amz:$AWS_REGION:s3" \
      -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"
}
# rclone 1.60 cannot load a CA bundle named by AWS_CA_BUNDLE; the store is
# plain HTTP, so it goes without.
export RCLONE_CONFIG_STORE_TYPE=s3 RCLONE_CONFIG_STORE_PROVIDER=Ceph \
  RCLONE_CONFIG_STORE_ENDPOINT="$AWS_ENDPOINT_URL" RCLONE_CONFIG_STORE_REGION="$AWS_REGION" \
  RCLONE_CONFIG_STORE_ACCESS_KEY_ID="$AWS_ACCESS_KEY_ID" \
  RCLONE_CONFIG_STORE_SECRET_ACCESS_KEY="$AWS_SECRET_ACCESS_KEY"
rclone_() { env -u AWS_CA_BUNDLE rclone --config /dev/null "$@"; }

signed_curl -X PUT "$AWS_ENDPOINT_URL/$bucket" -o /dev/null

seconds() {  # the seconds a command takes, its output dropped
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}
best() { sort -g | head -n 1; }

echo "s3_engine: putting 10,000 objects" >&2
mkdir -p "$root/many"
(cd "$root/many" && for i in $(seq -f %05g 1 10000); do echo "file $i" >"file-$i.txt"; done)
rclone_ copy "$root/many" "store:$bucket/many" --transfers 32 --checkers 32 --s3-no-check-bucket
rm -rf "$root/many"

"$bin/corvane-engine" --scope "bench=s3://$bucket" --s3-poll 3600 >>"$root/engine.log" 2>&1 &
engine_pid=$!
discovery="$XDG_DATA_HOME/CorvaneSync/engine.json"
for _ in $(seq 1 300); do [ -s "$discovery" ] && break; sleep 0.1; done
[ -s "$discovery" ] || { cat "$root/engine.log" >&2; echo "s3_engine: no engine" >&2; exit 1; }
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["port"])' "$discovery")
token=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["token"])' "$discovery")

engine_list() {  # prints curl's time_total, as for the floor
  printf 'header = "Authorization: Bearer %s"\n' "$token" |
    curl -K - -fsS "http://127.0.0.1:$port/v1/scopes/s3-1/list?dir=many" -o "$root/list.json" \
      -w '%{time_total}'
}
encoded() {  # S3's canonical %XX form of an ASCII text, without a process per page
  local text=$1 out="" c i
  for ((i = 0; i < ${#text}; i++)); do
    c=${text:i:1}
    case $c in
      [A-Za-z0-9._~-]) out+=$c ;;
      *) out+=$(printf '%%%02X' "'$c") ;;
    esac
  done
  printf '%s' "$out"
}
# The floor: the time curl itself spends on every page (its time_total,
# summed), each page asked for with the previous one's token; reading the
# token out of a page is not counted. Prints the seconds and the keys seen.
floor_list() {
  # The query is signed as written: its parameters go in sorted order.
  local token_arg="" next total=0 keys=0 t
  while :; do
    t=$(signed_curl "$AWS_ENDPOINT_URL/$bucket?${token_arg}delimiter=%2F&list-type=2&prefix=many%2F" \
      -o "$root/page.xml" -w '%{time_total}')
    total=$(awk -v a="$total" -v b="$t" 'BEGIN { printf "%.6f", a + b }')
    keys=$((keys + $(grep -o '<Key>' "$root/page.xml" | wc -l)))
    next=$(sed -n 's/.*<NextContinuationToken>\([^<]*\)<.*/\1/p' "$root/page.xml")
    [ -n "$next" ] || break
    token_arg="continuation-token=$(encoded "$next")&"
  done
  echo "$total $keys"
}
engine_list >/dev/null
listed=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["entries"]))' "$root/list.json")
[ "$listed" = 10000 ] || { echo "s3_engine: the engine listed $listed entries" >&2; exit 1; }
listed=$(floor_list | cut -d' ' -f2)
[ "$listed" = 10000 ] || { echo "s3_engine: curl's pages held $listed keys" >&2; exit 1; }

echo "s3_engine: listing" >&2
list_engine=$(for _ in 1 2 3 4 5; do engine_list; echo; done | best)
list_floor=$(for _ in 1 2 3 4 5; do floor_list | cut -d' ' -f1; done | best)

echo "s3_engine: writing a ${size_mib} MiB file of random bytes" >&2
head -c "$((size_mib << 20))" /dev/urandom >"$root/file"

fpctl() { "$bin/corvane-fpctl" --domain s3-1 "$@"; }
declare -a up_engine up_rclone up_curl down_engine down_rclone down_curl
for i in 1 2 3; do
  echo "s3_engine: transfers, round $i" >&2
  up_curl+=("$(seconds signed_curl -T "$root/file" "$AWS_ENDPOINT_URL/$bucket/curl-$i" -o /dev/null)")
  down_curl+=("$(seconds signed_curl "$AWS_ENDPOINT_URL/$bucket/curl-$i" -o "$root/out")")
  cmp -s "$root/file" "$root/out" || { echo "s3_engine: curl's GET differs" >&2; exit 1; }
  rm -f "$root/out"

  up_engine+=("$(seconds fpctl create :root "engine-$i.bin" --contents "$root/file")")
  down_engine+=("$(seconds fpctl fetch "engine-$i.bin" --output "$root/out")")
  cmp -s "$root/file" "$root/out" || { echo "s3_engine: the engine's fetch differs" >&2; exit 1; }
  rm -f "$root/out"

  up_rclone+=("$(seconds rclone_ copyto "$root/file" "store:$bucket/rclone-$i.bin" --s3-no-check-bucket)")
  down_rclone+=("$(seconds rclone_ copyto "store:$bucket/rclone-$i.bin" "$root/out")")
  cmp -s "$root/file" "$root/out" || { echo "s3_engine: rclone's copy differs" >&2; exit 1; }
  rm -f "$root/out"
done

row() {  # name, seconds, floor seconds, MiB (empty for listings)
  awk -v n="$1" -v s="$2" -v f="$3" -v m="$4" 'BEGIN {
    rate = m == "" ? "" : sprintf("%8.0f MiB/s", m / s)
    printf "%-34s %8.3f s %14s %7.2fx floor\n", n, s, rate, s / f }'
}
b() { printf '%s\n' "$@" | best; }
echo
echo "s3_engine: 10,000-object listing and ${size_mib} MiB transfers, best runs"
row "list: engine" "$list_engine" "$list_floor" ""
row "list: curl pages (floor)" "$list_floor" "$list_floor" ""
row "upload: corvane-fpctl create" "$(b "${up_engine[@]}")" "$(b "${up_curl[@]}")" "$size_mib"
row "upload: rclone copyto" "$(b "${up_rclone[@]}")" "$(b "${up_curl[@]}")" "$size_mib"
row "upload: curl PUT (floor)" "$(b "${up_curl[@]}")" "$(b "${up_curl[@]}")" "$size_mib"
row "download: corvane-fpctl fetch" "$(b "${down_engine[@]}")" "$(b "${down_curl[@]}")" "$size_mib"
row "download: rclone copyto" "$(b "${down_rclone[@]}")" "$(b "${down_curl[@]}")" "$size_mib"
row "download: curl GET (floor)" "$(b "${down_curl[@]}")" "$(b "${down_curl[@]}")" "$size_mib"
