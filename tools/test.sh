#!/usr/bin/env bash
# Builds and runs every test: the Release build, the Debian package made from it
# (installed, tried and removed again), the README's first command in a clean clone
# with only the plain packages visible, then the ASan+UBSan build, then a short
# bounded fuzzing run of every reader of outside bytes under the sanitizers, then the Windows
# build with its tests under Wine and its installer (tools/test-windows.sh).
#
#   FOLVANE_SKIP_WINDOWS=1 tools/test.sh    everything but the Windows stage
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"
tools/package_test.sh
# The README's first command in a clean clone, with only the plain packages visible.
tools/first-command.sh

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

tools/fuzz.sh "${FUZZ_SECONDS:-60}"

if [ -z "${FOLVANE_SKIP_WINDOWS:-}" ]; then
  tools/test-windows.sh
fi
