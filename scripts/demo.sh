#!/usr/bin/env bash
# The one command that runs the demo: installs what is missing, builds the
# demo program and runs it. Extra arguments go to the demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh >&2
cmake --preset default >&2
cmake --build --preset default --target bgservice_demo >&2
demo=$(find build/default -type f -name bgservice_demo -perm -u+x | head -n 1)
if [[ -z $demo ]]; then
  echo "demo: bgservice_demo was not built" >&2
  exit 1
fi
exec "$demo" "$@"
