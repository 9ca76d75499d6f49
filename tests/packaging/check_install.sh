#!/usr/bin/env bash
# Installs the build tree into a fresh prefix inside WORK_DIR and uses the
# result the ways a client project does:
#   1. the CMake package: tests/packaging/consumer (find_package and one
#      target), configured, built and run;
#   2. bgs_add_interface_library: tests/packaging/interface_consumer builds
#      its own binding library from two definition files with the installed
#      bgidlc and serves and calls it; then one definition is edited and
#      the library rebuilt;
#   3. the worked example of docs/interfaces.md (docs/examples/greeter):
#      built, its service run, called by its client and by bgctl --defs;
#   4. pkg-config: the same main.cpp compiled with plain
#      `$CXX $(pkg-config --cflags --libs vendor.tolvek.hardware.aidlbgservice-V1-ndk)`
#      and -Wall -Wextra -Werror, so public headers that warn fail here; run.
# It also checks that the prefix holds exactly the public headers and the
# mechanisms generated sources include, bgidlc, both shared libraries with
# their SONAME links, and no white-box archive; and
# that the installed programs run from the prefix alone: bgservice serves in
# a private registry, bgctl calls it, bgservice stops on SIGTERM.
#
# Everything it writes is below WORK_DIR, which it empties first. Exits 77
# (the test's skip code) when pkg-config is missing.
#
# Environment (set by tests/packaging/CMakeLists.txt):
#   BUILD_DIR        the configured and built tree to install
#   SOURCE_DIR       the project's source tree
#   WORK_DIR         scratch directory inside the build tree
#   CMAKE            cmake executable; GENERATOR, MAKE_PROGRAM: for the consumer
#   CXX              C++ compiler; BUILD_TYPE: the build's configuration
#   LIBDIR, INCLUDEDIR  the install directories relative to the prefix
#   EXTRA_FLAGS      compile and link flags every consumer needs (sanitizers)
#   NM               nm, for the symbols a consumer's library exports
set -euo pipefail

: "${BUILD_DIR:?}" "${SOURCE_DIR:?}" "${WORK_DIR:?}" "${CMAKE:?}" "${GENERATOR:?}"
: "${CXX:?}" "${LIBDIR:?}" "${INCLUDEDIR:?}"
MAKE_PROGRAM=${MAKE_PROGRAM:-}
BUILD_TYPE=${BUILD_TYPE:-}
EXTRA_FLAGS=${EXTRA_FLAGS:-}
readonly binding=vendor.tolvek.hardware.aidlbgservice-V1-ndk

if ! command -v pkg-config >/dev/null 2>&1; then
  echo "pkg-config not found: skipping the install check"
  exit 77
fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "${WORK_DIR:?}"
mkdir -p "$WORK_DIR"
prefix=$WORK_DIR/prefix
libdir=$prefix/$LIBDIR
includedir=$prefix/$INCLUDEDIR
consumer_src=$SOURCE_DIR/tests/packaging/consumer

echo "== cmake --install into $prefix"
"$CMAKE" --install "$BUILD_DIR" --prefix "$prefix" >"$WORK_DIR/install.log"

echo "== installed files"
for lib in binder_ndk "$binding"; do
  [[ -L $libdir/lib$lib.so && -L $libdir/lib$lib.so.1 && -f $libdir/lib$lib.so.1.0.0 ]] ||
    fail "lib$lib.so, its SONAME link lib$lib.so.1 and lib$lib.so.1.0.0 are not all installed"
  [[ $(readlink -f "$libdir/lib$lib.so") == $(readlink -f "$libdir/lib$lib.so.1.0.0") ]] ||
    fail "lib$lib.so does not lead to lib$lib.so.1.0.0"
done
if find "$prefix" -name '*whitebox*' | grep -q . ||
    grep -rq whitebox "$libdir/cmake"; then
  fail "the white-box archive is installed or exported"
fi
public_headers() {
  for dir in runtime/include frameworks/native/libs/binder/ndk/include_cpp interfaces/include; do
    (cd "$SOURCE_DIR/$dir" && find . -name '*.h')
  done
  (cd "$SOURCE_DIR/interfaces/internal" && find . -name '*.h' | sed 's|^\.|./bgs/binding/internal|')
}
if ! diff <(public_headers | sort) <(cd "$includedir" && find . -type f | sort) >"$WORK_DIR/headers.diff"; then
  cat "$WORK_DIR/headers.diff" >&2
  fail "installed headers ('>') differ from the public and binding mechanism headers ('<')"
fi

echo "== installed programs"
bindir=$prefix/bin
for program in bgctl bgservice bgidlc; do
  [[ -x $bindir/$program ]] || fail "bin/$program is not installed"
  # The build tree's libraries must not be what the installed program loads.
  if readelf -d "$bindir/$program" | grep -E 'RPATH|RUNPATH' | grep -qF "$BUILD_DIR"; then
    fail "bin/$program still searches the build tree for libraries"
  fi
done
[[ -f $prefix/share/bash-completion/completions/bgctl ]] || fail "bgctl's bash completion is not installed"
unit=$prefix/lib/systemd/user/bgservice.service
[[ -f $unit ]] || fail "bgservice.service is not installed"
grep -qx "ExecStart=$bindir/bgservice .*" "$unit" || fail "the installed unit does not start $bindir/bgservice"
service_dir=$WORK_DIR/registry
mkdir -p "$service_dir"
service=install.check/default
BGS_SERVICE_DIR=$service_dir "$bindir/bgservice" --name "$service" >"$WORK_DIR/bgservice.log" 2>&1 &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null' EXIT
called=$(BGS_SERVICE_DIR=$service_dir BGS_SERVICE=$service "$bindir/bgctl" --wait 10000 call getInterfaceVersion) ||
  fail "the installed bgctl could not call the installed bgservice: $(cat "$WORK_DIR/bgservice.log")"
[[ $called == *"result: 1"* ]] || fail "unexpected answer: $called"
kill -TERM "$service_pid"
wait "$service_pid" || fail "the installed bgservice did not stop cleanly on SIGTERM"
trap - EXIT

echo "== find_package consumer"
cmake_args=(-G "$GENERATOR"
  -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_PREFIX_PATH="$prefix"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_CXX_FLAGS="$EXTRA_FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$EXTRA_FLAGS"
  -DCMAKE_SHARED_LINKER_FLAGS="$EXTRA_FLAGS")
[[ -n $MAKE_PROGRAM ]] && cmake_args+=(-DCMAKE_MAKE_PROGRAM="$MAKE_PROGRAM")
[[ -n $BUILD_TYPE ]] && cmake_args+=(-DCMAKE_BUILD_TYPE="$BUILD_TYPE")
"$CMAKE" -S "$consumer_src" -B "$WORK_DIR/consumer" "${cmake_args[@]}"
grep -qx "bgservice_ipc_DIR:PATH=$libdir/cmake/bgservice_ipc" "$WORK_DIR/consumer/CMakeCache.txt" ||
  fail "the consumer found a bgservice_ipc package other than the one just installed"
"$CMAKE" --build "$WORK_DIR/consumer"
"$WORK_DIR/consumer/bgs_consumer"

echo "== bgs_add_interface_library consumer"
# Built from a copy, whose definition is edited below.
demo_src=$WORK_DIR/interface_consumer_src
demo=$WORK_DIR/interface_consumer
cp -R "$SOURCE_DIR/tests/packaging/interface_consumer" "$demo_src"
"$CMAKE" -S "$demo_src" -B "$demo" "${cmake_args[@]}"
"$CMAKE" --build "$demo"
"$demo/demo"
"$demo/demo_static"
# The output depends on the definitions alone: both libraries' generated
# files are the same bytes.
diff -r "$demo/demo_bindings/counter" "$demo/demo_bindings_static/counter" ||
  fail "two generations of counter.bgidl differ"
# Only the generated classes leave the library (the merged export map of
# both definitions applies); the mechanisms they share stay inside.
exports=$("${NM:-nm}" -DC --defined-only "$demo/libdemo_bindings.so")
for class in demo::counter::BpCounter demo::greeting::BnGreeter; do
  grep -qF "aidl::$class::" <<<"$exports" || fail "libdemo_bindings.so does not export $class"
done
others=$(grep -vE ' (aidl::demo::|(typeinfo|typeinfo name|vtable|guard variable) for aidl::demo::|int ndk::AParcel_(read|write)StdVectorParcelableElement<aidl::demo::)' \
  <<<"$exports" || true)
[[ -z $others ]] || fail "libdemo_bindings.so exports more than its classes: $others"
# An edited definition is generated and built anew: a record added to it
# brings its own source into the library.
printf '\nrecord Extra {\n    i32 value;\n}\n' >>"$demo_src/counter.bgidl"
"$CMAKE" --build "$demo"
exports=$("${NM:-nm}" -DC --defined-only "$demo/libdemo_bindings.so")
grep -qF 'aidl::demo::counter::Extra::' <<<"$exports" ||
  fail "the record added to counter.bgidl is not in the rebuilt library"
"$demo/demo"

echo "== worked example of docs/interfaces.md"
# docs/examples/greeter, built and run as the page shows: its own service and
# client, then bgctl --defs calling the same service.
greeter=$WORK_DIR/greeter
greeter_src=$SOURCE_DIR/docs/examples/greeter
"$CMAKE" -S "$greeter_src" -B "$greeter" "${cmake_args[@]}"
"$CMAKE" --build "$greeter"
greeter_registry=$WORK_DIR/greeter_registry
mkdir -p "$greeter_registry"
export BGS_SERVICE_DIR=$greeter_registry
"$greeter/greeter_service" >"$WORK_DIR/greeter_service.log" 2>&1 &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null' EXIT
greeted=$("$greeter/greeter_client" Ada Grace) || fail "greeter_client failed: $(cat "$WORK_DIR/greeter_service.log")"
expected='hello, Ada
hello, Grace
Greeting{text: "hello, Ada", number: 1, language: null}
Greeting{text: "hello, Grace", number: 2, language: null}'
[[ $greeted == "$expected" ]] || fail "greeter_client printed: $greeted"
bgctl_greeter() {
  "$bindir/bgctl" --service example.greeter/default --defs "$greeter_src/greeter.bgidl" "$@"
}
described=$(bgctl_greeter describe) || fail "bgctl --defs describe failed"
for line in 'hash:      notfrozen' '1  greet NAME:string LANGUAGE:string? -> Greeting' '3  reset (oneway)'; do
  [[ $described == *"$line"* ]] || fail "bgctl --defs describe lacks '$line': $described"
done
[[ $(bgctl_greeter call greet Alan fr) == *'result: Greeting{text: "bonjour, Alan", number: 3, language: "fr"}' ]] ||
  fail "bgctl --defs call greet gave another answer"
[[ $(bgctl_greeter --json call history 1) == *'"result":[{"text":"bonjour, Alan","number":3,"language":"fr"}]}' ]] ||
  fail "bgctl --defs --json call history gave another answer"
bgctl_greeter call reset >/dev/null || fail "bgctl --defs call reset (oneway) failed"
kill -TERM "$service_pid"
wait "$service_pid" || fail "greeter_service did not stop cleanly on SIGTERM"
trap - EXIT
unset BGS_SERVICE_DIR

echo "== pkg-config consumer"
# Only the new prefix is searched, so an installed copy elsewhere cannot stand in.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --variable=libdir "$binding") == "$libdir" ]] ||
  fail "$binding.pc names libdir $(pkg-config --variable=libdir "$binding"), not $libdir"
flags=$(pkg-config --cflags --libs "$binding")
for lib in binder_ndk "$binding"; do
  [[ " $flags " == *" -l$lib "* ]] || fail "pkg-config --libs $binding lacks -l$lib: $flags"
done
# shellcheck disable=SC2086 # flags are words on purpose
"$CXX" -std=c++17 -Wall -Wextra -Werror $EXTRA_FLAGS "$consumer_src/main.cpp" $flags \
  -Wl,-rpath,"$libdir" -o "$WORK_DIR/pkg_config_consumer"
"$WORK_DIR/pkg_config_consumer"

echo "install check passed"
