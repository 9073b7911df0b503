#!/bin/sh
# The soak: builds skav-soak if needed (in build-soak, or $SKAV_SOAK_BUILD)
# and runs it as root for MINUTES (default 3):
#   scripts/soak.sh [MINUTES] [options of skav-soak, see --help]
# Not part of the test run: it takes minutes. Exit status 0 when no fault
# was found, 1 on a fault, 2 when it could not run, 3 on a crash.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${SKAV_SOAK_BUILD:-$src/build-soak}
mode=""
case "${1:-}" in
  --stop-under-load) mode=$1; shift ;;
  [0-9]*) mode="--minutes $1"; shift ;;
  *) mode="--minutes 3" ;;
esac

log=$(mktemp /tmp/skav-soak-build.XXXXXX)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$build" >"$log" 2>&1 || { cat "$log"; rm -f "$log"; exit 2; }
fi
cmake --build "$build" --target skav-soak -j2 >"$log" 2>&1 ||
  { cat "$log"; rm -f "$log"; exit 2; }
rm -f "$log"

run=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 ||
    { echo "soak.sh: needs root for its network namespaces" >&2; exit 2; }
  run=sudo
fi
set +e
# shellcheck disable=SC2086 # $mode is one option and its value
$run "$build/tools/skav-soak" $mode "$@" &
pid=$!
wait $pid
rc=$?
if [ $rc -gt 128 ]; then
  echo "soak.sh: skav-soak died of signal $((rc - 128)): a crash" >&2
  # Its namespaces carry its pid; the devices' simulators end with it.
  for ns in $($run ip netns list 2>/dev/null | awk '{print $1}' | grep "^skavsoak$pid-"); do
    $run ip netns del "$ns"
  done
  exit 3
fi
exit $rc
