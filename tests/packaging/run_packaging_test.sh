#!/usr/bin/env bash
# Usage: run_packaging_test.sh <kelcache build dir> <kelcache source dir> <work dir>
set -euo pipefail
build=$1 source=$2 work=$3
consumer="$source/tests/packaging/consumer"
rm -rf "$work"
mkdir -p "$work"

echo "--- install into a prefix, then find_package(kelcache CONFIG)"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$consumer" -B "$work/find-package" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/find-package" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}" "$work/find-package/kelcache_consumer"

echo "--- add_subdirectory() of the source tree"
# No build type, and utfcpp hidden: the library needs neither, and a consumer
# that sets no build type must keep it empty.
cmake -S "$consumer" -B "$work/subdirectory" -G Ninja -DCMAKE_DISABLE_FIND_PACKAGE_utf8cpp=ON \
  -DKELCACHE_CONSUMER_USE_SUBDIRECTORY=ON -DKELCACHE_SOURCE_DIR="$source" >/dev/null
cmake --build "$work/subdirectory" >/dev/null
"$work/subdirectory/kelcache_consumer"
# add_subdirectory must not bring kelcache's own tests or tools along.
if [ -d "$work/subdirectory/kelcache/tests" ]; then
  echo "kelcache's tests were configured although kelcache was not the top-level project" >&2
  exit 1
fi
if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=' "$work/subdirectory/CMakeCache.txt"; then
  echo "add_subdirectory changed the consumer's build type:" >&2
  grep '^CMAKE_BUILD_TYPE' "$work/subdirectory/CMakeCache.txt" >&2
  exit 1
fi
echo "packaging test passed"
