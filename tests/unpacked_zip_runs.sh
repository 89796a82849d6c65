#!/usr/bin/env bash
# Runs the release zip as a user gets it: unpacked into a new folder whose path holds a space
# and Japanese, under a Wine prefix made for this run, with a pair file written by hand at the
# prefix's own %LOCALAPPDATA%\Vantrel. Vantrel.exe is started as the guide says, under
# VantrelDebugView.exe; a file written into the source folder must reach the destination folder
# and show in the notices, and File > Exit must end the program with exit code 0. The two
# programs must import only DLLs that Windows itself ships.
#   unpacked_zip_runs.sh ZIP WORK_FOLDER CHOOSE_FILE_EXIT_EXE
# Uses DISPLAY when set; otherwise starts an X server of its own.
set -eu
zip=$(realpath "$1")
work=$(realpath -m "$2")
choose_exit=$(realpath "$3")
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PATH=/usr/lib/wine:$PATH # Debian keeps wineserver there
# Code page 932, as on a Japanese Windows: the notices' Japanese reaches the viewer intact.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
wine=/usr/lib/wine/wine64
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "FAILED: $*"
    exit 1
}
# Polls until the command succeeds, at most $1 seconds.
wait_until() {
    local limit=$1
    shift
    for _ in $(seq $((limit * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

rm -rf "$work"
mkdir -p "$work"
unpacked="$work/ダウンロード 済み"
mkdir "$unpacked"
(cd "$unpacked" && unzip -q "$zip")
program_folder=$(echo "$unpacked"/Vantrel-*-win64)
[ -f "$program_folder/Vantrel.exe" ] && [ -f "$program_folder/VantrelDebugView.exe" ] &&
    [ -f "$program_folder/README.txt" ] || fail "the zip lacks a program or the guide"

# DLLs every 64-bit Windows has in System32; anything else would have to come with the zip.
system_dlls=" advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll
 msvcrt.dll ntdll.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll
 version.dll ws2_32.dll "
for exe in Vantrel.exe VantrelDebugView.exe; do
    imports=$(x86_64-w64-mingw32-objdump -p "$program_folder/$exe" |
        sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$imports" ] || fail "no import table read from $exe"
    echo "$exe imports:" $imports
    for dll in $imports; do
        case $system_dlls in
        *" $dll"[[:space:]]*) ;;
        *) fail "$exe needs $dll, which Windows does not ship" ;;
        esac
    done
done

xvfb_pid=
cleanup() {
    # Wine's own processes first, so they do not complain about the X server going away.
    wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . "$here/../scripts/private-xvfb.sh"
    start_private_xvfb "$work" || fail "Xvfb did not start"
fi
echo "DISPLAY=$DISPLAY"

# A fresh prefix (Japanese dialog fonts mapped, as on a Japanese Windows), then Wine's
# services started with no tie to our output, which the caller may be waiting on.
"$here/../scripts/wine-prefix.sh" "$WINEPREFIX" || fail "no Wine prefix"
wineserver -p >/dev/null 2>&1 </dev/null
# A Wine program started while the prefix's services are still coming up can end with no
# output on a machine's first run of Wine: ask again before calling the prefix wrong, and show
# what Wine said.
find_local_appdata() {
    local_appdata_win=$("$wine" cmd.exe /c echo %LOCALAPPDATA% 2>>"$work/wine-errors.txt" \
        </dev/null | tr -d '\r')
    local_appdata=$("$wine" winepath.exe -u "$local_appdata_win" 2>>"$work/wine-errors.txt" \
        </dev/null | tr -d '\r')
    [ -d "$local_appdata" ]
}
for _ in $(seq 5); do
    find_local_appdata && break
    sleep 2
done
[ -d "$local_appdata" ] ||
    fail "the prefix has no %LOCALAPPDATA% ($local_appdata_win): $(tail -20 "$work/wine-errors.txt")"
echo "%LOCALAPPDATA% = $local_appdata_win"

# The pair, written as a user would with Notepad: UTF-8, CR LF, the paths as they are with
# "\," between them.
source="$work/監視 元"
dest="$work/複製 先"
mkdir "$source"
to_windows() { printf 'Z:%s' "$1" | tr / '\\'; }
mkdir -p "$local_appdata/Vantrel"
printf '[PAIR],%s\\,%s\r\n' "$(to_windows "$source")" "$(to_windows "$dest")" \
    > "$local_appdata/Vantrel/folders.txt"

cd "$program_folder"
"$wine" VantrelDebugView.exe Vantrel.exe >"$work/debug-output.txt" 2>&1 </dev/null &
viewer=$!

# A change that comes before the folder's watch is in place is not seen: write again until
# the copy arrives and a notice names the file (more than a second apart, as closer batches
# may be merged away).
name="確認 ファイル.txt"
mirrored() { [ "$(cat "$dest/$name" 2>/dev/null)" = "$content" ]; }
# A notice lists each changed file as its name, a space and the change in brackets.
noticed() { grep -qF -- "$name (" "$work/debug-output.txt"; }
seen=no
for attempt in $(seq 10); do
    content="written by the release test, attempt $attempt"
    printf '%s' "$content" > "$source/$name"
    if wait_until 3 eval 'mirrored && noticed'; then
        seen=yes
        break
    fi
    kill -0 $viewer 2>/dev/null || break
done
echo "Debug output so far:"
cat "$work/debug-output.txt"
mirrored || fail "$name was not mirrored into $dest"
[ $seen = yes ] || fail "no notice names $name"

"$wine" "$choose_exit" "$(to_windows "$program_folder/Vantrel.exe")" \
    >"$work/choose-exit.txt" 2>&1 </dev/null ||
    fail "could not choose File > Exit: $(cat "$work/choose-exit.txt")"
wait_until 30 eval '! kill -0 $viewer 2>/dev/null' || fail "Vantrel did not end after File > Exit"
status=0
wait $viewer || status=$?
[ $status = 0 ] || fail "Vantrel ended with exit code $status"
echo "Mirrored $name, ended through File > Exit with exit code 0."
