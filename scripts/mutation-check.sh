#!/usr/bin/env bash
# Mutation check: does the test suite catch the faults in tests/mutations/?
#
# Each tests/mutations/*.patch is one small fault in a library source file
# (a .cpp under host/, main/ or public/). Its header (lines starting with '#',
# which git apply skips) names the fault and the test programs that must catch
# it:
#
#   # fault: MRUPolicy keeps the least recently used entries
#   # targets: utility_CacheTest
#
# How it runs, cheaply on a small machine:
#   1. The build folder (default ./build) is brought up to date for the
#      library and every named test program, and the programs must pass.
#   2. The library's sources are copied into a scratch folder (reused between
#      runs).
#      For each patch: apply it to the copy, recompile only the patched
#      files with the build's own compile commands, relink libkelcache.so
#      into a folder of its own with those objects swapped in, revert.
#   3. The named test programs of the build folder run against that library
#      (LD_LIBRARY_PATH; the programs link libkelcache.so dynamically and
#      find it through RUNPATH, which the variable overrides). The first
#      failure stops a program. The patch is "caught" when a program fails,
#      crashes or times out.
# A mutated library is kept under the scratch folder, keyed by the patch, the
# clean text of the files it touches and the link command, so a second run
# (after the tests changed, say) only runs tests.
#
# Usage: scripts/mutation-check.sh [-b build-dir] [-p programs-dir] [-n] [-s scratch-dir] [-o table.md] [patch...]
#   -b  configured build folder (default <repo>/build; configured if missing)
#   -p  where to look for the test programs (default <build>/tests): a copy
#       of an earlier build's programs, to compare the tests of two versions
#   -n  do not build (the build folder is up to date, or busy elsewhere)
#   -s  scratch folder (default /tmp/kelcache-mutation)
#   -o  also write the result table (markdown) to this file
#   patches default to every tests/mutations/*.patch
# Environment: MUTATION_JOBS (default 2) build jobs, MUTATION_TIMEOUT (default
# 300) seconds per test program.
#
# Exit status: 0 when every patch is caught, 1 when one is missed, 2 when the
# clean tree does not build or its tests fail, or a patch does not apply or
# compile.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
scratch=/tmp/kelcache-mutation
table_out=""
programs=""
no_build=0
while getopts "b:p:ns:o:" opt; do
  case $opt in
    p) programs=$OPTARG ;;
    n) no_build=1 ;;
    b) build=$(cd "$OPTARG" 2>/dev/null && pwd || echo "$OPTARG") ;;
    s) scratch=$OPTARG ;;
    o) table_out=$OPTARG ;;
    *) echo "usage: $0 [-b build-dir] [-p programs-dir] [-n] [-s scratch-dir] [-o table.md] [patch...]" >&2; exit 2 ;;
  esac
done
[ -n "$programs" ] || programs=$build/tests
shift $((OPTIND - 1))
jobs=${MUTATION_JOBS:-2}
per_program_timeout=${MUTATION_TIMEOUT:-300}

patches=()
if [ $# -gt 0 ]; then
  for p in "$@"; do patches+=("$(cd "$(dirname "$p")" && pwd)/$(basename "$p")"); done
else
  for p in "$repo"/tests/mutations/*.patch; do patches+=("$p"); done
fi
[ ${#patches[@]} -gt 0 ] || { echo "no patches" >&2; exit 2; }

src=$scratch/src
log=$scratch/logs
libs=$scratch/libs
mkdir -p "$src" "$log" "$libs" "$scratch/obj"

header_value() {  # header_value <patch> <key>
  sed -n "s/^# $2: *//p" "$1" | head -n 1
}

patched_files() {  # the files a patch changes, relative to the tree
  sed -n 's|^+++ b/||p' "$1"
}

program_path() {  # the executable of a test target
  find "$programs" -type f -name "$1" -perm -u+x -print -quit
}

run_programs() {  # run_programs <library-dir or ""> <logfile> <targets...>: 0 when all pass
  local libdir=$1 logfile=$2; shift 2
  local t exe
  for t in "$@"; do
    exe=$(program_path "$t")
    if [ -z "$exe" ]; then echo "no program for $t" >>"$logfile"; return 2; fi
    echo "== $t" >>"$logfile"
    if ! (cd "$(dirname "$exe")" &&
          if [ -n "$libdir" ]; then export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"; fi &&
          timeout "$per_program_timeout" "$exe" --gtest_fail_fast --gtest_brief=1) >>"$logfile" 2>&1; then
      echo "== $t FAILED" >>"$logfile"
      return 1
    fi
  done
  return 0
}

# --- 1. the build folder ------------------------------------------------------
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELCACHE_BUILD_BENCHMARKS=OFF >"$log/configure.log" 2>&1 ||
    { echo "configure failed, see $log/configure.log" >&2; exit 2; }
fi
all_targets=$(for p in "${patches[@]}"; do header_value "$p" targets; done | tr ' ' '\n' | sed '/^$/d' | sort -u)
if [ $no_build -eq 0 ]; then
  echo "building the library and $(echo "$all_targets" | wc -l) test programs in $build ..."
  # shellcheck disable=SC2086
  cmake --build "$build" -j"$jobs" --target kelcache $all_targets >"$log/clean-build.log" 2>&1 ||
    { echo "build failed, see $log/clean-build.log" >&2; exit 2; }
fi
: >"$log/clean-run.log"
# shellcheck disable=SC2086
run_programs "" "$log/clean-run.log" $all_targets ||
  { echo "tests fail on the clean tree, see $log/clean-run.log" >&2; exit 2; }

# --- 2. the scratch copy and the build's commands ----------------------------
# Only the library's sources are patched and compiled from the copy; tar keeps
# the files' times.
rm -rf "$src" && mkdir -p "$src"
(cd "$repo" && git ls-files -co --exclude-standard -z -- host main public) |
  (cd "$repo" && tar --null -T - -cf -) | (cd "$src" && tar -xpf -)
ninja -C "$build" -t compdb >"$scratch/compdb.json" 2>/dev/null
link_command=$(ninja -C "$build" -t commands kelcache | grep -- ' -shared ' | tail -n 1)
soname=$(echo "$link_command" | grep -o -- '-Wl,-soname,[^ ]*' | sed 's/-Wl,-soname,//')
[ -n "$link_command" ] && [ -n "$soname" ] || { echo "cannot find the link command of libkelcache" >&2; exit 2; }

compile_command() {  # compile_command <file relative to the tree> <object out>
  python3 - "$scratch/compdb.json" "$repo" "$src" "$1" "$2" <<'EOF'
import json, shlex, sys
db, repo, src, rel, out = sys.argv[1:]
for e in json.load(open(db)):
    if (e["file"] == rel or e["file"].endswith("/" + rel)) and "kelcache.dir" in e.get("output", e["command"]):
        args = shlex.split(e["command"])
        result, skip = [], False
        for a in args:
            if skip: skip = False; continue
            if a in ("-MD",): continue
            if a in ("-MT", "-MF"): skip = True; continue
            result.append(a)
        i = result.index("-o"); old = result[i + 1]; result[i + 1] = out
        result[result.index("-c") + 1] = f"{src}/{rel}"
        print(old); print(shlex.join(result)); break
EOF
}

# Builds the library with a patch; prints the folder that holds it.
mutated_library() {  # mutated_library <patch> <logfile>
  local p=$1 plog=$2 f key dir
  key=$( { cat "$p"; for f in $(patched_files "$p"); do cat "$repo/$f"; done; echo "$link_command"; } | sha1sum | cut -c1-16)
  dir=$libs/$(basename "$p" .patch)-$key
  if [ -f "$dir/$soname" ]; then echo "$dir"; return 0; fi
  (cd "$src" && git apply "$p") >>"$plog" 2>&1 || { echo "does not apply" >>"$plog"; return 1; }
  local cmd="$link_command" ok=1 out info old new
  for f in $(patched_files "$p"); do
    case $f in *.cpp) ;; *) echo "only .cpp files can be patched: $f" >>"$plog"; ok=0; break ;; esac
    out=$scratch/obj/$(echo "$f" | tr '/' '_').o
    info=$(compile_command "$f" "$out")
    old=$(echo "$info" | sed -n 1p); new=$(echo "$info" | sed -n 2p)
    if [ -z "$new" ]; then echo "no compile command for $f" >>"$plog"; ok=0; break; fi
    (cd "$build" && eval "$new") >>"$plog" 2>&1 || { ok=0; break; }
    cmd=${cmd//" $old "/" $out "}
  done
  (cd "$src" && git apply -R "$p") >>"$plog" 2>&1
  [ $ok -eq 1 ] || return 1
  mkdir -p "$dir.tmp"
  local target
  target=$(echo "$link_command" | grep -o -- ' -o [^ ]*' | sed 's/ -o //')
  cmd=${cmd//" -o $target "/" -o $dir.tmp/$soname "}
  cmd=${cmd%%&& /usr/bin/cmake*}
  (cd "$build" && eval "${cmd#: && }") >>"$plog" 2>&1 || return 1
  rm -rf "$dir" && mv "$dir.tmp" "$dir"
  echo "$dir"
}

# --- 3. each patch ------------------------------------------------------------
rows=()
caught=0; missed=0; broken=0
for p in "${patches[@]}"; do
  name=$(basename "$p" .patch)
  fault=$(header_value "$p" fault)
  targets=$(header_value "$p" targets)
  plog=$log/$name.log
  : >"$plog"
  start=$(date +%s)
  if ! libdir=$(mutated_library "$p" "$plog"); then
    result="broken"; broken=$((broken + 1))
  elif loaded=$(LD_LIBRARY_PATH=$libdir ldd "$(program_path "${targets%% *}")") &&
       [[ $loaded != *"$libdir/$soname"* ]]; then
    echo "the test program does not load $libdir/$soname" >>"$plog"
    result="broken"; broken=$((broken + 1))
  else
    # shellcheck disable=SC2086
    if run_programs "$libdir" "$plog" $targets; then
      result="MISSED"; missed=$((missed + 1))
    else
      result="caught"; caught=$((caught + 1))
    fi
  fi
  secs=$(( $(date +%s) - start ))
  printf '%-36s %-8s %4ss  %s\n' "$name" "$result" "$secs" "$targets"
  rows+=("| $name | $fault | $targets | $result |")
done

summary="${#patches[@]} faults: $caught caught, $missed missed, $broken broken"
echo "$summary"
if [ -n "$table_out" ]; then
  {
    echo "| patch | fault | test programs | result |"
    echo "|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo
    echo "$summary"
  } >"$table_out"
fi
[ $broken -eq 0 ] || exit 2
[ $missed -eq 0 ] || exit 1
exit 0
