#!/usr/bin/env bash
# Creates the Wine prefix PREFIX once: initialised, with the Japanese dialog fonts mapped to
# IPAGothic so that the program's Japanese texts render. Safe to call again.
#   wine-prefix.sh PREFIX
set -u
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PATH=/usr/lib/wine:$PATH  # Debian keeps wineserver there
stamp=$prefix/.vantrel-ready

# This Wine does not load its own fonts (fonts-wine) from its data folder: without Marlett the
# caption buttons show as letters. The prefix's Fonts folder is always searched.
copy_wine_fonts() {
    cp -u /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null
    return 0
}
wine=/usr/lib/wine/wine64
# Windows are unmanaged: no window manager runs under Xvfb, so a managed window would wait two
# seconds for one each time it is hidden, and would show no frame. (Prefixes made before this
# setting get it here once.)
make_windows_unmanaged() {
    grep -q '"Managed"="N"' "$prefix/user.reg" 2>/dev/null && return 0
    # No wait for the wineserver here: a persistent one may be running for this prefix.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 < /dev/null
    return 0
}
if [ -f "$stamp" ]; then
    copy_wine_fonts
    make_windows_unmanaged
    exit 0
fi

# A machine's first run of Wine can leave the prefix half made (its system folder or the
# user's profile missing): start again from nothing, once, before giving up.
make_prefix() {
    mkdir -p "$prefix"
    "$wine" wineboot --init >>"$prefix.log" 2>&1 < /dev/null
    wineserver -w
    [ -f "$prefix/drive_c/windows/system32/cmd.exe" ] &&
        ls -d "$prefix"/drive_c/users/*/AppData/Local >/dev/null 2>&1
}
if ! make_prefix; then
    wineserver -k 2>/dev/null
    rm -rf "$prefix"
    make_prefix || { echo "Wine did not make the prefix $prefix:"; tail -20 "$prefix.log"; exit 1; } >&2
fi
reg=$(mktemp --suffix=.reg)
cat > "$reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Shell Dlg"="IPAGothic"
"MS Shell Dlg 2"="IPAGothic"
"MS UI Gothic"="IPAGothic"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
"$wine" regedit /S "$(winepath_arg=$(printf 'Z:%s' "$reg" | tr / '\\'); echo "$winepath_arg")" >/dev/null 2>&1 < /dev/null
wineserver -w
rm -f "$reg"
copy_wine_fonts
touch "$stamp"
