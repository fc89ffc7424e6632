#!/usr/bin/env bash
# The demo: installs what is missing, builds, and runs a visible bake of the oven manager against
# the virtual IO board, with the fleet agent linking the oven's reports to a local MQTT broker.
# Everything it starts is stopped at the end, also when interrupted (Ctrl-C).
# Usage: scripts/demo.sh [--speed N]   (the oven physics N times faster; default 40)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "demo: building (this takes a few minutes on a fresh clone)..."
cmake --build "$build" -j2 --target kor_oven_mgr kor_ioboard_sim zebctl kor_fleet_agent >/dev/null
cmake --build "$build" -j2 --target kor_webui >/dev/null
exec python3 "$root/scripts/demo.py" --bin "$build/bin" --config "$root/data/config" "$@"
