#!/usr/bin/env bash
# Bash completion of the three tools, as bash would call it for a command
# line typed so far: options and commands come from the tools' --help.
#   completion.sh corvane.bash BIN_DIR
set -uo pipefail
source "$1"
PATH=$2:$PATH

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/mnt-a" "$work/mnt-b"
touch "$work/notes.txt"

# The words bash offers for LINE, where the cursor is at the end of LINE
# (a trailing space starts a new, empty word), one per line, sorted.
complete_line() {
  local line=$1
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _corvane_complete "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

failed=0
check() {  # LINE EXPECTED (words separated by spaces; "" for none)
  local got expected
  got=$(complete_line "$1" | tr '\n' ' ' | sed 's/ $//')
  expected=$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: '$1' completes to '$got', expected '$expected'"
    failed=1
  fi
}

# line                                   expected
check "corvane-engine --sc"              "--scope"
check "corvane-engine --s3-"             "--s3-addressing --s3-anonymous --s3-endpoint --s3-full-scan --s3-full-scan-page --s3-poll --s3-profile --s3-region --s3-watch"
check "corvane-engine --port "           ""
check "corvane-fpctl fe"                 "fetch"
check "corvane-fpctl c"                  "changes create"
check "corvane-fpctl --js"               "--json"
check "corvane-fpctl fetch --ra"         "--range"
check "corvane-fpctl --json fetch --out" "--output"
check "corvane-fpctl create --no"        "--no-type"
check "corvane-fpctl create --type "     ""
check "corvane-fpctl create --no-type $work/no" "$work/notes.txt"
check "corvane-mount --fore"             "--foreground"
check "corvane-mount --poll "            ""
check "corvane-mount -o "                ""
check "corvane-mount --cache $work/mnt-" "$work/mnt-a $work/mnt-b"
check "corvane-mount $work/no"           "$work/notes.txt"

# Every long option a tool's --help lists is offered, so none goes missing
# when a tool gains one.
for tool in corvane-engine corvane-fpctl corvane-mount; do
  listed=$("$tool" --help | grep -oE '^  (-[A-Za-z0-9],)?--[A-Za-z0-9-]+' | sed 's/.*,//; s/^ *//' | sort)
  offered=$(complete_line "$tool --" | grep -- '^--')
  missing=$(comm -23 <(echo "$listed") <(echo "$offered"))
  if [ -z "$listed" ] || [ -n "$missing" ]; then
    echo "FAIL: $tool -- does not offer: ${missing:-(no options found in --help)}"
    failed=1
  fi
done

[ $failed -eq 0 ] && echo "ok"
exit $failed
