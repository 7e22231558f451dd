#!/usr/bin/env bash
# Builds the project, creates a default simulated machine in a fresh folder, starts it
# and runs MirovaneTool at its console on it. Usage: ./run-machine.sh [machine-root]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/build"
root="${1:-$(mktemp -d /tmp/mirovane-machine-XXXXXX)}"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
export MIROVANE_MACHINE="$root"
if [ -x "$build/sim/mirovane-machine" ]; then
  "$build/sim/mirovane-machine" create "$root"
  "$build/sim/mirovane-machine" up "$root"
  trap '"$build/sim/mirovane-machine" down "$root"' EXIT
fi
echo "machine root: $root"
cd "$build/tool/frontend"
"./MirovaneTool"
