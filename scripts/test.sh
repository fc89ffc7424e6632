#!/usr/bin/env bash
# Installs what is missing, configures, builds with -j2 and runs the whole CTest suite.
# Usage: scripts/test.sh [--sanitize address|thread] [--under-load] [ctest arguments...]
#   Build folder: $BUILD_DIR, default build; build-asan / build-tsan with --sanitize.
#   --sanitize address: everything built with AddressSanitizer, LeakSanitizer and
#     UndefinedBehaviorSanitizer; the whole suite runs.
#   --sanitize thread: everything built with ThreadSanitizer; the tests whose code starts threads
#     run (transport, timers, bus, IO channel, oven manager), unless -R, -L or -I choose others.
# The sanitizer options go into the environment, so the programs the tests start (the virtual IO
# board, the oven manager, consoles, bridges) are checked too; any report fails the test.
#   --under-load: once built, the tests run while stress-ng keeps every core busy (one CPU worker
#     per core, one I/O worker, one worker touching 256 MiB), at normal priority, so that a test
#     that guesses how long something takes fails here rather than on a busy developer's machine
#     or CI. The load is stopped when ctest ends, whatever the result, also on Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sanitize=""
under_load=0
while [ $# -gt 0 ]; do
    case "$1" in
    --sanitize)
        sanitize=${2:-}
        shift 2 || { echo "test.sh: --sanitize needs address or thread" >&2; exit 2; }
        ;;
    --sanitize=*)
        sanitize=${1#--sanitize=}
        shift
        ;;
    --under-load)
        under_load=1
        shift
        ;;
    *) break ;;
    esac
done

# ThreadSanitizer suite: the test suites (names Suite.Case, or Prefix/Suite.Case/N) whose code
# runs threads of its own or talks to another process's threads: the IO board transport and its
# worker, timers, the service bus and its users, the oven manager's request loop and control
# thread, the bridges and IO channels, and the stores' tests that share a handle between threads.
thread_suites='ModbusTransport|ModbusTransportNull|RtuTable|TransportOnBoard|TransportOnSilencedBoard|TransportTeardown'
thread_suites+='|MisbehavingBoard|ManagerSecurity|ManagerStores|BusFloodSecurity|BusBindSecurity|TcpFlood|QueueSecurity'
thread_suites+='|RegisterMapOnBoard|StartupOnBoard|CpiOnBoard'
thread_suites+='|TimerService|TimerTest|SrvTimers|SrvInit'
thread_suites+='|BusTest|BusProcesses|NotifyOnBus|OvenTelvoBus|ZebctlTest|FleetTest|FleetOfferTest|FleetE2E'
thread_suites+='|OvenRequests|ControlTest|ReadyTemp|OvenManagerE2E|OvenWatchdogE2E|FaultInjectionE2E'
thread_suites+='|BridgeTest|SlaveRelayTest|FileTransferToBoard|TcpChannel|QueueChannel'
thread_suites+='|WebuiE2E'
thread_suites+='|ConfigStore|FaultManager|StatStore|OvenConfigUpdates|OperationState|FaultScanRace'
thread_tests="^([A-Za-z0-9_]+/)?($thread_suites)\\."

supp=$root/tests/sanitizers
ctest_extra=()
case "$sanitize" in
"")
    build=${BUILD_DIR:-$root/build}
    ;;
address)
    build=${BUILD_DIR:-$root/build-asan}
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    [ -f "$supp/lsan.supp" ] &&
        export LSAN_OPTIONS="suppressions=$supp/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    ;;
thread)
    build=${BUILD_DIR:-$root/build-tsan}
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    [ -f "$supp/tsan.supp" ] && TSAN_OPTIONS="$TSAN_OPTIONS:suppressions=$supp/tsan.supp"
    chosen=0
    for a in "$@"; do
        case "$a" in -R | -L | -I | --tests-regex | --label-regex | --tests-information) chosen=1 ;; esac
    done
    [ $chosen -eq 1 ] || ctest_extra=(-R "$thread_tests")
    ;;
*)
    echo "test.sh: --sanitize takes address or thread, not '$sanitize'" >&2
    exit 2
    ;;
esac

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOR_SANITIZE="$sanitize" ${CMAKE_ARGS:-}
cmake --build "$build" -j2
cd "$build"

load_pid=""
stop_load() {
    if [ -n "$load_pid" ]; then
        kill -TERM "$load_pid" 2>/dev/null || true
        wait "$load_pid" 2>/dev/null || true
        load_pid=""
    fi
}
if [ $under_load -eq 1 ]; then
    command -v stress-ng >/dev/null || { echo "test.sh: stress-ng is missing" >&2; exit 2; }
    trap stop_load EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # --cpu 0: one worker per online core. The time-out only guards against a load left behind
    # when this script is killed outright.
    stress-ng --quiet --cpu 0 --io 1 --vm 1 --vm-bytes 256M --timeout 2h &
    load_pid=$!
    echo "test.sh: running the tests under load (stress-ng, pid $load_pid)"
fi
ctest --output-on-failure -j2 "${ctest_extra[@]}" "$@"
