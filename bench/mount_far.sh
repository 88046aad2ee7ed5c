# The far rows of bench/mount_bench.sh (--s3 --far-ms MS): each contender
# reaches the store through bench/delay_proxy, which adds MS to every round
# trip; a plain client (bench/s3_plain.py) watches the bucket directly.
#   ls -l of a 2,000-file folder, cold
#   read of a 1 GiB file, cold
#   write of a 1 GiB file: until close, and until the whole object is in the
#   bucket
#   tar x of an 800-file tree (8 folders of 100 small files): until tar
#   ends, and until every file is in the bucket
#   rm -rf of that tree (put in the bucket directly beforehand), until no
#   file of it is left in the bucket
#   a file another client puts (one plain PUT) in a folder the mount has
#   listed: until ls in the mount shows it (at most far_change_limit s)
# and for each row the store requests it cost (bench/store_requests.py).
# Sourced by mount_bench.sh once the store runs; uses its helpers and its
# variables (root, bin, work, only, contenders, far_ms). With MOUNT_BENCH_KEEP
# set to a folder, the logs of the run are copied there at the end.

# shellcheck source=bench/far_store.sh
. bench/far_store.sh
far_change_limit=60
far_rows=(far-ls far-read far-write far-tar far-rm far-change)
[ -z "$only" ] || far_rows=("$only")
wants() { local r; for r in "${far_rows[@]}"; do [ "$r" = "$1" ] && return 0; done; return 1; }

far_open_store "$root/store"

echo "mount_bench: filling the bucket (directly, not through the proxy)" >&2
mkdir -p "$backing"
if wants far-ls; then
  mkdir -p "$backing/many2000"
  (cd "$backing/many2000" && for i in $(seq -f %04g 1 2000); do echo "file $i" >"file-$i.txt"; done)
fi
if wants far-read; then head -c 1G /dev/urandom >"$backing/big.bin"; fi
if wants far-change; then mkdir -p "$backing/watched" && echo here >"$backing/watched/here.txt"; fi
rclone --config /dev/null copy "$backing" store:bench --transfers 32 --checkers 32 \
  --s3-no-check-bucket
rm -rf "$backing"
mkdir -p "$work/far-tree"
(cd "$work/far-tree" && for d in $(seq 1 8); do
  mkdir -p "dir$d"
  for f in $(seq 1 100); do echo "file $d $f" >"dir$d/f$f.txt"; done
done)
tar cf "$work/far-tree.tar" -C "$work/far-tree" .
tree_files=800
if wants far-rm; then
  for t in "${contenders[@]}"; do
    rclone --config /dev/null copy "$work/far-tree" "store:bench/rmtree-$t" --transfers 32 \
      --checkers 32 --s3-no-check-bucket
  done
fi

far_start "$bin" "$far_ms"
export RCLONE_CONFIG_STORE_ENDPOINT="$far_endpoint"
"$bin/corvane-engine" --scope bench=s3://bench --s3-endpoint "$far_endpoint" \
  >>"$root/engine.log" 2>&1 &
engine_pid=$!
far_wait_engine "$XDG_DATA_HOME/CorvaneSync/engine.json" "$engine_pid" "$root/engine.log"

# s3fs as Debian ships it, with its local cache, path-style requests.
printf '%s:%s\n' "$AWS_ACCESS_KEY_ID" "$AWS_SECRET_ACCESS_KEY" >"$root/s3fs.passwd"
chmod 600 "$root/s3fs.passwd"
mkdir -p "$root/mnt-s3fs"
mount_s3fs() {
  rm -rf "$root/cache-s3fs"
  mkdir -p "$root/cache-s3fs"
  s3fs bench "$root/mnt-s3fs" -f -o url="$far_endpoint" -o use_path_request_style \
    -o endpoint="$AWS_REGION" -o passwd_file="$root/s3fs.passwd" \
    -o use_cache="$root/cache-s3fs" >>"$root/s3fs.log" 2>&1 &
  s3fs_pid=$!
  wait_mounted "$root/mnt-s3fs" "$s3fs_pid"
}
unmount_s3fs() {
  fusermount3 -u "$root/mnt-s3fs" 2>/dev/null || true
  stop "$s3fs_pid"
  s3fs_pid=""
}
far_mount() {  # contender: a fresh mount with an empty cache
  case $1 in
    corvane) unmount_corvane; mount_corvane ;;
    rclone) unmount_rclone; mount_rclone ;;
    s3fs) unmount_s3fs; mount_s3fs ;;
  esac
}
far_unmount() {
  case $1 in
    corvane) unmount_corvane ;;
    rclone) unmount_rclone ;;
    s3fs) unmount_s3fs ;;
  esac
}
far_dir() { echo "$root/mnt-$1"; }

# Seconds since START (date +%s%N), three decimals.
since() { awk -v ns=$(($(date +%s%N) - $1)) 'BEGIN { printf "%.3f", ns / 1e9 }'; }
marks=0
mark() {
  marks=$((marks + 1))
  requests mark bench "far-$marks"
}
# The requests since the last mark (a new mark ends them): "total N".
counted() {
  local from=$marks
  mark
  requests count --from "far-$from" --to "far-$marks" | cut -d' ' -f2
}
# Waits until the bucket shows what the row made; prints the seconds since
# START, or ">LIMIT" when it did not within LIMIT.
bucket_after() {  # start limit wait-arguments...
  local start=$1 limit=$2
  shift 2
  if plain wait bench "$@" --files --timeout "$limit" >/dev/null; then
    since "$start"
  else
    echo ">$limit"
  fi
}

declare -A far
for t in "${contenders[@]}"; do
  d=$(far_dir "$t")
  if wants far-ls; then
    echo "mount_bench: far, $t, ls -l" >&2
    far_mount "$t"; drop_caches; mark
    far[$t,ls]=$(seconds ls -l "$d/many2000")
    far[$t,ls_req]=$(counted)
  fi
  if wants far-read; then
    echo "mount_bench: far, $t, read" >&2
    far_mount "$t"; drop_caches; mark
    far[$t,read]=$(seconds cat "$d/big.bin")
    far[$t,read_req]=$(counted)
  fi
  if wants far-write; then
    echo "mount_bench: far, $t, write" >&2
    far_mount "$t"; mark
    start=$(date +%s%N)
    dd if=/dev/zero of="$d/written-$t.bin" bs=1M count=1024 status=none
    far[$t,write]=$(since "$start")
    far[$t,write_in]=$(bucket_after "$start" 900 "written-$t.bin" 1 1073741824)
    far[$t,write_req]=$(counted)
  fi
  if wants far-tar; then
    echo "mount_bench: far, $t, tar x" >&2
    far_mount "$t"; mark
    mkdir "$d/tree-$t"
    start=$(date +%s%N)
    tar xf "$work/far-tree.tar" -C "$d/tree-$t"
    far[$t,tar]=$(since "$start")
    far[$t,tar_in]=$(bucket_after "$start" 900 "tree-$t/" "$tree_files")
    far[$t,tar_req]=$(counted)
  fi
  if wants far-rm; then
    echo "mount_bench: far, $t, rm -rf" >&2
    far_mount "$t"; mark
    start=$(date +%s%N)
    rm -rf "$d/rmtree-$t"
    far[$t,rm]=$(since "$start")
    far[$t,rm_in]=$(bucket_after "$start" 900 "rmtree-$t/" 0)
    far[$t,rm_req]=$(counted)
  fi
  if wants far-change; then
    echo "mount_bench: far, $t, another client's change" >&2
    far_mount "$t"
    ls -l "$d/watched" >/dev/null
    sleep 1
    mark
    start=$(date +%s%N)
    plain put bench "watched/new-$t.txt"
    far[$t,change]=">$far_change_limit"
    while [ $(($(date +%s%N) - start)) -lt $((far_change_limit * 1000000000)) ]; do
      if ls "$d/watched" | grep -qx "new-$t.txt"; then
        far[$t,change]=$(since "$start")
        break
      fi
      sleep 0.1
    done
    far[$t,change_req]=$(counted)
  fi
  far_unmount "$t"
done

far_labels=(ls "ls -l, 2,000 files, cold" read "read 1 GiB, cold" write "write 1 GiB: close"
  write_in "  in the bucket" tar "tar x, 800 files: tar ends" tar_in "  all in the bucket"
  rm "rm -rf of that tree" rm_in "  all gone from the bucket"
  change "another client's file shown")
printf '\n+%s ms per round trip (s; store requests)\n' "$far_ms"
printf '%-30s' ""
for t in "${contenders[@]}"; do printf ' %20s' "$t"; done
echo
for ((i = 0; i < ${#far_labels[@]}; i += 2)); do
  r=${far_labels[i]}
  base=${r%_in}
  any=false
  for t in "${contenders[@]}"; do [ -n "${far[$t,$r]:-}" ] && any=true; done
  $any || continue
  printf '%-30s' "${far_labels[i + 1]}"
  for t in "${contenders[@]}"; do
    cell=${far[$t,$r]:--}
    # The requests go with the row's last figure.
    if [ "$r" != "$base" ] || [ -z "${far[$t,${r}_in]:-}" ]; then
      [ -z "${far[$t,${base}_req]:-}" ] || cell="$cell; ${far[$t,${base}_req]}"
    fi
    printf ' %20s' "$cell"
  done
  echo
done

# For a closer look afterwards: the store's request log and the contenders'
# logs, copied before the run's folder goes.
if [ -n "${MOUNT_BENCH_KEEP:-}" ]; then
  mkdir -p "$MOUNT_BENCH_KEEP"
  cp "$root/store/requests.log" "$root"/*.log "$MOUNT_BENCH_KEEP/" 2>/dev/null || true
  echo "mount_bench: logs kept in $MOUNT_BENCH_KEEP" >&2
fi
