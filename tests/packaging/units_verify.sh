#!/usr/bin/env bash
# The systemd user units pass `systemd-analyze verify`: every setting parses,
# every program they start exists, and the man pages they name are there.
# Warnings count as failures, as verify itself exits 0 on most of them.
#   units_verify.sh UNIT_DIR MAN_DIR
set -euo pipefail
units=$1
man=$2
command -v systemd-analyze >/dev/null || { echo "skipped: systemd-analyze is not installed"; exit 77; }

# A user manager needs a runtime folder, which a test run may not have.
runtime=$(mktemp -d "${TMPDIR:-/tmp}/corvane-units.XXXXXX")
trap 'rm -rf "$runtime"' EXIT
status=0
output=$(XDG_RUNTIME_DIR=$runtime MANPATH=$man systemd-analyze verify --user \
  "$units/corvane-engine.service" "$units/corvane-mount@.service" 2>&1) || status=$?
if [ $status -ne 0 ] || [ -n "$output" ]; then
  echo "systemd-analyze verify (exit $status):"
  echo "$output"
  exit 1
fi
echo "ok"
