#!/usr/bin/env bash
# Fuzzes the .part reader and IMPORT for a bounded time (seconds, default 60) under
# ASan+UBSan with libFuzzer. New inputs it finds are kept in build-fuzz/corpus;
# copy a crashing one into tests/corpus/part so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target part_fuzz
mkdir -p build-fuzz/corpus
build-fuzz/fuzz/part_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/corpus/part 2>&1 | grep -E '^(#[0-9]+ +DONE|Done|INFO: seed|==|SUMMARY)' || true
# libFuzzer exits non-zero on a finding; the pipe above hides it, so check for artifacts.
if compgen -G "build-fuzz/crash-*" >/dev/null || compgen -G "build-fuzz/timeout-*" >/dev/null || \
   compgen -G "build-fuzz/leak-*" >/dev/null; then
  echo "fuzzing found a problem:"; ls build-fuzz/crash-* build-fuzz/timeout-* build-fuzz/leak-* 2>/dev/null
  exit 1
fi
