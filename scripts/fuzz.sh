#!/usr/bin/env bash
# Builds the fuzz targets of every decoder with clang and runs each for a while, starting from
# the seeds in fuzz/seeds/<target>/. Usage: scripts/fuzz.sh [seconds per target, default 60].
# Installs clang (16: clang 14 lacks the builtin that std::source_location of the g++ 12 library
# needs) and its runtime libraries when missing; the normal build and tests do not need them.
# Builds in build-fuzz/ (KOR_FUZZ_BUILD_DIR overrides); findings are written to
# build-fuzz/findings/<target>/. Prints one line per target; exits 1 when any target found a
# fault (or did not run).
set -euo pipefail
seconds="${1:-60}"
case "$seconds" in
    '' | *[!0-9]*) echo "usage: $0 [seconds per target]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KOR_FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${KOR_FUZZ_JOBS:-2}"
clang=16

"$root/scripts/deps.sh"
missing=()
for p in "clang-$clang" "libclang-rt-$clang-dev"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "fuzz: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

mkdir -p "$build"
CC="clang-$clang" CXX="clang++-$clang" cmake -S "$root" -B "$build" -DKOR_FUZZ=ON \
    -DKOR_BUILD_TESTS=OFF -DKOR_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
targets=(fuzz_bus_dispatch fuzz_vix_io_unserialize fuzz_cpi_reply fuzz_config_store
         fuzz_stat_store fuzz_console_line fuzz_zeb_format fuzz_bridge_request)
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

# The leak checker runs at exit only; UBSan stops at the first undefined behaviour.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=0
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    findings="$build/findings/$t"
    mkdir -p "$corpus" "$findings"
    log="$build/findings/$t.log"
    rc=0
    # The corpus folder grows across runs; the repository's seeds are read, never written.
    "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" "$root/fuzz/seeds/$t" >"$log" 2>&1 || rc=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    cov="$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)"
    if [ "$rc" -eq 0 ]; then
        printf 'fuzz: %-24s ok       %10s executions in %ss, coverage %s\n' "$t" "${runs:-?}" \
            "$seconds" "${cov:-?}"
    else
        failed=1
        artifact="$(ls -t "$findings" 2>/dev/null | head -1)"
        printf 'fuzz: %-24s FINDING  exit %d after %s executions: %s (log %s)\n' "$t" "$rc" \
            "${runs:-?}" "${artifact:+$findings/$artifact}" "$log"
    fi
done
exit "$failed"
