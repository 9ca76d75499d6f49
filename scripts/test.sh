#!/usr/bin/env bash
# The one command that sets up, builds and runs the whole test suite:
#   scripts/test.sh            optimised build (preset "default")
#   scripts/test.sh asan       any test preset of CMakePresets.json
#   scripts/test.sh --help     usage and the presets
set -euo pipefail
cd "$(dirname "$0")/.."

# The test presets of CMakePresets.json, one a line. Each has a configure and
# a build preset of the same name. Read from the file itself, so that the
# usage can be shown before setup.sh has installed CMake.
presets() {
  sed -n '/"testPresets"/,/^  \]/p' CMakePresets.json |
    grep -o '"name": *"[^"]*"' | sed 's/.*"\([^"]*\)"$/\1/'
}

usage() {
  cat <<EOF
Usage: scripts/test.sh [PRESET]

Installs what is missing (scripts/setup.sh), then configures, builds and
runs the whole test suite with one CMake preset, in build/PRESET.

Presets: $(presets | paste -sd' ') (without PRESET: default)
EOF
}

case ${1:-} in
  -h | --help)
    usage
    exit 0 ;;
  -*)
    echo "scripts/test.sh: unknown option '$1'" >&2
    usage >&2
    exit 2 ;;
esac
if (($# > 1)); then
  echo "scripts/test.sh: one preset at most, got $#: $*" >&2
  usage >&2
  exit 2
fi
preset=${1:-default}
# Should the file ever read differently, CMake itself judges the name.
known=$(presets)
if [[ -n $known ]] && ! grep -qxF -- "$preset" <<<"$known"; then
  echo "scripts/test.sh: no preset '$preset'; the presets are: $(paste -sd' ' <<<"$known")" >&2
  exit 2
fi

scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
