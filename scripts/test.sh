#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite with CTest.
# Run as root: the integration tests create network namespaces (without root
# they are skipped with a message).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${SKAV_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${SKAV_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
