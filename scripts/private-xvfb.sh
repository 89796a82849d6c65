# Sourced by the scripts that run Windows programs without the caller's display:
#   start_private_xvfb FOLDER
# starts an X server on the first free display number (the server picks it and reports it
# through a file in FOLDER), exports DISPLAY and sets xvfb_pid, which the caller kills when it
# is done. Returns 1 when no server came up within 10 s.
start_private_xvfb() {
    local file=$1/xvfb-display
    mkdir -p "$1"
    rm -f "$file"
    # Kept away from the caller's output pipes, which a test runner may be waiting on.
    setsid Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$file" \
        >/dev/null 2>&1 </dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$file" ] && break
        sleep 0.1
    done
    [ -s "$file" ] || return 1
    DISPLAY=:$(cat "$file")
    export DISPLAY
}
