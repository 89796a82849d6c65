#!/usr/bin/env bash
# Starts or stops what the Windows programs need under Wine for one run:
#   wine-session.sh start|stop PREFIX DISPLAY START_XVFB(yes|no)
# start: creates the prefix once (Japanese fonts mapped), starts a persistent wineserver,
#        and an Xvfb on DISPLAY when START_XVFB is yes.
# stop:  ends the wineserver and the Xvfb that start began.
set -u
action=$1 prefix=$2 display=$3 start_xvfb=$4
here=$(cd "$(dirname "$0")" && pwd)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=$display
export PATH=/usr/lib/wine:$PATH  # Debian keeps wineserver there
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
xvfb_pid_file=/tmp/vantrel-xvfb-${display#:}.pid
# An 8 MiB file system beside the prefix, where writes fail with a full disk (root only).
small_fs=$(dirname "$prefix")/smallfs
# Real FAT32 and exFAT beside it, as USB sticks and cards have (root, FUSE and a loop device).
fat_fs=$(dirname "$prefix")/fatfs exfat_fs=$(dirname "$prefix")/exfatfs
exfat_loop_file=$(dirname "$prefix")/exfat.loop

# Mounts the FAT32 and exFAT file systems when this machine can; each holds a marker file once
# it is mounted, and the tests that need one skip without it.
mount_fat_file_systems() {
    [ "$(id -u)" = 0 ] && [ -e /dev/fuse ] || { echo "No FAT file systems: FUSE needs root"; return; }
    if command -v fusefat >/dev/null && ! mountpoint -q "$fat_fs"; then
        mkdir -p "$fat_fs" && rm -f "$fat_fs.img" && truncate -s 256M "$fat_fs.img" &&
            mkfs.vfat -F 32 "$fat_fs.img" >/dev/null &&
            fusefat -o rw+ "$fat_fs.img" "$fat_fs" >/dev/null 2>&1 < /dev/null &&
            touch "$fat_fs/vantrel-fat" || echo "No FAT32 file system: its tests will be skipped"
    fi
    if command -v mount.exfat-fuse >/dev/null && ! mountpoint -q "$exfat_fs"; then
        local device
        mkdir -p "$exfat_fs" && rm -f "$exfat_fs.img" && truncate -s 256M "$exfat_fs.img" &&
            mkfs.exfat "$exfat_fs.img" >/dev/null 2>&1 &&
            device=$(losetup -f --show "$exfat_fs.img" 2>/dev/null) &&
            echo "$device" > "$exfat_loop_file" &&
            mount.exfat-fuse "$device" "$exfat_fs" >/dev/null 2>&1 < /dev/null &&
            touch "$exfat_fs/vantrel-fat" || echo "No exFAT file system: its tests will be skipped"
    fi
}

unmount_fat_file_systems() {
    mountpoint -q "$fat_fs" && fusermount -u "$fat_fs"
    mountpoint -q "$exfat_fs" && fusermount -u "$exfat_fs"
    if [ -f "$exfat_loop_file" ]; then
        losetup -d "$(cat "$exfat_loop_file")" 2>/dev/null
        rm -f "$exfat_loop_file"
    fi
    rm -f "$fat_fs.img" "$exfat_fs.img"
}

socket=/tmp/.X11-unix/X${display#:} lock=/tmp/.X${display#:}-lock

# True when an X server runs on DISPLAY: its lock file names a live process. A socket and a
# lock left behind by a server that was killed (a machine restored from a snapshot, a crash)
# would otherwise pass for one, and every window of the run would fail.
server_runs() {
    local pid
    pid=$( { tr -d ' ' < "$lock"; } 2>/dev/null) || return 1
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && [ -e "$socket" ]
}

case $action in
start)
    if [ "$start_xvfb" = yes ] && ! server_runs; then
        rm -f "$socket" "$lock"
        # Keep its output away from CTest, which waits for every inherited pipe to close.
        setsid Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
        echo $! > "$xvfb_pid_file"
        for _ in $(seq 150); do
            server_runs && break
            sleep 0.1
        done
        if ! server_runs; then
            # Wine started without an X server leaves the prefix unable to open windows.
            echo "Xvfb did not start on $display" >&2
            exit 1
        fi
    fi
    "$here/wine-prefix.sh" "$prefix" || exit 1
    "$wineserver" -p >/dev/null 2>&1 < /dev/null
    # Start Wine's background services now, detached from CTest's output pipes: started by the
    # first test program instead, they would hold its pipes open and CTest would wait forever.
    /usr/lib/wine/wine64 cmd.exe /c exit >/dev/null 2>&1 < /dev/null
    if [ "$(id -u)" = 0 ] && ! mountpoint -q "$small_fs"; then
        mkdir -p "$small_fs" && mount -t tmpfs -o size=8m vantrel-smallfs "$small_fs" ||
            echo "No small file system: disk-full tests will be skipped"
    fi
    mount_fat_file_systems
    echo "Wine prefix $prefix ready, wineserver running, DISPLAY=$display"
    ;;
stop)
    "$wineserver" -k >/dev/null 2>&1
    mountpoint -q "$small_fs" && umount "$small_fs"
    unmount_fat_file_systems
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
