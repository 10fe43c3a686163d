#!/usr/bin/env bash
# Usage: installed_tool_test.sh <kelcache build dir> <work dir>
# Installs the build into a fresh prefix and runs the installed kelcache
# program from there, with no library path set: it must find its library.
set -euo pipefail
build=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
tool="$work/prefix/bin/kelcache"
[ -x "$tool" ] || { echo "cmake --install did not install bin/kelcache" >&2; exit 1; }
env -u LD_LIBRARY_PATH "$tool" --version
printf 'installed' | env -u LD_LIBRARY_PATH "$tool" disk put --dir "$work/cache" --ns N k >/dev/null
[ "$(env -u LD_LIBRARY_PATH "$tool" disk get --dir "$work/cache" --ns N k)" = installed ]
echo "installed tool test passed"
