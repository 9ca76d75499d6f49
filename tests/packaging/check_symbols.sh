#!/usr/bin/env bash
# Checks of the shared libraries' dynamic symbol tables.
#
#   check_symbols.sh exports LIB EXPORTS_FILE
#       The symbols LIB defines are exactly those in EXPORTS_FILE: its ABI.
#   check_symbols.sh update-exports LIB EXPORTS_FILE
#       Rewrites EXPORTS_FILE from LIB, keeping its leading comment. Review
#       the diff before committing it: every change is an ABI change.
#   check_symbols.sh runtime-ops LIB ALLOWED_FILE
#       Every runtime operation (A*_ symbol) that LIB leaves undefined is
#       listed in ALLOWED_FILE.
#   check_symbols.sh runtime-exports LIB
#       LIB defines at least one symbol, and each is a function named
#       AIBinder_*, AParcel_*, AStatus_*, AServiceManager_*, ABinderProcess_* or a
#       project extension Bgs*_.
#
# Symbols are compared mangled, since the mangled name is what the dynamic
# linker matches and it is the same from g++ and clang++; a third column of
# EXPORTS_FILE holds the demangled name for readers and is not compared. Two
# differences between those compilers are folded away:
#   - nm's type letter is reduced to F (function) or O (object): for inline
#     statics, typeinfo and vtables g++ reports u/V where clang++ reports
#     V/D/R, which say nothing about the interface;
#   - a complete-object constructor (C1) counts as its base-object twin (C2):
#     g++ emits C1 for abstract classes, clang++ does not, and no program can
#     construct an abstract class's complete object anyway.
#
# NM names the nm program (default: nm).
set -euo pipefail

NM=${NM:-nm}

die() {
  echo "FAIL: $*" >&2
  exit 1
}

# "KIND MANGLED" per defined dynamic symbol of $1, sorted and unique.
defined_symbols() {
  "$NM" -D --defined-only "$1" | awk 'NF == 3 {
    kind = ($2 ~ /^[TtWwi]$/) ? "F" : "O"
    name = $3
    sub(/C1E/, "C2E", name)
    print kind, name
  }' | LC_ALL=C sort -u
}

# The entries of a list file: its non-comment lines, first COLUMNS fields.
entries() {
  awk -v n="$2" '!/^#/ && NF { line = $1; for (i = 2; i <= n; i++) line = line " " $i; print line }' "$1" |
    LC_ALL=C sort -u
}

[[ $# -ge 2 ]] || die "usage: $0 exports|update-exports|runtime-ops|runtime-exports LIB [FILE]"
mode=$1 lib=$2 list=${3:-}
[[ -f $lib ]] || die "no library at $lib"
symbols=$(defined_symbols "$lib")
[[ -n $symbols ]] || die "$NM found no defined dynamic symbols in $lib"

case $mode in
  exports)
    if ! diff <(entries "$list" 2) <(echo "$symbols") >&2; then
      die "$(basename "$lib") exports differ from $list ('<' expected only, '>' built only);" \
        "if the change is intended, regenerate the list with: $0 update-exports $lib $list"
    fi
    echo "exports of $(basename "$lib") match $(basename "$list")"
    ;;
  update-exports)
    header=$(grep '^#' "$list" || true)
    {
      [[ -n $header ]] && echo "$header"
      paste -d' ' <(echo "$symbols") <(echo "$symbols" | cut -d' ' -f2 | c++filt)
    } >"$list.new"
    mv "$list.new" "$list"
    echo "wrote $list"
    ;;
  runtime-ops)
    used=$("$NM" -D --undefined-only "$lib" | awk '{ print $NF }' | grep -E '^A[A-Za-z]+_' | LC_ALL=C sort -u || true)
    [[ -n $used ]] || die "$(basename "$lib") calls no runtime operation: wrong library?"
    unlisted=$(LC_ALL=C comm -23 <(echo "$used") <(entries "$list" 1))
    [[ -z $unlisted ]] || die "$(basename "$lib") calls runtime operations not in $list:" $unlisted
    echo "runtime operations of $(basename "$lib") are all in $(basename "$list")"
    ;;
  runtime-exports)
    stray=$(echo "$symbols" | grep -vE '^F (AIBinder|AParcel|AStatus|AServiceManager|ABinderProcess|Bgs[A-Za-z]*)_' || true)
    [[ -z $stray ]] || die "$(basename "$lib") exports symbols outside its C interface:"$'\n'"$stray"
    echo "$(basename "$lib") exports only its C interface (A*_ and Bgs*_ functions)"
    ;;
  *)
    die "unknown mode $mode"
    ;;
esac
