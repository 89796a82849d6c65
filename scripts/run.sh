#!/usr/bin/env bash
# Builds Vantrel for Windows and starts it under Wine. Everything the program writes to the
# debugger output (change notices and trace lines) appears here as it happens; Ctrl+C, or Exit
# in the program's File or tray menu, ends it.
#   scripts/run.sh            (from the repository root, on Debian; installs what is missing)
# With a DISPLAY the window and the tray icon appear there; without one, on a private Xvfb.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake --preset linux-cross >/dev/null
cmake --build --preset linux-cross --target Vantrel VantrelDebugView -- --no-print-directory
build=$root/build/linux-cross

# Its own prefix, so that running the program never disturbs the tests' prefix.
export WINEPREFIX=$build/wineprefix-run WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PATH=/usr/lib/wine:$PATH
# A Japanese locale makes Wine's ANSI code page 932, in which debug strings reach a debugger:
# with any other, the notices' Japanese arrives as question marks.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "warning: no ja_JP.UTF-8 locale; Japanese debug text will be lost" >&2
fi

if [ -z "${DISPLAY:-}" ]; then
    . scripts/private-xvfb.sh
    # Wine's own processes first, so they do not complain about the X server going away.
    trap 'wineserver -k 2>/dev/null; [ -n "${xvfb_pid:-}" ] && kill $xvfb_pid 2>/dev/null' EXIT
    start_private_xvfb "$build" || { echo "Xvfb did not start" >&2; exit 1; }
    echo "No DISPLAY: Vantrel runs on a private X server (DISPLAY=$DISPLAY)."
fi

[ -f "$WINEPREFIX/.vantrel-ready" ] || echo "Creating the Wine prefix (once, about 20 s)..."
scripts/wine-prefix.sh "$WINEPREFIX"
# The prefix's windows are unmanaged (Wine draws their frames), right for a bare Xvfb; on the
# user's own display the window manager should frame and focus them.
managed=Y
[ -n "${xvfb_pid:-}" ] && managed=N
if ! grep -q "\"Managed\"=\"$managed\"" "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d $managed /f >/dev/null 2>&1
    wineserver -w
fi

echo "Vantrel is running; its debug output follows."
status=0
wine64 "$build/tools/VantrelDebugView.exe" "$(printf 'Z:%s' "$build/Vantrel.exe" | tr / '\\')" ||
    status=$?
echo "Vantrel ended (exit code $status)."
exit $status
