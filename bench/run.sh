#!/bin/sh
# Builds one benchmark if needed (in build-bench, or $SKAV_BENCH_BUILD) and
# runs it: run.sh tftp|crowd|parallel|hop|shift|lookup|progress [options of the benchmark].
set -e
name=${1:?usage: run.sh tftp|crowd|parallel|hop|shift|lookup|progress [options]}
shift
src=$(cd "$(dirname "$0")/.." && pwd)
build=${SKAV_BENCH_BUILD:-$src/build-bench}
log=$(mktemp /tmp/skav-bench-build.XXXXXX)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$build" >"$log" 2>&1 || { cat "$log"; rm -f "$log"; exit 2; }
fi
cmake --build "$build" --target "skav-bench-$name" -j2 >"$log" 2>&1 ||
  { cat "$log"; rm -f "$log"; exit 2; }
rm -f "$log"
exec "$build/bench/skav-bench-$name" "$@"
