#!/usr/bin/env bash
# Fuzzes the .part reader and IMPORT for a bounded time (seconds, default 60) under
# ASan+UBSan with libFuzzer. New inputs it finds are kept in build-fuzz/corpus; a
# failing run keeps its output and findings in build-fuzz/findings.*: copy a crashing
# input into tests/corpus/part so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target part_fuzz
mkdir -p build-fuzz/corpus
# This run's findings go to a folder of its own: what an earlier run left is no
# finding of this one. libFuzzer's status is kept, not lost in a pipe.
artifacts=$(mktemp -d build-fuzz/findings.XXXXXX)
log="$artifacts/log"
status=0
build-fuzz/fuzz/part_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts/" build-fuzz/corpus tests/corpus/part >"$log" 2>&1 || status=$?
grep -E '^(#[0-9]+ +DONE|Done|INFO: seed|==|SUMMARY)' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "fuzzing failed (libFuzzer exit status $status); its output and findings are in $artifacts:" >&2
  ls "$artifacts" >&2
  exit 1
fi
rm -rf "$artifacts"
