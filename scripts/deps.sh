#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those that are missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libmodbus-dev libgtest-dev libgmock-dev googletest
          libbenchmark-dev clang-format python3 nlohmann-json3-dev dpkg-dev
          libsystemd-dev stress-ng mosquitto mosquitto-clients libmosquitto-dev libsodium-dev
          help2man lintian openssl)
# The service units' checks (systemd-analyze) and the package test's scratch root (unshare, chroot;
# adduser for the maintainer scripts).
packages+=(systemd util-linux coreutils adduser)
# The web console: its HTTP server and its password hashing.
packages+=(libcpp-httplib-dev)
# The chart library the console page serves itself (ovens are often offline).
packages+=(libjs-chart.js)
# The console's browser test: headless Chromium driven by Selenium (for /usr/bin/python3).
packages+=(chromium chromium-driver python3-selenium)
# The soak run: its broker watcher and its plot.
packages+=(python3-paho-mqtt python3-matplotlib)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
