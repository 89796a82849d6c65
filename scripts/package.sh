#!/usr/bin/env bash
# Builds the Windows release zip, Vantrel-<version>-win64.zip, in a build folder of its own, and
# prints its path. The same commit gives the same bytes in any folder, at any time.
#   scripts/package.sh [BUILD_FOLDER]   (default build/release; on Debian; installs what is missing)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/release}")
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j 2 -- --no-print-directory
rm -f "$build"/Vantrel-*-win64.zip
(cd "$build" && cpack >/dev/null)
ls "$build"/Vantrel-*-win64.zip
