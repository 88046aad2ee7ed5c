# Shell helpers for the benchmarks that measure a store far away and count
# its requests (bench/s3_requests.sh, bench/bucket_scale.sh, the far rows of
# bench/mount_bench.sh). Sourced, never run; needs bash and build/bin.

# Takes the store made by scripts/s3-store in DIR: exports its client
# settings, and `plain` (bench/s3_plain.py) and `requests`
# (bench/store_requests.py) then ask it.
far_open_store() {  # dir
  far_store_dir=$1
  set -a
  # shellcheck disable=SC1091
  . "$1/env"
  set +a
}
plain() { python3 bench/s3_plain.py "$far_store_dir" "$@"; }
requests() { python3 bench/store_requests.py "$far_store_dir" "$@"; }

# Starts bench/delay_proxy in front of the store at $AWS_ENDPOINT_URL with a
# round trip of MS milliseconds and sets far_pid and far_endpoint (the URL a
# contender uses). Then checks that the proxy adds what it should: the
# median of five requests on one connection must be at least MS and at most
# MS + 25 ms (a loaded machine adds a little); the first request of a new
# connection pays one more round trip for the handshake.
far_start() {  # bin_dir ms [rate_bytes_per_second]
  local bin=$1 ms=$2 rate=${3:-0} upstream port_file
  upstream=${AWS_ENDPOINT_URL#http://}
  upstream=${upstream%%/*}
  port_file=$(mktemp "${TMPDIR:-/tmp}/far-port-XXXXXX")
  "$bin/delay_proxy" --to "$upstream" --rtt-ms "$ms" --rate "$rate" >"$port_file" &
  far_pid=$!
  for _ in $(seq 1 100); do [ -s "$port_file" ] && break; sleep 0.05; done
  [ -s "$port_file" ] || { echo "far_store: the delay proxy did not start" >&2; return 1; }
  far_endpoint="http://127.0.0.1:$(head -n 1 "$port_file")"
  rm -f "$port_file"
  local times median
  # One curl, five requests on one kept-alive connection; the first carries
  # the handshake, so it is left out.
  times=$(curl -s -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null \
    -w '%{time_total}\n' "$far_endpoint/" "$far_endpoint/" "$far_endpoint/" "$far_endpoint/" \
    "$far_endpoint/" "$far_endpoint/" | tail -n +2 | sort -g)
  median=$(sed -n 3p <<<"$times")
  echo "far_store: +$ms ms proxy at $far_endpoint; a request on a kept connection takes ${median} s" >&2
  awk -v m="$median" -v ms="$ms" 'BEGIN { exit !(m * 1000 >= ms && m * 1000 <= ms + 25) }' || {
    echo "far_store: the proxy's round trip is ${median} s, not ${ms} ms" >&2
    return 1
  }
}

far_stop() {
  [ -n "${far_pid:-}" ] || return 0
  kill "$far_pid" 2>/dev/null || true
  wait "$far_pid" 2>/dev/null || true
  far_pid=""
}

# Waits for the engine's discovery file and prints nothing; exits the script
# when the engine ends or does not start within a minute.
far_wait_engine() {  # discovery_file engine_pid log
  for _ in $(seq 1 600); do
    [ -s "$1" ] && return 0
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  tail -n 20 "$3" >&2
  echo "far_store: the engine did not start" >&2
  exit 1
}
