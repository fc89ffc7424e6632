#!/usr/bin/env bash
# Installs what is missing, configures, builds with -j2 and runs the whole CTest suite.
# Usage: scripts/test.sh [ctest arguments...]   (build folder: $BUILD_DIR, default build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2 "$@"
