#!/usr/bin/env bash
# Builds the project and runs every test (unit, component and end-to-end).
# Usage: ./run-tests.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/build}"
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" --timeout 600
