#!/usr/bin/env bash
# Runs every test four times: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build, and an
# unoptimised clang build that first checks the lock annotations
# (-Wthread-safety as errors); then a clang build runs the fuzz targets (label
# "fuzz", about a minute in all). Exits non-zero on any failing test,
# sanitizer report, lock-analysis finding or fuzzer finding.
#
#   scripts/run-tests.sh           all builds (what CI runs)
#   scripts/run-tests.sh --quick   the normal build only, for quick local loops
#   KELCACHE_CTEST_ARGS="-L redis" scripts/run-tests.sh --quick   one area
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

jobs=$(nproc)
# Sanitizers stop the program at the first report, so a report fails its test.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The suppressions cover what an uninstrumented system library does (see the file).
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan-suppressions.txt"

run_build() {
  local name=$1 sanitize=$2
  local build="build/ci-$name"
  echo "=== $name build ==="
  # Line tables (-g1) are all that sanitizer reports and failing tests need,
  # and cost far less to build than full debug information; the sanitizer
  # builds compile the library at -O1, as the sanitizers' own documentation
  # advises. The programs that exercise it (tests, tool, examples) build at
  # -O1, and at -O0 under AddressSanitizer: the library's own optimisation
  # level is what matters, and theirs would double their build time. (Under
  # ThreadSanitizer -O0 programs ran their tests slower by what it saved.)
  local flags="-O2 -g1 -DNDEBUG" programs="-O1"
  [ -n "$sanitize" ] && flags="-O1 -g1 -DNDEBUG"
  [ "$sanitize" = address ] && programs="-O0"
  # Configured every time (quick when nothing changed), so that a change of
  # these options reaches an existing build folder.
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELCACHE_SANITIZE="$sanitize" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DKELCACHE_PROGRAM_COMPILE_OPTIONS="$programs" \
    -DKELCACHE_BUILD_BENCHMARKS="$([ -z "$sanitize" ] && echo ON || echo OFF)" >/dev/null
  cmake --build "$build" -j "$jobs"
  # shellcheck disable=SC2086
  ctest --test-dir "$build" --output-on-failure -j "$jobs" ${KELCACHE_CTEST_ARGS:-}
}

# The lock annotations: clang's thread-safety analysis over the library, the
# tests, the tools and the examples (compiling is the check, so the build is
# unoptimised). Its tests then run too: a second compiler catches what
# depends on the compiler, such as the order in which a call's arguments are
# evaluated (gcc mostly goes right to left, clang left to right). The
# mutation and packaging checks, which are about the sources and the install,
# run in the normal build only.
run_lock_analysis() {
  local build="build/ci-locks"
  echo "=== lock analysis build (clang), and its tests ==="
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g0" -DKELCACHE_THREAD_SAFETY_ANALYSIS=ON \
    -DKELCACHE_BUILD_BENCHMARKS=OFF -DKELCACHE_INSTALL=OFF >/dev/null
  cmake --build "$build" -j "$jobs"
  # shellcheck disable=SC2086
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE "mutations|packaging" ${KELCACHE_CTEST_ARGS:-}
}

# The fuzz targets: clang, AddressSanitizer + UndefinedBehaviorSanitizer and
# libFuzzer's coverage instrumentation over the whole tree.
run_fuzz() {
  local build="build/ci-fuzz"
  echo "=== fuzz build ==="
  # -O1 with line tables, as libFuzzer's own documentation builds its targets.
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DKELCACHE_SANITIZE=address -DKELCACHE_BUILD_FUZZERS=ON -DKELCACHE_BUILD_TESTS=OFF \
    -DKELCACHE_BUILD_BENCHMARKS=OFF -DKELCACHE_BUILD_EXAMPLES=OFF -DKELCACHE_BUILD_TOOLS=OFF \
    -DKELCACHE_INSTALL=OFF >/dev/null
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -L fuzz
}

start=$(date +%s)
run_build normal ""
if [ "$quick" -eq 0 ]; then
  run_build asan address
  run_build tsan thread
  run_lock_analysis
  run_fuzz
fi
echo "All test builds passed in $(( $(date +%s) - start )) s."
