#!/usr/bin/env bash
# The demo: a service and its clients in separate processes.
#
#   scripts/demo.sh               installs what is missing, builds bgservice and
#                                 bgctl, starts bgservice in the background, two
#                                 bgctl listeners, and drives every method and
#                                 event through bgctl; prints a transcript
#   scripts/demo.sh --in-process  the one-process demo (bgservice_demo); further
#                                 arguments go to it (try --help)
#
# Exit status 0 exactly when every command and event came out as expected
# (the deliberate failures included, with their exit statuses). Everything it
# starts is stopped and every file it makes is removed when it ends, however
# it ends.
#
# With BGSERVICE and BGCTL set to the two programs' paths, nothing is
# installed or built: the test suite runs the demo on its own build that way.
set -euo pipefail
cd "$(dirname "$0")/.."

build() {
  scripts/setup.sh >&2
  cmake --preset default >&2
  cmake --build --preset default --target "$@" >&2
}

if [[ ${1:-} == --in-process ]]; then
  shift
  build bgservice_demo
  exec build/default/examples/bgservice_demo "$@"
fi
if (($# > 0)); then
  echo "usage: scripts/demo.sh [--in-process [DEMO ARGUMENTS...]]" >&2
  exit 2
fi

if [[ -z ${BGSERVICE:-} || -z ${BGCTL:-} ]]; then
  build bgservice bgctl
  BGSERVICE=$PWD/build/default/programs/bgservice/bgservice
  BGCTL=$PWD/build/default/programs/bgctl/bgctl
fi
for program in "$BGSERVICE" "$BGCTL"; do
  [[ -x $program ]] || { echo "demo: $program was not built" >&2; exit 1; }
done

started=$EPOCHREALTIME
readonly patience=10  # seconds anything the demo waits for may take

# ---- Processes and files, and their removal ----

work=$(mktemp -d)              # listener pipes, logs
export BGS_SERVICE_DIR
BGS_SERVICE_DIR=$(mktemp -d)   # the registry of this demo alone
declare -A running             # pid -> what, for every process started here and not yet stopped

# Stops `pid`, a process started here and not yet stopped, with SIGTERM,
# then SIGKILL if it has not ended within the patience; its exit status
# lands in $ended (128 + signal when killed). Once reaped, its id is
# forgotten, so that no later signal can reach a process that reuses it.
stop() {
  local pid=$1 tries=0
  kill -TERM "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && ((tries < patience * 10)); do
    sleep 0.1
    tries=$((tries + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  ended=0
  wait "$pid" 2>/dev/null || ended=$?
  unset "running[$pid]"
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  for pid in "${!running[@]}"; do
    stop "$pid"
  done
  rm -rf "$work" "$BGS_SERVICE_DIR"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- The transcript ----

commands=0
events=0
problems=0

# An argument as it would be typed: bare when it is plain, else quoted.
shown() {
  local arg text=""
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./,:=+-]+$ ]]; then
      text+=" $arg"
    else
      text+=" '${arg//\'/\'\\\'\'}'"
    fi
  done
  printf '%s' "${text# }"
}

indent() { sed 's/^/    /'; }

unexpected() {
  problems=$((problems + 1))
  echo "    <-- UNEXPECTED: $*"
}

note() { printf '\n# %s\n' "$*"; }

# ---- Listeners: bgctl listen in the background, read through a pipe ----

declare -A listenerFd listenerPid

# start_listener LABEL BGCTL-ARGS...: starts `bgctl listen` and waits for
# its "listening" line.
start_listener() {
  local label=$1 line
  shift
  printf '\n$ bgctl %s &    (the %s listener, a process of its own)\n' "$(shown "$@")" "$label"
  mkfifo "$work/$label"
  "$BGCTL" "$@" >"$work/$label" 2>"$work/$label.err" </dev/null &
  listenerPid[$label]=$!
  running[$!]=$label
  exec {fd}<"$work/$label"
  listenerFd[$label]=$fd
  if read -r -t "$patience" -u "$fd" line && [[ $line == listening:* ]]; then
    echo "$line" | indent
  else
    unexpected "the $label listener did not start: ${line:-}$(cat "$work/$label.err")"
  fi
}

# expect_event LABEL METHOD: the next line of the listener must be an event
# METHOD(...), within the patience. The service queues events and calls each
# listener from a thread of its own, so they may arrive just after the
# command that caused them has ended.
expect_event() {
  local label=$1 method=$2 line
  if read -r -t "$patience" -u "${listenerFd[$label]}" line; then
    printf '    [%s listener] %s\n' "$label" "$line"
    events=$((events + 1))
    [[ $line == "$method("* ]] || unexpected "wanted $method"
  else
    unexpected "no $method event reached the $label listener"
  fi
}

# stop_listener LABEL: SIGTERM; the listener unregisters, prints its last
# line and exits 0. Any other line left in its pipe is an event nobody
# expected.
stop_listener() {
  local label=$1 line
  printf '\n$ kill -TERM <%s listener>\n' "$label"
  stop "${listenerPid[$label]}"
  while read -r -t "$patience" -u "${listenerFd[$label]}" line; do
    echo "$line" | indent
    [[ $line == stopped:* ]] || unexpected "an event nobody caused"
  done
  local fd=${listenerFd[$label]}
  exec {fd}<&-
  if ((ended == 0)); then
    echo "    -> exit 0"
  else
    unexpected "exit $ended, wanted 0: $(cat "$work/$label.err")"
  fi
}

# step [-x STATUS] [-o TEXT] [-e LABEL:METHOD]... -- BGCTL-ARGS...
# Runs bgctl, shows the command and its output (stdout, then stderr)
# indented, and checks its exit status (default 0), that stdout contains
# TEXT, and that exactly the listed events reached the listeners. Its
# stdout stays in $lastOutput.
step() {
  local want=0 output="" expected=() out status=0
  while [[ $1 != -- ]]; do
    case $1 in
      -x) want=$2 ;;
      -o) output=$2 ;;
      -e) expected+=("$2") ;;
    esac
    shift 2
  done
  shift
  commands=$((commands + 1))
  printf '\n$ bgctl %s\n' "$(shown "$@")"
  out=$("$BGCTL" "$@" 2>"$work/stderr" </dev/null) || status=$?
  lastOutput=$out
  { [[ -z $out ]] || echo "$out"; cat "$work/stderr"; } | indent
  if ((status != want)); then
    unexpected "exit $status, wanted $want"
  elif ((want != 0)); then
    echo "    -> exit $status (expected failure)"
  fi
  if [[ -n $output && $out != *"$output"* ]]; then
    unexpected "the output lacks '$output'"
  fi
  local event
  for event in "${expected[@]}"; do
    expect_event "${event%%:*}" "${event#*:}"
  done
}

# ---- The demo ----

service=vendor.tolvek.hardware.aidlbgservice.IBGService/default
cat <<EOF
The demo: bgservice serves the example IBGService in one process; bgctl, the
client command line, talks to it from others, each command a process of its
own, and two bgctl listeners print the events the service calls back with.
The registry is a private directory (BGS_SERVICE_DIR). Lines starting with
'$' are the commands; their output is indented; '[events listener]' lines are
events a listener printed as the command caused them.
EOF

printf '\n$ bgservice &\n'
"$BGSERVICE" >"$work/bgservice.log" 2>&1 </dev/null &
servicePid=$!
running[$servicePid]=bgservice

step -o "$service" -- --wait $((patience * 1000)) list
note "The interface queries, then the storage before and after the capabilities"
step -o "result: 1" -- call getInterfaceVersion
step -o "result: \"" -- call getInterfaceHash
step -o "result: 0" -- call getStorageLoadCompletedStatus 0
step -x 1 -- call setCapabilities ""
step -- call setCapabilities hdr,night,burst
step -o "result: 1" -- call getStorageLoadCompletedStatus 0

note "Two listeners register their callbacks: capture events under value 7, gallery events under gallery 3"
start_listener events listen --value 7
start_listener gallery listen --gallery --value 3

note "A request with a timestamp produces an image; saving it reaches both listeners"
step -- call setTimestamps 1 1700000000123
step -e events:notifyCallback -e events:notifyCallbackInfo -- call setRequstCompleted 1
step -e events:onCaptureCompleted -e gallery:notifySnapshotAvailability -- call setRequstCompletedImageName req1.jpg
step -o '"result":1' -- --json call getGalleryAvailability 3
step -x 1 -- call setRequstCompletedImageName req1.jpg
note "A request without a timestamp fails, as an event"
step -e events:onCaptureFailed -e events:notifyCallbackInfo -- call setRequstCompleted 2
step -x 1 -- call setTimestamps 3 -5
step -x 1 -- call setRequstCompleted 4294967296

note "The service's shell commands and dump"
step -- shell help
if [[ $lastOutput == *"complete REQUEST"* ]]; then
  step -o "image req5.jpg" -e events:notifyCallback -e events:notifyCallbackInfo -- shell complete 5 1700000000555
  step -e events:onCaptureCompleted -e gallery:notifySnapshotAvailability -- call setRequstCompletedImageName req5.jpg
  step -x 1 -- shell complete 5x
else
  echo "    (this bgservice has no 'complete' command: events come from the calls above)"
fi
step -- dump

note "What bgctl refuses before it calls: usage errors exit 2, a service nobody serves exits 3"
step -x 2 -- call setTimestamps 1
step -x 2 -- call setTimestamps 1 12x
step -x 2 -- call getGalleryAvailability 99999999999
step -x 2 -- call noSuchMethod
step -x 2 -- call setEventCallback 7 mine
step -x 3 -- --service nobody/default call getInterfaceVersion

note "The listeners stop on SIGTERM and unregister; then nothing is registered"
stop_listener events
stop_listener gallery
step -o "result: 0" -- call setEventCallback 7 null
step -o "result: 0" -- call setGalleryEventCallback 3 null

printf '\n$ kill -TERM <bgservice>\n'
stop "$servicePid"
indent <"$work/bgservice.log"
if ((ended == 0)); then echo "    -> exit 0"; else unexpected "bgservice exit $ended, wanted 0"; fi
step -x 3 -- call getInterfaceVersion

elapsed=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
echo
if ((problems == 0)); then
  echo "demo: $commands bgctl commands, $events events, all as expected ($elapsed s)"
else
  echo "demo: $commands bgctl commands, $events events, $problems unexpected ($elapsed s)"
  exit 1
fi
