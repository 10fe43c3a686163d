#!/usr/bin/env bash
# The main job: installs what is missing, builds the tour program and runs it.
# The tour needs no server; it starts a private redis-server only when one is
# installed. Arguments are passed to the tour (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=build/release
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKELCACHE_BUILD_TESTS=OFF -DKELCACHE_BUILD_BENCHMARKS=OFF -DKELCACHE_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$build" --target kelcache_tour
exec "$build/examples/kelcache_tour" "$@"
