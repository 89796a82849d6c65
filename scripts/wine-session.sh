#!/usr/bin/env bash
# Starts or stops what the Windows programs need under Wine for one run:
#   wine-session.sh start|stop PREFIX DISPLAY START_XVFB(yes|no)
# start: creates the prefix once (Japanese fonts mapped), starts a persistent wineserver,
#        and an Xvfb on DISPLAY when START_XVFB is yes.
# stop:  ends the wineserver and the Xvfb that start began.
set -u
action=$1 prefix=$2 display=$3 start_xvfb=$4
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=$display
export PATH=/usr/lib/wine:$PATH  # Debian keeps wineserver there
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
xvfb_pid_file=/tmp/vantrel-xvfb-${display#:}.pid

case $action in
start)
    if [ "$start_xvfb" = yes ] && [ ! -e "/tmp/.X11-unix/X${display#:}" ]; then
        # Keep its output away from CTest, which waits for every inherited pipe to close.
        setsid Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
        echo $! > "$xvfb_pid_file"
        for _ in $(seq 50); do
            [ -e "/tmp/.X11-unix/X${display#:}" ] && break
            sleep 0.1
        done
    fi
    "$here/wine-prefix.sh" "$prefix" || exit 1
    wineserver -p >/dev/null 2>&1 < /dev/null
    # The first Wine process of a session starts Wine's system processes (services.exe and the
    # like), which inherit its standard handles and live as long as the server. Start them here,
    # away from CTest's pipes: a test that started them would keep CTest waiting for ever.
    /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 < /dev/null
    echo "Wine prefix $prefix ready, wineserver running, DISPLAY=$display"
    ;;
stop)
    wineserver -k >/dev/null 2>&1
    if [ "$start_xvfb" = yes ] && [ -f "$xvfb_pid_file" ]; then
        kill "$(cat "$xvfb_pid_file")" 2>/dev/null
        rm -f "$xvfb_pid_file"
    fi
    echo "Wine session stopped"
    ;;
*)
    echo "usage: $0 start|stop PREFIX DISPLAY yes|no" >&2
    exit 2
    ;;
esac
