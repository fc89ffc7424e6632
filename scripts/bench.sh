#!/usr/bin/env bash
# Builds the benchmarks, runs every one of them on this machine and prints one table: figure,
# value, the peer measured beside it in the same run, their ratio, the bar, and ok/FAIL ("info"
# where there is no bar). Exits non-zero when a bar is missed or a benchmark fails.
# Usage: scripts/bench.sh   (build folder: $BUILD_DIR, default build; the raw outputs are kept in
# $BUILD_DIR/bench-out)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"

# What only the benchmarks need: the Python peer of the transport and the instruction counter.
missing=()
for p in python3-pymodbus valgrind; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOR_BUILD_BENCH=ON \
    ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2 --target bench_transport bench_bus_fanout bench_control_cycle \
    bench_io_channel bench_cpi_transfer bench_oven_mgr bench_fleet_agent kor_ioboard_sim \
    kor_oven_mgr kor_fleet_agent >/dev/null
cmake --build "$build" -j2 --target bench_webui kor_webui >/dev/null

bin=$build/bin
out=$build/bench-out
rm -rf "$out"
mkdir -p "$out"
export KOR_BIN_DIR=$bin KOR_SOURCE_DIR=$root
rows=$out/rows.tsv
: >"$rows"
status=0

row() {  # figure value peer ratio bar verdict
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$rows"
    [ "$6" != FAIL ] || status=1
}

# Runs one benchmark into $out/NAME.txt; a benchmark that breaks (not one that misses its bar,
# which its rows show) gives a FAIL row of its own.
run() {
    local name=$1
    shift
    echo "bench: running $name" >&2
    local rc=0
    "$bin/$name" "$@" >"$out/$name.txt" 2>&1 || rc=$?
    if [ "$rc" -gt 1 ]; then
        row "$name" "broke (exit $rc)" "-" "-" "-" FAIL
        tail -5 "$out/$name.txt" >&2
    fi
}

# The programs that print ROW lines.
run bench_transport
run bench_bus_fanout
run bench_fleet_agent
row_files=("$out/bench_transport.txt" "$out/bench_bus_fanout.txt" "$out/bench_fleet_agent.txt")
grep -h '^ROW' "${row_files[@]}" | cut -f2- >>"$rows" || true
if grep -h '^ROW' "${row_files[@]}" | grep -q $'\tFAIL$'; then
    status=1
fi
# The web console's event stream.
run bench_webui
grep -h '^ROW' "$out/bench_webui.txt" | cut -f2- >>"$rows" || true
if grep -h '^ROW' "$out/bench_webui.txt" | grep -q $'\tFAIL$'; then
    status=1
fi

# IO channel round trips.
run bench_io_channel
if f=$out/bench_io_channel.txt && grep -q 'median ratio' "$f"; then
    raw=$(sed -n 's/^raw msgsnd\/msgrcv: *\([0-9]*\).*/\1/p' "$f")
    chan=$(sed -n 's/^IO channel: *\([0-9]*\).*/\1/p' "$f")
    ratio=$(sed -n 's/^median ratio of the pairs: \([0-9.]*\).*/\1/p' "$f")
    verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.9) ? "ok" : "FAIL" }')
    row "IO channel round trips/s" "$chan" "raw msgsnd/msgrcv $raw" "$ratio" ">= 0.9" "$verdict"
fi

# Firmware transfer at 57600 baud.
run bench_cpi_transfer
if f=$out/bench_cpi_transfer.txt && grep -q 'ratio:' "$f"; then
    got=$(sed -n 's/^ *payload: *\([0-9.]*\) bytes\/s achieved, \([0-9.]*\).*/\1/p' "$f")
    limit=$(sed -n 's/^ *payload: *\([0-9.]*\) bytes\/s achieved, \([0-9.]*\).*/\2/p' "$f")
    ratio=$(sed -n 's/^ *ratio: *\([0-9.]*\).*/\1/p' "$f")
    verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.9) ? "ok" : "FAIL" }')
    grep -q 'update succeeded, image intact' "$f" || verdict=FAIL
    row "firmware transfer 57600 baud, bytes/s" "$got" "wire limit $limit" "$ratio" ">= 0.9" \
        "$verdict"
fi

# The oven manager: request latency, CPU share and memory at bake.
run bench_oven_mgr
f=$out/bench_oven_mgr.txt
while IFS= read -r line; do
    figure=$(printf '%s' "${line:0:42}" | sed 's/ *$//')
    value=$(printf '%s' "${line:43:9}" | tr -d ' ')
    unit=$(printf '%s' "${line:53:4}" | tr -d ' ')
    bar=$(printf '%s' "${line:58:20}" | sed 's/ *$//')
    verdict=${line##* }
    [ "$verdict" = ok ] || [ "$verdict" = info ] || verdict=FAIL
    row "manager: $figure ($unit)" "$value" "-" "-" "$bar" "$verdict"
done < <(grep -E '^(request -> register 56|CPU share|resident memory)' "$f" || true)

# Instructions per control cycle: callgrind's count of the main thread with N cycles, minus the
# same with none, over N; twice, with two N, to show it repeats.
echo "bench: running bench_control_cycle under callgrind" >&2
main_thread_ir() {
    local n=$1
    valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out/callgrind.$n" \
        "$bin/bench_control_cycle" "$n" >"$out/bench_control_cycle.$n.txt" 2>&1 || return 1
    sed -n 's/^summary: *//p' "$out/callgrind.$n-01"
}
if base=$(main_thread_ir 0) && ir200=$(main_thread_ir 200) && ir400=$(main_thread_ir 400); then
    per200=$(( (ir200 - base) / 200 ))
    per400=$(( (ir400 - base) / 400 ))
    row "instructions per control cycle (N=200)" "$per200" "N=400: $per400" \
        "$(awk -v a="$per200" -v b="$per400" 'BEGIN { printf "%.3f", a / b }')" "-" info
else
    row "instructions per control cycle" "broke" "-" "-" "-" FAIL
fi

echo
echo "Benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| figure | value | peer | ratio | bar | ok/FAIL |"
echo "|---|---|---|---|---|---|"
while IFS=$'\t' read -r figure value peer ratio bar verdict; do
    echo "| $figure | $value | $peer | $ratio | $bar | $verdict |"
done <"$rows"
exit $status
