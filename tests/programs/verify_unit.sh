#!/usr/bin/env bash
# Checks bgservice.service with systemd-analyze as a user unit, its
# ExecStart pointed at this build's program (the file names the installed
# one). Any complaint fails the check; without systemd-analyze it is skipped
# (exit 77).
#
#   verify_unit.sh UNIT-FILE PROGRAM
set -euo pipefail
unit=$1 program=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: skipped"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s#^ExecStart=[^ ]*#ExecStart=$program#" "$unit" >"$dir/bgservice.service"
# The user manager it simulates needs a runtime directory of its own.
if ! out=$(XDG_RUNTIME_DIR=$dir systemd-analyze --user verify "$dir/bgservice.service" 2>&1) || [[ -n $out ]]; then
  echo "$out"
  exit 1
fi
echo "bgservice.service: no complaint from systemd-analyze verify"
