#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, SKAV_FUZZ=ON) and runs each of them.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target, 20 by default (scripts/fuzz.sh 600 for a longer run);
# TARGETs by short name (skav_msg client_msg tftp_rx rx_frame password
# select_file remote_frame), all by default. Prints the executions of every
# target and exits non-zero when any of them crashed; the input that did it
# is kept under build-fuzz/fuzz-work/artifacts/TARGET/. Corpora grow in
# build-fuzz/fuzz-work/corpus/ (kept between runs); the hand-written seeds
# in tests/fuzz/corpus/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
all=(skav_msg client_msg tftp_rx rx_frame password select_file remote_frame)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

build=${SKAV_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${SKAV_FUZZ_JOBS:-2}

# libFuzzer's driver comes with clang's runtime package, not with clang.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
  >"$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  echo "fuzz: clang++ cannot link -fsanitize=fuzzer; install clang and" \
    "libclang-rt-14-dev (apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKAV_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$jobs"

# An upload start opens a UDP socket that only reserves a port (nothing is
# sent on it, every frame goes to an in-memory port). As root each target
# gets a network namespace of its own, which disappears with it.
netns=()
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  netns=(unshare --net --)
fi

work="$build/fuzz-work"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
declare -A execs result
for t in "${targets[@]}"; do
  exe="$build/tests/fuzz/fuzz_$t"
  if [ ! -x "$exe" ]; then
    echo "fuzz: no target '$t' (known: ${all[*]})" >&2
    exit 2
  fi
  corpus="$work/corpus/$t"
  artifacts="$work/artifacts/$t"
  log="$work/$t.log"
  mkdir -p "$corpus" "$artifacts"
  rm -f "$artifacts"/*
  echo "== fuzz_$t for ${seconds}s"
  set +e
  # The outer limit only catches a driver that never returns.
  timeout --signal=KILL $((seconds + 300)) "${netns[@]}" "$exe" \
    -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -timeout=30 -rss_limit_mb=4096 -artifact_prefix="$artifacts/" \
    "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 |
    awk '{print $2}')
  execs[$t]=${n:-?}
  if [ $rc -eq 0 ]; then
    result[$t]=ok
  else
    result[$t]="CRASH (exit $rc)"
    failed+=("$t")
    echo "-- fuzz_$t failed; last lines of $log:"
    tail -n 40 "$log"
    ls -1 "$artifacts" | sed 's/^/   artifact: /'
  fi
done

echo
printf '%-14s %14s  %s\n' target executions result
for t in "${targets[@]}"; do
  printf '%-14s %14s  %s\n' "$t" "${execs[$t]}" "${result[$t]}"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: crashed: ${failed[*]} (reproduce: $build/tests/fuzz/fuzz_TARGET ARTIFACT;" \
    "SKAV_FUZZ_TRACE=1 shows each record)" >&2
  exit 1
fi
