#!/usr/bin/env bash
# The one command that sets up, builds and runs the whole test suite:
#   scripts/test.sh            optimised build (preset "default")
#   scripts/test.sh asan       any configure preset of CMakePresets.json
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
