#!/usr/bin/env bash
# Builds the release zip twice, from scratch, in two build folders of different paths, and
# checks that both builds give byte-identical Vantrel.exe, VantrelDebugView.exe and zip.
#   zip_is_reproducible.sh WORK_FOLDER
# The first build stays in WORK_FOLDER/first for the test that runs the unpacked zip.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$1
first=$work/first
second="$work/second build"
rm -rf "$first" "$second"
mkdir -p "$work"

for build in "$first" "$second"; do
    echo "Building the release zip in $build"
    "$root/scripts/package.sh" "$build" > "$build.log" 2>&1 || {
        cat "$build.log"
        exit 1
    }
done

status=0
for file in Vantrel.exe tools/VantrelDebugView.exe Vantrel-*-win64.zip; do
    a=$(cd "$first" && sha256sum $file)
    b=$(cd "$second" && sha256sum $file)
    echo "first:  $a"
    echo "second: $b"
    if [ "$a" != "$b" ]; then
        echo "DIFFERENT:" $file
        status=1
    fi
done
[ $status = 0 ] && echo "Both builds are byte-identical."
exit $status
