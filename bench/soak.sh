#!/usr/bin/env bash
# The soak: Vantrel.exe under Wine with a seeded, randomized workload on three pairs and faults
# mixed in, then a check that every file still in a source tree is in its destination with its
# final content (bench/vantrel_soak.cpp says what the workload does and what is checked).
#   bench/soak.sh [--seconds N] [--seed N] [--settle N]
#       from the repository root, on Debian; installs what it needs and builds what it runs.
#       --seconds  length of the workload (default 600); --seed  the workload's seed (default:
#       a random one, printed); --settle  longest wait for waiting copies afterwards (120);
#       --without KIND,...  leave kinds of operation out (see bench/vantrel_soak.cpp);
#       --program EXE  soak another build of Vantrel.exe (an instrumented one, say);
#       --restart-every N  restart about every N s instead of every minute;
#       --trust-batches  the program trusts its change batches as on Windows
#       (VANTREL_TRUST_BATCHES=1), and no folder is renamed inside a watched tree, which Wine's
#       batches get wrong; without it the program behaves as it does under Wine.
#   bench/soak.sh --no-build [--build DIR] ...   run what DIR (build/linux-cross) already holds
#       (a build folder other than build/linux-cross only with --no-build)
# The run folder, build/linux-cross/soak/seed-N (seed-N-trusted with --trust-batches; the one
# before it of the same name: .previous), keeps the program's trace (trace.log, each line with
# the time it arrived), the workload's log (ops.log), the result (result.txt, with the program's
# threads, handles and memory after its first start, after each restart and at the end) and
# what the Wine server wrote (wineserver.log).
# As root, one destination is on a 64 MiB tmpfs that is filled and freed again during the run;
# otherwise that fault is left out. Exit status: 0 pass, 1 fail, 2 the run could not be made.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=600 seed= settle=120 build=build/linux-cross do_build=yes extra=() program= trusted=
while [ $# -gt 0 ]; do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --without) extra+=(--without "$2"); shift 2 ;;
    --program) program=$2; shift 2 ;;
    --restart-every) extra+=(--restart-every "$2"); shift 2 ;;
    --trust-batches) extra+=(--trust-batches); trusted=-trusted; shift ;;
    --build) build=$2; shift 2 ;;
    --no-build) do_build=no; shift ;;
    *) echo "usage: $0 [--seconds N] [--seed N] [--settle N] [--without KIND,...]" \
            "[--program EXE] [--restart-every N] [--trust-batches] [--no-build] [--build DIR]" >&2
       exit 2 ;;
    esac
done
[ -n "$seed" ] || seed=$(( $(od -An -N4 -tu4 /dev/urandom) % 1000000 ))
case $build in /*) ;; *) build=$root/$build ;; esac
[ -n "$program" ] || program=$build/Vantrel.exe
case $program in /*) ;; *) program=$root/$program ;; esac

export PATH=/usr/lib/wine:$PATH # Debian keeps wineserver there
if [ "$do_build" = yes ]; then
    scripts/install-deps.sh
    # Configured before the private X server below starts: the test build keeps the display it
    # is configured with, and that one goes away with this run.
    cmake --preset linux-cross >/dev/null
fi

prefix=$build/soak-wineprefix
run=$build/soak/seed-$seed$trusted
small=$build/soak/smallfs
xvfb_pid=
mounted=no
cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    [ "$mounted" = yes ] && umount "$small" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    # Vantrel.exe opens a window and a tray icon, and the restarts go through its dialog.
    . scripts/private-xvfb.sh
    start_private_xvfb "$build/soak" || { echo "Xvfb did not start" >&2; exit 2; }
fi

if [ "$do_build" = yes ]; then
    cmake --build --preset linux-cross --target Vantrel VantrelDebugView vantrel_soak -- \
        --no-print-directory >/dev/null
fi
for f in "$program" "$build/tools/VantrelDebugView.exe" "$build/bench/vantrel_soak.exe"; do
    [ -f "$f" ] || { echo "missing $f (build it, or run without --no-build)" >&2; exit 2; }
done
scripts/wine-prefix.sh "$prefix"
# The run before of the same seed stays, as seed-N.previous.
if [ -d "$run" ]; then
    rm -rf "$run.previous"
    mv "$run" "$run.previous"
fi
mkdir -p "$run" "$small"
# What the Wine server itself complains of (a change it cannot place, say) goes to the run folder.
WINEPREFIX=$prefix WINEDEBUG=-all wineserver -p >/dev/null 2>"$run/wineserver.log" < /dev/null
small_arg=()
if [ "$(id -u)" = 0 ]; then
    mountpoint -q "$small" && umount "$small"
    if mount -t tmpfs -o size=64m vantrel-soak "$small"; then
        mounted=yes
        small_arg=(--small "$(printf 'Z:%s' "$small" | tr / '\\')")
    fi
fi

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# ja_JP.UTF-8 makes Wine's ANSI code page 932, so the Japanese in the program's debug strings
# survives; the debug viewer passes it on as UTF-8.
status=0
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=ja_JP.UTF-8 \
LC_ALL=ja_JP.UTF-8 /usr/lib/wine/wine64 "$build/bench/vantrel_soak.exe" run \
    --root "$(winpath "$run")" --program "$(winpath "$program")" \
    --viewer "$(winpath "$build/tools/VantrelDebugView.exe")" --seconds "$seconds" \
    --seed "$seed" --settle "$settle" "${small_arg[@]}" "${extra[@]}" < /dev/null || status=$?
echo "Run folder: $run (result.txt, trace.log, ops.log, wineserver.log)"
exit "$status"
