#!/usr/bin/env bash
# Installs what the project needs to build and test, where it is missing.
# Debian/Ubuntu: uses apt-get (as root, or through sudo when available).
set -euo pipefail

# Debian package -> a file or command that shows it is installed.
declare -A NEEDED=(
  [cmake]="command:cmake"
  [ninja-build]="command:ninja"
  [g++]="command:g++"
  [pkg-config]="command:pkg-config"
  [libgtest-dev]="file:/usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake"
  [libgmock-dev]="file:/usr/include/gmock/gmock.h"
  [libbenchmark-dev]="file:/usr/include/benchmark/benchmark.h"
)

missing=()
for package in "${!NEEDED[@]}"; do
  probe=${NEEDED[$package]}
  case $probe in
    command:*) command -v "${probe#command:}" >/dev/null 2>&1 || missing+=("$package") ;;
    file:*)
      # Multiarch systems other than x86_64 keep the file elsewhere: ask dpkg.
      if [[ ! -e ${probe#file:} ]] && ! dpkg -s "$package" >/dev/null 2>&1; then
        missing+=("$package")
      fi ;;
  esac
done

if ((${#missing[@]} == 0)); then
  echo "setup: all build and test dependencies are present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
if ! command -v apt-get >/dev/null 2>&1; then
  echo "setup: apt-get not found; install these packages by hand: ${missing[*]}" >&2
  exit 1
fi
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=(sudo); else
    echo "setup: not root and no sudo; run as root: apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
