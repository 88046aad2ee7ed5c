#!/usr/bin/env bash
# Large transfers through the S3 client (bench/s3_transfer_bench.cpp) against
# the floor, one plain `curl --aws-sigv4` PUT and GET of the same file, on one
# throw-away store in one run. The store keeps its objects in a bluestore
# block file: memstore would hold every byte in memory.
#
# Usage: bench/s3_transfer.sh [SIZE_MiB] [BIN_DIR]   (default 1024 and build/bin)
# Prints the best of three runs of each, in MiB/s.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
bin="$(cd "${2:-build/bin}" && pwd)"
[ -x "$bin/s3_transfer_bench" ] || { echo "s3_transfer: build s3_transfer_bench first" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/s3-transfer-XXXXXX")
trap 'scripts/s3-store stop "$root/store" >/dev/null 2>&1 || true; rm -rf "$root"' EXIT
trap 'exit 130' INT TERM HUP
scripts/s3-store start "$root/store" --bluestore 40G --owner $$
# shellcheck disable=SC1091
. "$root/store/env"
# The credentials go to curl through a config on stdin, not its command line.
signed_curl() {
  printf 'user = "%s:%s"\n' "$AWS_ACCESS_KEY_ID" "$AWS_SECRET_ACCESS_KEY" |
    curl -K - -fsS --aws-sigv4 "aws:amz:$AWS_REGION:s3" \
      -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"
}
signed_curl -X PUT "$AWS_ENDPOINT_URL/bench" -o /dev/null

echo "s3_transfer: writing a ${size_mib} MiB file of random bytes" >&2
head -c "$((size_mib << 20))" /dev/urandom >"$root/file"

best() { sort -g | head -n 1; }
put_times=() get_times=()
for _ in 1 2 3; do
  put_times+=("$(signed_curl -T "$root/file" "$AWS_ENDPOINT_URL/bench/floor" -o /dev/null \
    -w '%{time_total}')")
  get_times+=("$(signed_curl "$AWS_ENDPOINT_URL/bench/floor" -o "$root/floor.out" \
    -w '%{time_total}')")
done
cmp -s "$root/file" "$root/floor.out" || { echo "s3_transfer: curl's GET differs" >&2; exit 1; }
rm -f "$root/floor.out"
curl_put=$(printf '%s\n' "${put_times[@]}" | best)
curl_get=$(printf '%s\n' "${get_times[@]}" | best)

CORVANE_S3_BENCH_ENV="$root/store/env" CORVANE_S3_BENCH_FILE="$root/file" \
  "$bin/s3_transfer_bench" --benchmark_repetitions=3 --benchmark_out="$root/client.json" \
  --benchmark_out_format=json >&2

/usr/bin/python3 - "$root/client.json" "$size_mib" "$curl_put" "$curl_get" <<'PY'
import json, sys
results = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type", "iteration") != "iteration":
        continue
    name = b["name"].split("/")[0]
    if name not in results or b["real_time"] < results[name]["real_time"]:
        results[name] = b
mib = float(sys.argv[2])
rows = [("PUT", results["BM_Put"], float(sys.argv[3])), ("GET", results["BM_Get"], float(sys.argv[4]))]
for name in ("BM_SmallPut", "BM_Head", "BM_SmallGet"):
    if name in results:
        print(f"{name[3:]:12} {results[name]['real_time']:8.0f} us per request (1 KiB, one at a time)")
print(f"{int(mib)} MiB        client MiB/s   curl MiB/s   client/curl   client peak RSS MiB")
for name, r, curl_s in rows:
    client_s = r["real_time"] / 1000.0  # milliseconds
    print(f"{name:12} {mib / client_s:12.0f} {mib / curl_s:12.0f} {curl_s / client_s:13.2f}x"
          f" {r['peak_rss_MiB']:18.0f}")
PY
