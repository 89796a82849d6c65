#!/usr/bin/env bash
# Builds Vantrel and its tests for Windows with GCC and with clang, and runs every test under
# Wine: GCC's build runs them all (the release zip's too), clang's all but the release zip's,
# which builds with GCC whatever the caller.
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
ctest --preset linux-cross
ctest --preset linux-clang
