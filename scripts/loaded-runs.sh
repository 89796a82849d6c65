#!/usr/bin/env bash
# Runs the test suite again and again on a busy machine, each run from a fresh Wine prefix, to
# catch tests that pass only when the machine is idle.
#   scripts/loaded-runs.sh [-n RUNS] [-- CTEST ARGUMENTS...]
# RUNS defaults to 10. Arguments after -- go to ctest (for example -R 'app_tests|ui_tests').
# Both cores are kept busy meanwhile by stress-ng --cpu 2, or by two busy shell loops where
# stress-ng is not installed. The build must exist (scripts/test.sh makes it); DISPLAY is the
# one the build was configured with. Each run's output goes to build/linux-cross/loaded-runs/.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/linux-cross
runs=10
while [ $# -gt 0 ]; do
    case $1 in
    -n) runs=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [-n RUNS] [-- CTEST ARGUMENTS...]" >&2; exit 2 ;;
    esac
done
if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "No build in $build: run scripts/test.sh first" >&2
    exit 2
fi
logs=$build/loaded-runs
mkdir -p "$logs"
prefix=$build/wineprefix

load_pids=()
stop_load() {
    for pid in "${load_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait "${load_pids[@]}" 2>/dev/null
    load_pids=()
}
trap 'stop_load; exit 130' INT TERM
if command -v stress-ng >/dev/null; then
    stress-ng --cpu 2 --quiet >/dev/null 2>&1 &
    load_pids+=($!)
    load="stress-ng --cpu 2"
else
    for _ in 1 2; do
        sh -c 'while :; do :; done' &
        load_pids+=($!)
    done
    load="two busy loops"
fi
echo "Load: $load; $runs runs of ctest $*"

failures=0 slowest=0 slowest_run=0
for run in $(seq "$runs"); do
    # A prefix left by an interrupted run may still have its wineserver.
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1
    rm -rf "$prefix"
    log=$logs/run-$run.log
    start=$(date +%s)
    (cd "$root" && ctest --preset linux-cross "$@") >"$log" 2>&1
    status=$?
    seconds=$(($(date +%s) - start))
    if [ "$seconds" -gt "$slowest" ]; then
        slowest=$seconds slowest_run=$run
    fi
    if [ $status -eq 0 ]; then
        echo "run $run: pass  ${seconds} s"
    else
        failures=$((failures + 1))
        echo "run $run: FAIL  ${seconds} s  ($log)"
        grep -E '^\[  FAILED  \] [A-Za-z]|\*\*\*(Failed|Timeout)|Failed  ' "$log" | sort -u |
            sed 's/^/    /'
    fi
done
stop_load
echo "runs: $runs  failures: $failures  slowest: ${slowest} s (run $slowest_run)"
[ $failures -eq 0 ]
