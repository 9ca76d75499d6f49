#!/usr/bin/env bash
# bgctl's bash completion, sourced into a plain bash (no bash-completion
# package) and asked for the completions of command lines as bash would
# split them. A bgservice serves a name in a private registry so that
# --service has something to complete.
#
# Environment: BGCTL, BGSERVICE (the built programs), COMPLETION (the script),
# EVERY_TYPE (a definition file).
set -uo pipefail
: "${BGCTL:?}" "${BGSERVICE:?}" "${COMPLETION:?}" "${EVERY_TYPE:?}"

BGS_SERVICE_DIR=$(mktemp -d)
export BGS_SERVICE_DIR
service_pid=
cleanup() {
    [[ -n $service_pid ]] && kill "$service_pid" 2>/dev/null && wait "$service_pid"
    rm -rf "$BGS_SERVICE_DIR"
}
trap cleanup EXIT

"$BGSERVICE" --name completion.test/one >/dev/null 2>&1 &
service_pid=$!
"$BGCTL" --wait 10000 --service completion.test/one list >/dev/null || { echo "FAIL: bgservice did not start"; exit 1; }

# shellcheck source=/dev/null
source "$COMPLETION"
[[ $(complete -p bgctl) == *"-F _bgctl"* ]] || { echo "FAIL: no completion registered for bgctl"; exit 1; }

passed=0
failed=0
# expect 'WORDS' 'EXPECTED': WORDS as bash splits the line, the cursor on the
# last word; EXPECTED the sorted completions, space-separated.
expect() {
    local -a COMP_WORDS
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_WORDS[0]=$BGCTL
    local COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _bgctl
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [[ $got == "$2" ]]; then
        ((passed++))
    else
        echo "FAIL: '$1': expected '$2', got '$got'"
        ((failed++))
    fi
}

# Every command of the program's own table, whatever commands it has.
expect 'bgctl ' "$("$BGCTL" --complete commands | sort | xargs)"
expect 'bgctl l' 'list listen'
expect 'bgctl --json --timeout 500 sh' 'shell'
expect 'bgctl --ti' '--timeout'
expect 'bgctl call setR' 'setRequstCompleted setRequstCompletedImageName'
expect 'bgctl --wait 100 call getI' 'getInterfaceHash getInterfaceVersion'
expect 'bgctl call setTimestamps ' ''
expect 'bgctl --service comp' 'completion.test/one'
expect 'bgctl call --service = comp' 'completion.test/one'
expect 'bgctl --timeout ' ''
expect 'bgctl shell help --' ''
expect 'bgctl dump --j' '--json'
expect "bgctl --defs $EVERY_TYPE call re" 'relabel'
expect "bgctl --defs = $EVERY_TYPE call --timeout 5 fl" 'flip'

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
