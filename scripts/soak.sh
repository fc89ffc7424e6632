#!/usr/bin/env bash
# The soak run: weeks of an oven's life in an hour against the virtual IO board, the fleet agent
# with a local broker and the web console, with the board's, the line's and the broker's troubles
# at random moments. Builds what it needs, then runs scripts/soak.py, which writes a report folder
# (samples.csv, plot.png, summary.txt) under build/soak/ and exits non-zero when a bar is missed.
# Usage: scripts/soak.sh [--minutes N] [--speed S] [--seed K]   (defaults: 60 min, 168x, random)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
echo "soak: building..."
cmake --build "$build" -j2 --target kor_oven_mgr kor_ioboard_sim zebctl kor_fleet_agent \
    kor_webui kor_config_check >/dev/null
report="$build/soak/$(date -u +%Y%m%dT%H%M%SZ)"
exec /usr/bin/python3 "$root/scripts/soak.py" --bin "$build/bin" --config "$root/data/config" \
    --report-dir "$report" "$@"
