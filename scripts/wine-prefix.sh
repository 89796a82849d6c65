#!/usr/bin/env bash
# Creates the Wine prefix PREFIX once: initialised, with the Japanese dialog fonts mapped to
# IPAGothic so that the program's Japanese texts render. Safe to call again.
#   wine-prefix.sh PREFIX
set -u
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stamp=$prefix/.vantrel-ready
[ -f "$stamp" ] && exit 0

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
touch "$stamp"
