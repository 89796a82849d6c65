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
if [ -f "$stamp" ]; then
    copy_wine_fonts
    exit 0
fi

mkdir -p "$prefix"
wine=/usr/lib/wine/wine64
"$wine" wineboot --init >/dev/null 2>&1 < /dev/null
wineserver -w
# Windows are unmanaged: no window manager runs under Xvfb, so a managed window would wait two
# seconds for one each time it is hidden, and would show no frame.
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
