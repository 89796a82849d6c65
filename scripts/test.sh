#!/usr/bin/env bash
# Builds Vantrel and its tests for Windows with GCC and with clang, and runs every test under
# Wine: the release zip's (always built with GCC), a one-minute soak, then the suite of each
# build.
#   scripts/test.sh            (from the repository root, on Debian; installs what is missing)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake --preset linux-cross >/dev/null
cmake --build --preset linux-cross -- --no-print-directory
# The second compiler: the same program, tools and tests, our own warnings as errors.
cmake --preset linux-clang >/dev/null
cmake --build --preset linux-clang -- --no-print-directory
# The release zip (built twice from scratch, then unpacked and run), clang's build of the
# suite, a one-minute soak of the program, and last the suite itself.
ctest --preset linux-release
ctest --preset linux-clang
ctest --preset linux-soak
ctest --preset linux-cross
