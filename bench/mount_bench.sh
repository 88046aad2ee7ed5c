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
#   a file manager (pcmanfm, icon view with thumbnails, headless under Xvfb)
#   opening a folder of 1,000 pictures, text and large files: the bytes the
#   contender fetched against the bytes the file manager's readers asked for
# and, below the table, the write and tar x rows on a FUSE file system that
# does nothing (bench/null_mount.cpp): the floor of a kernel round trip here.
# "Cold" means a fresh mount with an empty cache and the kernel's page cache
# dropped (when this runs as root); "warm" is the best of five runs of the
# same command right after, once the disk has caught up.
#
# With --s3 --far-ms MS it runs the far rows instead (bench/mount_far.sh):
# corvane-mount, rclone mount and s3fs each reach the store through a proxy
# that adds MS to every round trip.
#
# Usage: bench/mount_bench.sh [--s3] [--only ROW] [--far-ms MS] [--contender NAME]...
#                             [BIN_DIR]
#   (default BIN_DIR: build/bin; build first). --only filemanager runs that
#   row alone; with --far-ms, --only far-ls, far-read, far-write, far-tar,
#   far-rm or far-change runs one far row, and --contender
#   corvane, rclone or s3fs (repeatable) chooses who runs it.
# Needs root (or user FUSE mounts), rclone, and for the file-manager row Xvfb,
# pcmanfm, strace and cjpeg (scripts/setup installs them all).
set -euo pipefail
cd "$(dirname "$0")/.."
s3=false only="" far_ms="" contenders=()
while [ $# -gt 0 ]; do
  case $1 in
    --s3) s3=true; shift ;;
    --far-ms) far_ms=${2:-}; shift 2 || { echo "mount_bench: --far-ms needs MS" >&2; exit 2; } ;;
    --contender)
      contenders+=("${2:-}")
      shift 2 || { echo "mount_bench: --contender needs a name" >&2; exit 2; }
      ;;
    --only) only=${2:-}; shift 2 || { echo "mount_bench: --only needs a row" >&2; exit 2; } ;;
    *) break ;;
  esac
done
if [ -n "$far_ms" ]; then
  $s3 || { echo "mount_bench: --far-ms needs --s3" >&2; exit 2; }
  case $only in
    "" | far-ls | far-read | far-write | far-tar | far-rm | far-change) ;;
    *)
      echo "mount_bench: --only with --far-ms knows far-ls, far-read, far-write, far-tar," \
        "far-rm, far-change" >&2
      exit 2
      ;;
  esac
  [ ${#contenders[@]} -gt 0 ] || contenders=(corvane rclone s3fs)
  for c in "${contenders[@]}"; do
    case $c in
      corvane | rclone | s3fs) ;;
      *) echo "mount_bench: --contender knows corvane, rclone, s3fs" >&2; exit 2 ;;
    esac
  done
  command -v s3fs >/dev/null || { echo "mount_bench: s3fs is missing (scripts/setup)" >&2; exit 1; }
else
  case $only in
    "" | filemanager) ;;
    *) echo "mount_bench: --only knows one row: filemanager" >&2; exit 2 ;;
  esac
fi
bin="$(cd "${1:-build/bin}" && pwd)"
for tool in "$bin/corvane-engine" "$bin/corvane-mount"; do
  [ -x "$tool" ] || { echo "mount_bench: $tool is missing; build first" >&2; exit 1; }
done
for tool in rclone Xvfb pcmanfm strace cjpeg python3; do
  command -v "$tool" >/dev/null || { echo "mount_bench: $tool is missing (scripts/setup)" >&2; exit 1; }
done

root=$(mktemp -d "${TMPDIR:-/tmp}/mount-bench-XXXXXX")
backing="$root/bucket"
work="$root/work"
mkdir -p "$backing" "$work" "$root/data" "$root/tmp" "$root/cache" "$root/mnt-corvane" "$root/mnt-rclone"
export XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache" TMPDIR="$root/tmp"

engine_pid="" corvane_pid="" rclone_pid="" null_pid="" xvfb_pid="" fm_pid="" s3fs_pid="" far_pid=""
stop() {  # pid
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
# The file manager runs in a session of its own (strace leads it), so that
# it and every thumbnailer it starts go with one signal.
stop_group() {  # pid of the session leader
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do kill -0 -- "-$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop_group "$fm_pid"; stop "$xvfb_pid"
  for m in "$root/mnt-corvane" "$root/mnt-rclone" "$root/mnt-null" "$root/mnt-s3fs"; do
    mountpoint -q "$m" && fusermount3 -u -z "$m" 2>/dev/null || true
  done
  stop "$corvane_pid"; stop "$rclone_pid"; stop "$null_pid"; stop "$s3fs_pid"; stop "$engine_pid"
  if [ -n "$far_pid" ]; then stop "$far_pid"; fi
  if $s3; then scripts/s3-store stop "$root/store" >/dev/null 2>&1 || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

domain=local-1
rclone_remote=""
if $s3; then
  far_log=()
  [ -z "$far_ms" ] || far_log=(--request-log)
  scripts/s3-store start "$root/store" --bluestore 40G --owner $$ "${far_log[@]}"
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

if [ -n "$far_ms" ]; then
  # shellcheck source=bench/mount_far.sh
  . bench/mount_far.sh
  exit 0
fi

echo "mount_bench: preparing the backing folder in $root" >&2
if [ -z "$only" ]; then
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
fi
# The file manager's folder: the same bytes on every run (a fixed seed).
python3 bench/picture_folder.py "$backing/pictures"

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
ratio() {  # a b
  awk -v a="$1" -v b="$2" 'BEGIN { if (a != "-" && b != "-" && b > 0) printf "%.2f", a / b; else print "-" }'
}
# Bytes on disk below a folder (holes of sparse files do not count).
disk_bytes() {
  du -s -B1 "$1" 2>/dev/null | awk '{ print $1 }'
}
rss_mb() {  # pid
  awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}

# The file-manager row. pcmanfm opens the folder in icon view with
# thumbnails on, in a throw-away home (so no thumbnail is cached from an
# earlier contender) on a private Xvfb screen, under strace. It sniffs the
# type of files whose name does not tell it and decodes every picture for
# its thumbnail. Once neither the trace nor the contender's cache has grown
# for 3 s (or after fm_limit seconds) it is closed, and:
#   asked    = the bytes that read, pread64, readv and preadv calls returned
#              on descriptors of files in the folder, summed over pcmanfm,
#              its threads and any thumbnailer it starts, plus the length of
#              any mapping of such a file (none so far: pcmanfm reads);
#   fetched  = what the contender's cache holds on disk afterwards, as for
#              the head -c row (rclone's includes its small metadata files);
#   seconds  = from pcmanfm's start to the last growth of trace or cache.
fm_limit=600
cache_bytes() {  # folder: 0 until the contender has made it
  local n
  n=$(disk_bytes "$1") || n=0
  echo "${n:-0}"
}
fm_row() {  # target
  local t=$1 d fm start now last sig prev quiet before after cache=""
  d="$(dir_of "$t")/pictures"
  fm="$root/fm-$t"
  mkdir -p "$fm/home" "$fm/config/libfm" "$fm/config/pcmanfm/default" "$fm/cache" \
    "$fm/data" "$fm/run" "$fm/trace"
  chmod 700 "$fm/run"
  # thumbnail_max is in KiB: large enough that every picture gets one.
  cat >"$fm/config/libfm/libfm.conf" <<'CONF'
[config]
thumbnail_local=1
thumbnail_max=1048576
[ui]
big_icon_size=48
thumbnail_size=128
show_thumbnail=1
CONF
  # view_mode 0 is the icon view; nothing is mounted or run on its own.
  cat >"$fm/config/pcmanfm/default/pcmanfm.conf" <<'CONF'
[volume]
mount_on_startup=0
mount_removable=0
autorun=0
[ui]
win_width=1280
win_height=960
view_mode=0
show_hidden=0
CONF
  if [ "$t" != folder ]; then
    remount "$t"
    cache=$(cache_of "$t")
  fi
  drop_caches
  before=0
  [ -z "$cache" ] || before=$(cache_bytes "$cache")

  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$fm/display" 2>"$fm/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 1 100); do [ -s "$fm/display" ] && break; sleep 0.1; done
  [ -s "$fm/display" ] || { echo "mount_bench: Xvfb did not start (see $fm/xvfb.log)" >&2; exit 1; }

  start=$(date +%s%N)
  env -i PATH=/usr/bin:/bin LANG=C.UTF-8 DISPLAY=":$(cat "$fm/display")" HOME="$fm/home" \
    XDG_CONFIG_HOME="$fm/config" XDG_CACHE_HOME="$fm/cache" XDG_DATA_HOME="$fm/data" \
    XDG_RUNTIME_DIR="$fm/run" \
    setsid strace -ff -y -qq -s 0 -e trace=read,pread64,readv,preadv,preadv2,mmap \
    -o "$fm/trace/t" pcmanfm -n "$d" >"$fm/pcmanfm.log" 2>&1 &
  fm_pid=$!
  last=$start prev="" quiet=0
  while :; do
    sleep 1
    now=$(date +%s%N)
    kill -0 "$fm_pid" 2>/dev/null || { echo "mount_bench: pcmanfm ended early (see $fm/pcmanfm.log)" >&2; exit 1; }
    sig="$(cat "$fm"/trace/t.* 2>/dev/null | wc -c) ${cache:+$(cache_bytes "$cache")}"
    if [ "$sig" = "$prev" ]; then quiet=$((quiet + 1)); else quiet=0 last=$now prev=$sig; fi
    [ "$quiet" -ge 3 ] && break
    if [ $(((now - start) / 1000000000)) -ge "$fm_limit" ]; then
      echo "mount_bench: $t: the file manager still read after $fm_limit s; closing it" >&2
      break
    fi
  done
  stop_group "$fm_pid"; fm_pid=""
  stop "$xvfb_pid"; xvfb_pid=""

  result[$t,fm_s]=$(awk -v ns=$((last - start)) 'BEGIN { printf "%.1f", ns / 1e9 }')
  # strace -y names each descriptor's file: read(12</path/to/file>, ...) = N
  result[$t,fm_asked]=$(awk -v dir="$d/" '
    /^(read|pread64|readv|preadv|preadv2|mmap)\(/ {
      p = index($0, "<"); if (!p) next
      path = substr($0, p + 1); path = substr(path, 1, index(path, ">") - 1)
      if (substr(path, 1, length(dir)) != dir) next
      if ($0 ~ /^mmap\(/) { split($0, a, ", "); n = a[2] }
      else { n = $NF; if ($(NF - 1) != "=" || n !~ /^[0-9]+$/) next }
      asked += n
    }
    END { printf "%.1f", asked / 1048576 }' "$fm"/trace/t.*)
  if [ -n "$cache" ]; then
    after=$(cache_bytes "$cache")
    result[$t,fm_fetched]=$(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.1f", (a - b) / 1048576 }')
    result[$t,fm_ratio]=$(ratio "${result[$t,fm_fetched]}" "${result[$t,fm_asked]}")
  else
    result[$t,fm_fetched]="-" result[$t,fm_ratio]="-"
  fi
  echo "mount_bench: $t: asked ${result[$t,fm_asked]} MiB, fetched ${result[$t,fm_fetched]} MiB, reads ended after ${result[$t,fm_s]} s" >&2
  rm -rf "$fm"
  case $t in
    corvane) unmount_corvane ;;
    rclone) unmount_rclone ;;
  esac
}

main_targets=("${targets[@]}")
[ -z "$only" ] || main_targets=()
for t in "${main_targets[@]}"; do
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
if [ -x "$bin/null_mount" ] && ! $s3 && [ -z "$only" ]; then
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

for t in "${targets[@]}"; do
  echo "mount_bench: $t, file manager" >&2
  fm_row "$t"
done

rows=(ls_cold ls_warm read_cold read_warm head head_mib write tar rss)
[ -z "$only" ] || rows=()
rows+=(fm_ratio fm_fetched fm_asked fm_s)
declare -A label=(
  [ls_cold]="ls -l, 10,000 files, cold (s)" [ls_warm]="ls -l, 10,000 files, warm (s)"
  [read_cold]="read 1 GiB, cold (s)" [read_warm]="read 1 GiB, warm (s)"
  [head]="head -c 4096, uncached (s)" [head_mib]="  fetched for it (MiB)"
  [write]="write 1 GiB + close (s)" [tar]="tar x, 5,000 files (s)"
  [rss]="RSS after ls of 100,000 (MB)"
  [fm_ratio]="file manager: fetched/asked" [fm_fetched]="  fetched (MiB)"
  [fm_asked]="  asked by its readers (MiB)" [fm_s]="  until its reads end (s)"
)
# The bar for corvane-mount: a ratio to the folder, or an absolute figure.
declare -A target=(
  [ls_cold]="<=1.2x folder" [read_cold]="<=1.5x folder" [read_warm]="<=1.1x folder"
  [head]="<0.050 s" [head_mib]="<=2 MiB" [write]="<=1.5x folder" [tar]="<=4x folder"
  [rss]="<100 MB" [fm_ratio]="<=1.5x"
)
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
