#!/usr/bin/env bash
# Benchmarks Vantrel under Wine against a plain Linux watcher (inotifywait piped into cp) on the
# same folders in the same run, and writes bench/REPORT.md with bench/latency.png.
#   bench/run.sh            full run (about 20 minutes), from the repository root, on Debian
#   bench/run.sh --smoke    a short pass over every figure (under 2 minutes), to build/linux-cross/bench-smoke
#   bench/run.sh --pieces-only   the file written in pieces alone (2 minutes), the program only, to
#                                build/linux-cross/bench-pieces (with --smoke: its short version)
#   bench/run.sh --driver host   measure the engine in a headless host instead of Vantrel.exe
#   bench/run.sh --trace DIR     run Vantrel.exe under VantrelDebugView, keep its trace in DIR
#   bench/bench.py --report-only --out bench   rewrite REPORT.md from bench/results.json
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
smoke=no
pieces_only=no
for arg in "$@"; do
    [ "$arg" = --smoke ] && smoke=yes
    [ "$arg" = --pieces-only ] && pieces_only=yes
done

scripts/install-deps.sh inotify-tools python3 python3-pil
# Wine's helpers live beside the loader on Debian.
export PATH=/usr/lib/wine:$PATH

build=build/linux-cross
prefix=$root/$build/bench-wineprefix
if [ "$pieces_only" = yes ]; then
    out=$build/bench-pieces
    report=PIECES-REPORT.md
elif [ "$smoke" = yes ]; then
    out=$build/bench-smoke
    report=SMOKE-REPORT.md
else
    out=bench
    report=REPORT.md
fi

# Configured before the private X server below starts: the test build keeps the display it is
# configured with, and that one goes away with this run.
cmake --preset linux-cross >/dev/null

xvfb_pid=
cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    # Vantrel.exe opens a window and a tray icon: give it a private X server.
    . scripts/private-xvfb.sh
    start_private_xvfb "$build" || { echo "Xvfb did not start" >&2; exit 2; }
fi

cmake --build --preset linux-cross --target Vantrel VantrelDebugView vantrel_bench -- --no-print-directory >/dev/null
scripts/wine-prefix.sh "$prefix"
WINEPREFIX=$prefix WINEDEBUG=-all wineserver -p >/dev/null 2>&1 < /dev/null

export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
/usr/bin/python3 bench/bench.py --build "$build" --prefix "$prefix" --out "$out" "$@"
echo "Report: $out/$report"
