#!/usr/bin/env bash
# Measures kelcache's paths side by side with their baselines and writes
#   docs/PERFORMANCE.md          the table, the machine, its load, what each path measures
#   build/bench/compare.json     the same figures for programs
#   docs/performance/*.png       throughput and latency plots (gnuplot)
#
# Usage: bench/compare.sh [--quick] [--plots | --no-plots] [--no-build]
#   --quick      fewer and shorter repetitions, no 16-caller points, no plots
#                unless --plots; a few minutes on a 2-core machine
#   --plots      draw the plots (installs gnuplot-nox with apt-get if missing)
#   --no-plots   do not draw them (the default with --quick)
#   --no-build   use the benchmark programs already built in the build folder
# Environment: KELCACHE_COMPARE_BUILD (build folder, default
# build/bench-release), KELCACHE_COMPARE_JOBS (parallel build jobs, default 2).
#
# How a pair is measured: each family's kelcache benchmarks (side A) and
# baseline benchmarks (side B) run as separate invocations of the same
# program in the order A, B, B, A, each with Google Benchmark repetitions;
# a figure is the median over every repetition of its side. Interleaving the
# sides spreads a busy spell of the machine over both. The work is done by
# bench/compare.py; this script prepares the machine, builds, and holds the
# tables of what is compared.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${KELCACHE_COMPARE_BUILD:-$ROOT/build/bench-release}
JOBS=${KELCACHE_COMPARE_JOBS:-2}
COMMAND="bench/compare.sh $*"

quick=0
plots=""
build=1
for argument in "$@"; do
  case "$argument" in
    --quick) quick=1 ;;
    --plots) plots=1 ;;
    --no-plots) plots=0 ;;
    --no-build) build=0 ;;
    -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare.sh: unknown argument $argument (see --help)" >&2; exit 2 ;;
  esac
done
if [ -z "$plots" ]; then
  plots=$((1 - quick))
fi

# ---- The paths: one line each ----
# path | family | kelcache benchmark | baseline benchmark ("-": none) | metric | target
# The metric is a field of Google Benchmark's JSON output: items_per_second
# (higher is better), a latency counter ending in _us or _ns (lower is
# better; the ratio is then baseline over kelcache), or a count, whose target
# reads "max N". Every ratio is kelcache's speed over the baseline's.
PATHS='
redis-load-4k-c1             | redis        | Frame/Load/bytes:4096/real_time/threads:1                  | Raw/Get/bytes:4096/real_time/threads:1                     | items_per_second | 0.8
redis-load-64k-c1            | redis        | Frame/Load/bytes:65536/real_time/threads:1                 | Raw/Get/bytes:65536/real_time/threads:1                    | items_per_second | 0.8
redis-store-4k-c1            | redis        | Frame/Store/bytes:4096/real_time/threads:1                 | Raw/Set/bytes:4096/real_time/threads:1                     | items_per_second | 0.7
redis-store-64k-c1           | redis        | Frame/Store/bytes:65536/real_time/threads:1                | Raw/Set/bytes:65536/real_time/threads:1                    | items_per_second | 0.7
redis-store-4k-c8            | redis        | Frame/Store/bytes:4096/real_time/threads:8                 | Raw/Set/bytes:4096/real_time/threads:8                     | items_per_second | 1.0
redis-load-4k-c8             | redis        | Frame/Load/bytes:4096/real_time/threads:8                  | Raw/Get/bytes:4096/real_time/threads:8                     | items_per_second | 1.0
redis-load-64k-c8            | redis        | Frame/Load/bytes:65536/real_time/threads:8                 | Raw/Get/bytes:65536/real_time/threads:8                    | items_per_second | 1.0
redis-tls-store-4k-c1        | tls          | Tls/Store/bytes:4096/real_time/threads:1                   | Plain/Store/bytes:4096/real_time/threads:1                 | items_per_second | 0.6
redis-tls-load-4k-c1         | tls          | Tls/Load/bytes:4096/real_time/threads:1                    | Plain/Load/bytes:4096/real_time/threads:1                  | items_per_second | 0.6
redis-tls-store-4k-c8        | tls          | Tls/Store/bytes:4096/real_time/threads:8                   | Plain/Store/bytes:4096/real_time/threads:8                 | items_per_second | 0.6
redis-tls-load-4k-c8         | tls          | Tls/Load/bytes:4096/real_time/threads:8                    | Plain/Load/bytes:4096/real_time/threads:8                  | items_per_second | 0.6
disk-store-4k                | disk         | Frame/Store/bytes:4096/real_time                           | Raw/Store/bytes:4096/real_time                             | items_per_second | 0.7
disk-store-64k               | disk         | Frame/Store/bytes:65536/real_time                          | Raw/Store/bytes:65536/real_time                            | items_per_second | 0.8
disk-store-1m                | disk         | Frame/Store/bytes:1048576/real_time                        | Raw/Store/bytes:1048576/real_time                          | items_per_second | 0.8
disk-load-4k                 | disk         | Frame/Load/bytes:4096/real_time                            | Raw/Load/bytes:4096/real_time                              | items_per_second | 0.7
disk-load-64k                | disk         | Frame/Load/bytes:65536/real_time                           | Raw/Load/bytes:65536/real_time                             | items_per_second | 0.8
disk-load-1m                 | disk         | Frame/Load/bytes:1048576/real_time                         | Raw/Load/bytes:1048576/real_time                           | items_per_second | 0.8
coherence-p50                | coherence    | Propagation/Service/messages:5000/iterations:1/real_time   | Propagation/RawPubSub/messages:5000/iterations:1/real_time | p50_us           | 0.83
handoff-c1                   | handoff      | Handoff/Kelcache/real_time                                 | Handoff/MutexCondVar/real_time                             | items_per_second | 0.5
steady-thread-creations-c8   | steady       | SteadyThreadCreations/callers:8/iterations:1/real_time     | -                                                          | threads_created  | max 0
memory-indexed-lookup-1e4-t1 | synchronized | Kelcache/LookupByIndexedPredicate/entries:10000/real_time/threads:1  | LevelDb/LookupByKeyText/entries:10000/real_time/threads:1  | items_per_second | 0.5
memory-indexed-lookup-1e4-t2 | synchronized | Kelcache/LookupByIndexedPredicate/entries:10000/real_time/threads:2  | LevelDb/LookupByKeyText/entries:10000/real_time/threads:2  | items_per_second | 0.5
memory-indexed-lookup-1e5-t2 | synchronized | Kelcache/LookupByIndexedPredicate/entries:100000/real_time/threads:2 | LevelDb/LookupByKeyText/entries:100000/real_time/threads:2 | items_per_second | 0.5
memory-replace-1e4-t1        | synchronized | Kelcache/ReplaceMatchingEntry/entries:10000/real_time/threads:1      | LevelDb/InsertExistingKey/entries:10000/real_time/threads:1 | items_per_second | 0.5
memory-byid-1e5-t2           | synchronized | Kelcache/LookupById/entries:100000/real_time/threads:2               | LevelDb/LookupById/entries:100000/real_time/threads:2      | items_per_second | 1.5
memory-indexed-growth        | memory       | BM_IndexedCache_UseEntryByPredicate/entries:1000000/indexed:1        | BM_IndexedCache_UseEntryByPredicate/entries:1000/indexed:1 | items_per_second | 0.5
'

# ---- The families: one program each ----
# family | program | runs | side A, for the plots too | side B, for the plots too
# runs: ABBA (the pair order above), once (side A alone, one repetition: the
# steady-state count) or plots (side A once, only when plots are drawn).
# The last two columns are regular expressions of extra benchmarks run with
# the side ("-": none); CALLERS stands for the caller counts of the plots.
FAMILIES='
redis           | bench_RedisExternalCacheBench | ABBA  | Frame/(Store|Load)/bytes:(4096|65536)/real_time/threads:(CALLERS) | Raw/(Set|Get)/bytes:(4096|65536)/real_time/threads:(CALLERS)
tls             | bench_RedisTlsBench           | ABBA  | -                                             | -
disk            | bench_ExternalCacheBench      | ABBA  | -                                             | -
coherence       | bench_CoherenceBench          | ABBA  | -                                             | -
handoff         | bench_HandoffBench            | ABBA  | -                                             | -
synchronized    | bench_SynchronizedCacheBench  | ABBA  | -                                             | -
memory          | bench_MemoryCacheBench        | ABBA  | -                                             | -
steady          | bench_RedisExternalCacheBench | once  | -                                             | -
redis-tool      | bench_RedisExternalCacheBench | plots | RedisBenchmarkTool/bytes:(4096|65536)/clients:(CALLERS)/iterations:1 | -
handoff-latency | bench_HandoffBench            | plots | HandoffLatency/.*                             | -
'

cd "$ROOT"

# ---- The machine ----
"$ROOT/scripts/install-deps.sh"
if ! command -v python3 >/dev/null; then
  echo "compare.sh needs python3 (apt-get install python3)" >&2
  exit 1
fi
if [ "$plots" = 1 ] && ! command -v gnuplot >/dev/null; then
  echo "Installing gnuplot-nox for the plots"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends gnuplot-nox >/dev/null
fi

# ---- The programs ----
programs=$(printf '%s\n' "$FAMILIES" | awk -F'|' 'NF > 1 && $1 !~ /^ *#/ { gsub(/ /, "", $2); print $2 }' | sort -u)
if [ "$build" = 1 ]; then
  started=$(date +%s)
  if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DKELCACHE_BUILD_BENCHMARKS=ON -DKELCACHE_BUILD_TESTS=OFF \
      -DKELCACHE_BUILD_TOOLS=OFF -DKELCACHE_BUILD_EXAMPLES=OFF -DKELCACHE_INSTALL=OFF >/dev/null
  fi
  # shellcheck disable=SC2086  # one word per program
  ninja -C "$BUILD" -j"$JOBS" $programs
  echo "compare.sh: build took $(($(date +%s) - started)) s"
fi

# ---- The runs and the report ----
export KELCACHE_COMPARE_PATHS="$PATHS"
export KELCACHE_COMPARE_FAMILIES="$FAMILIES"
options=(--root "$ROOT" --programs "$BUILD/bench" --runs "$BUILD/compare-runs"
         --json "$ROOT/build/bench/compare.json" --doc "$ROOT/docs/PERFORMANCE.md"
         --plot-dir "$ROOT/docs/performance" --command "$COMMAND")
if [ "$quick" = 1 ]; then options+=(--quick); fi
if [ "$plots" = 1 ]; then options+=(--plots); fi
exec python3 "$ROOT/bench/compare.py" "${options[@]}"
