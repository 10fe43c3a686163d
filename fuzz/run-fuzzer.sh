#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds on a scratch corpus seeded
# from fuzz/corpus/<target>/, and fails on any crash, leak or sanitizer
# report (libFuzzer exits non-zero and writes the input as crash-*).
#
#   fuzz/run-fuzzer.sh <fuzzer binary> [seconds]
#
# Findings are written to the scratch folder, whose path is printed.
set -euo pipefail
# The binary is found before the script moves into the scratch folder.
binary=$(realpath "$1")
seconds=${2:-15}
name=$(basename "$binary")
name=${name#fuzz_}
seeds="$(cd "$(dirname "$0")" && pwd)/corpus/$name"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelcache-fuzz-$name.XXXXXX")
echo "fuzzing $name for $seconds s; scratch corpus and findings in $scratch"
cd "$scratch"
mkdir corpus
exec "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$scratch/" corpus "$seeds"
