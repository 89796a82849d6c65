#!/usr/bin/env bash
# Builds Vantrel and its tests for Windows and runs every test under Wine.
#   scripts/test.sh            (from the repository root, on Debian; installs what is missing)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake --preset linux-cross >/dev/null
cmake --build --preset linux-cross -- --no-print-directory
ctest --preset linux-cross
