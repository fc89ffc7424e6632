#!/usr/bin/env bash
# Builds the Debian package kor-oven from this tree: installs what is missing, configures a
# Release build without tests and benchmarks, builds with -j2 and runs cpack -G DEB. Prints the
# path of the .deb as its last line.
# Usage: scripts/package.sh   (build folder: $PACKAGE_BUILD_DIR, default build-package)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PACKAGE_BUILD_DIR:-$root/build-package}
"$root/scripts/deps.sh"
# The package installs under /usr: configured for it, the files that name an installed path (the
# library folder, the service units) name the one the package uses.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DKOR_BUILD_TESTS=OFF -DKOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
deb=$(ls "$build"/packages/*.deb)
echo "package: $deb"
