#!/usr/bin/env bash
# cpack -G DEB makes one package that holds the three tools, their systemd
# user units (naming the binaries where the package puts them), man pages and
# bash completion; its tools run once installed.
#   deb_contents.sh CPACK CPackConfig.cmake
set -euo pipefail
cpack=$1
config=$2
command -v dpkg-deb >/dev/null || { echo "skipped: dpkg-deb is not installed"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! "$cpack" -G DEB --config "$config" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
debs=("$work"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one package, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')

failed=0
fail() { echo "FAIL: $*"; failed=1; }

for tool in corvane-engine corvane-fpctl corvane-mount; do
  for file in ./usr/bin/$tool ./usr/share/man/man1/$tool.1.gz \
              ./usr/share/bash-completion/completions/$tool; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
  done
done

mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root"
for unit in corvane-engine.service corvane-mount@.service; do
  file=$work/root/usr/lib/systemd/user/$unit
  [ -f "$file" ] || { fail "the package lacks /usr/lib/systemd/user/$unit"; continue; }
  exec=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$file")
  case $exec in
    /usr/bin/corvane-*) [ -x "$work/root$exec" ] || fail "$unit starts $exec, which the package lacks" ;;
    *) fail "$unit starts '$exec', not a binary the package installs in /usr/bin" ;;
  esac
done

# The stripped binaries still run.
for tool in corvane-engine corvane-fpctl corvane-mount; do
  "$work/root/usr/bin/$tool" --help >/dev/null 2>&1 || fail "the packaged $tool does not run"
done

depends=$(dpkg-deb -f "$deb" Depends)
grep -qw fuse3 <<<"$depends" || fail "the package does not depend on fuse3 (fusermount3): $depends"

if [ $failed -ne 0 ]; then
  echo "package contents:"
  echo "$contents"
  exit 1
fi
echo "ok: $(basename "$deb")"
