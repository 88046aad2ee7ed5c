#!/usr/bin/env bash
# corvane-mount against `rclone mount` (--vfs-cache-mode full) and the
# backing folder itself, on one backing folder in one run; with --s3 the
# backing is a bucket on a throw-away store instead (bluestore), which the
# engine serves and rclone mounts, and the folder column stays empty:
#   ls -l of a 10,000-file folder, cold and warm
#   sequential read of a 1 GiB file, cold and warm
#   write of a 1 GiB file, close included
#   tar x of a 5,000-file tree
#   head -c 4096 of an uncached 1 GiB file: seconds, and the bytes the mount
#   fetched for it (what its cache holds on disk afterwards)
#   the mount's resident memory after ls -l of a 100,000-file folder
# and, below the table, the write and tar x rows on a FUSE file system that
# does nothing (bench/null_mount.cpp): the floor of a kernel round trip here.
# "Cold" means a fresh mount with an empty cache and the kernel's page cache
# dropped (when this runs as root); "warm" is the best of five runs of the
# same command right after, once the disk has caught up.
#
# Usage: bench/mount_bench.sh [--s3] [BIN_DIR]   (default: build/bin; build first)
# Needs root (or user FUSE mounts) and rclone (scripts/setup installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
s3=false
if [ "${1:-}" = --s3 ]; then s3=true; shift; fi
bin="$(cd "${1:-build/bin}" && pwd)"
for tool in "$bin/corvane-engine" "$bin/corvane-mount"; do
  [ -x "$tool" ] || { echo "mount_bench: $tool is missing; build first" >&2; exit 1; }
done
command -v rclone >/dev/null || { echo "mount_bench: rclone is missing (scripts/setup)" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/mount-bench-XXXXXX")
backing="$root/bucket"
work="$root/work"
mkdir -p "$backing" "$work" "$root/data" "$root/tmp" "$root/cache" "$root/mnt-corvane" "$root/mnt-rclone"
export XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache" TMPDIR="$root/tmp"

engine_pid="" corvane_pid="" rclone_pid="" null_pid=""
stop() {  # pid
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  for m in "$root/mnt-corvane" "$root/mnt-rclone" "$root/mnt-null"; do
    mountpoint -q "$m" && fusermount3 -u -z "$m" 2>/dev/null || true
  done
  stop "$corvane_pid"; stop "$rclone_pid"; stop "$null_pid"; stop "$engine_pid"
  if $s3; then scripts/s3-store stop "$root/store" >/dev/null 2>&1 || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

domain=local-1
rclone_remote=""
if $s3; then
  scripts/s3-store start "$root/store" --bluestore 40G --owner $$
  set -a
  # shellcheck disable=SC1091
  . "$root/store/env"
  set +a
  # rclone 1.60 cannot load a CA bundle named by AWS_CA_BUNDLE; the store is
  # plain HTTP, so it goes without. Its settings come from the environment.
  unset AWS_CA_BUNDLE
  export RCLONE_CONFIG_STORE_TYPE=s3 RCLONE_CONFIG_STORE_PROVIDER=Ceph \
    RCLONE_CONFIG_STORE_ENDPOINT="$AWS_ENDPOINT_URL" RCLONE_CONFIG_STORE_REGION="$AWS_REGION" \
    RCLONE_CONFIG_STORE_ACCESS_KEY_ID="$AWS_ACCESS_KEY_ID" \
    RCLONE_CONFIG_STORE_SECRET_ACCESS_KEY="$AWS_SECRET_ACCESS_KEY"
  rclone --config /dev/null mkdir store:bench
  domain=s3-1
  rclone_remote="store:bench"
fi

drop_caches() {
  sync
  if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true; fi
}

wait_mounted() {  # mountpoint pid
  for _ in $(seq 1 300); do
    mountpoint -q "$1" && return 0
    kill -0 "$2" 2>/dev/null || { echo "mount_bench: mount at $1 failed" >&2; exit 1; }
    sleep 0.1
  done
  echo "mount_bench: $1 did not mount" >&2
  exit 1
}

mount_corvane() {
  rm -rf "$root/cache-corvane"
  "$bin/corvane-mount" -f --domain "$domain" --cache "$root/cache-corvane" "$root/mnt-corvane" \
    >>"$root/corvane.log" 2>&1 &
  corvane_pid=$!
  wait_mounted "$root/mnt-corvane" "$corvane_pid"
}
unmount_corvane() {
  stop "$corvane_pid"
  corvane_pid=""
}
mount_rclone() {
  rm -rf "$root/cache-rclone"
  if $s3; then
    rclone mount "$rclone_remote" "$root/mnt-rclone" --vfs-cache-mode full \
      --cache-dir "$root/cache-rclone" --config /dev/null >>"$root/rclone.log" 2>&1 &
  else
    rclone mount "$backing" "$root/mnt-rclone" --vfs-cache-mode full \
      --cache-dir "$root/cache-rclone" --config "$root/rclone.conf" >>"$root/rclone.log" 2>&1 &
  fi
  rclone_pid=$!
  wait_mounted "$root/mnt-rclone" "$rclone_pid"
}
unmount_rclone() {
  fusermount3 -u "$root/mnt-rclone" 2>/dev/null || true
  stop "$rclone_pid"
  rclone_pid=""
}

# Seconds taken by a command, with three decimals.
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

# The best of five runs, after the disk has taken what the cold run left
# to write (a cache filled by a download is written back in the background).
warm() {
  sync
  local best="" s
  for _ in 1 2 3 4 5; do
    s=$(seconds "$@")
    best=$(awk -v a="$s" -v b="$best" 'BEGIN { print (b == "" || a < b) ? a : b }')
  done
  echo "$best"
}

echo "mount_bench: preparing the backing folder in $root" >&2
mkdir -p "$backing/many"
(cd "$backing/many" && for i in $(seq -f %05g 1 10000); do echo "file $i" >"file-$i.txt"; done)
head -c 1G /dev/urandom >"$backing/big.bin"
mkdir -p "$backing/huge"
# Empty files are enough: the row measures what the mount keeps per item.
(cd "$backing/huge" && seq -f "item-%06g" 1 100000 | xargs touch)
mkdir -p "$work/tree"
(cd "$work/tree" && for d in $(seq 1 50); do
  mkdir -p "dir$d"
  for f in $(seq 1 100); do echo "file $d $f" >"dir$d/f$f.txt"; done
done)
tar cf "$work/tree.tar" -C "$work/tree" .

if $s3; then
  echo "mount_bench: copying the backing folder into the bucket" >&2
  rclone --config /dev/null copy "$backing" store:bench --transfers 32 --checkers 32 \
    --s3-no-check-bucket
  rm -rf "$backing"
  "$bin/corvane-engine" --scope bench=s3://bench >>"$root/engine.log" 2>&1 &
else
  "$bin/corvane-engine" --scope bench="$backing" >>"$root/engine.log" 2>&1 &
fi
engine_pid=$!
for _ in $(seq 1 300); do [ -s "$XDG_DATA_HOME/CorvaneSync/engine.json" ] && break; sleep 0.1; done
[ -s "$XDG_DATA_HOME/CorvaneSync/engine.json" ] || { echo "mount_bench: the engine did not start" >&2; exit 1; }

declare -A result
targets=(folder corvane rclone)
if $s3; then targets=(corvane rclone); fi
dir_of() {
  case $1 in
    folder) echo "$backing" ;;
    corvane) echo "$root/mnt-corvane" ;;
    rclone) echo "$root/mnt-rclone" ;;
  esac
}
remount() {  # target: a fresh mount with an empty cache
  case $1 in
    corvane) unmount_corvane; mount_corvane ;;
    rclone) unmount_rclone; mount_rclone ;;
  esac
}

pid_of() {
  case $1 in
    corvane) echo "$corvane_pid" ;;
    rclone) echo "$rclone_pid" ;;
  esac
}
cache_of() {
  case $1 in
    corvane) echo "$root/cache-corvane" ;;
    rclone) echo "$root/cache-rclone" ;;
  esac
}
# Bytes on disk below a folder (holes of sparse files do not count).
disk_bytes() {
  du -s -B1 "$1" 2>/dev/null | awk '{ print $1 }'
}
rss_mb() {  # pid
  awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}

for t in "${targets[@]}"; do
  echo "mount_bench: $t" >&2
  d=$(dir_of "$t")
  remount "$t"
  drop_caches
  result[$t,ls_cold]=$(seconds ls -l "$d/many")
  result[$t,ls_warm]=$(warm ls -l "$d/many")
  remount "$t"
  drop_caches
  if [ "$t" = folder ]; then
    result[$t,head]=$(seconds head -c 4096 "$d/big.bin")
    result[$t,head_mib]="-"
  else
    before=$(disk_bytes "$(cache_of "$t")")
    result[$t,head]=$(seconds head -c 4096 "$d/big.bin")
    # rclone fetches in the background after the read returns; give it a
    # moment so the figure is what the read set off, not a snapshot of it.
    sleep 2
    after=$(disk_bytes "$(cache_of "$t")")
    result[$t,head_mib]=$(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.1f", (a - b) / 1048576 }')
  fi
  remount "$t"
  drop_caches
  result[$t,read_cold]=$(seconds cat "$d/big.bin")
  result[$t,read_warm]=$(warm cat "$d/big.bin")
  result[$t,write]=$(seconds dd if=/dev/zero of="$d/written-$t.bin" bs=1M count=1024 status=none)
  mkdir "$d/tree-$t"
  result[$t,tar]=$(seconds tar xf "$work/tree.tar" -C "$d/tree-$t")
  if [ "$t" = folder ]; then
    result[$t,rss]="-"
  else
    # A fresh mount, so that the figure is what the listing costs.
    remount "$t"
    ls -l "$d/huge" >/dev/null
    result[$t,rss]=$(rss_mb "$(pid_of "$t")")
  fi
  # Let background write-backs end before the next contender runs.
  case $t in
    corvane) unmount_corvane ;;
    rclone) unmount_rclone ;;
  esac
done

# The floor: the same writes on a FUSE file system that does nothing but
# answer (bench/null_mount.cpp), so each row can be read against what a round
# trip through the kernel costs on this machine.
if [ -x "$bin/null_mount" ] && ! $s3; then
  mkdir -p "$root/mnt-null"
  "$bin/null_mount" "$root/mnt-null" &
  null_pid=$!
  wait_mounted "$root/mnt-null" "$null_pid"
  result[null,write]=$(seconds dd if=/dev/zero of="$root/mnt-null/written.bin" bs=1M count=1024 status=none)
  mkdir "$root/mnt-null/tree"
  result[null,tar]=$(seconds tar xf "$work/tree.tar" -C "$root/mnt-null/tree")
  fusermount3 -u "$root/mnt-null" 2>/dev/null || true
  stop "$null_pid"
fi

rows=(ls_cold ls_warm read_cold read_warm head head_mib write tar rss)
declare -A label=(
  [ls_cold]="ls -l, 10,000 files, cold (s)" [ls_warm]="ls -l, 10,000 files, warm (s)"
  [read_cold]="read 1 GiB, cold (s)" [read_warm]="read 1 GiB, warm (s)"
  [head]="head -c 4096, uncached (s)" [head_mib]="  fetched for it (MiB)"
  [write]="write 1 GiB + close (s)" [tar]="tar x, 5,000 files (s)"
  [rss]="RSS after ls of 100,000 (MB)"
)
# The bar for corvane-mount: a ratio to the folder, or an absolute figure.
declare -A target=(
  [ls_cold]="<=1.2x folder" [read_cold]="<=1.5x folder" [read_warm]="<=1.1x folder"
  [head]="<0.050 s" [head_mib]="<=2 MiB" [write]="<=1.5x folder" [tar]="<=4x folder"
  [rss]="<100 MB"
)
ratio() {  # a b
  awk -v a="$1" -v b="$2" 'BEGIN { if (a != "-" && b != "-" && b > 0) printf "%.2f", a / b; else print "-" }'
}
printf '\n%-31s %9s %14s %9s %8s %8s  %s\n' "" "folder" "corvane-mount" "rclone" "c/folder" "c/rclone" "target"
for r in "${rows[@]}"; do
  c=${result[corvane,$r]:--} k=${result[rclone,$r]:--} f=${result[folder,$r]:--}
  printf '%-31s %9s %14s %9s %8s %8s  %s
' "${label[$r]}" "$f" "$c" "$k" \
    "$(ratio "$c" "$f")" "$(ratio "$c" "$k")" "${target[$r]:-}"
done
if [ -n "${result[null,tar]:-}" ]; then
  printf '\nA FUSE file system that does nothing: write 1 GiB + close %s s (%sx folder), tar x %s s (%sx folder)\n' \
    "${result[null,write]}" "$(ratio "${result[null,write]}" "${result[folder,write]}")" \
    "${result[null,tar]}" "$(ratio "${result[null,tar]}" "${result[folder,tar]}")"
fi
