#!/usr/bin/env bash
# Fuzzes every reader of outside bytes for a bounded time (seconds in all, default 60,
# shared among the targets) under ASan+UBSan with libFuzzer: the .part reader and
# IMPORT, the manifest reader, the bad-block list, the partition table reader, the
# dump comparison, the text job and the ECC scheme reader. Each target starts from its seeds in tests/corpus/NAME; new inputs
# it finds are kept in build-fuzz/corpus/NAME; a failing run keeps its output and
# findings in build-fuzz/findings.*: copy a crashing input into tests/corpus/NAME so
# that every later run replays it, and add a test.
#
#   tools/fuzz.sh [SECONDS] [--runs N] [NAME ...]   N executions per target instead of a time
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
runs=""
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi
targets=("$@")
((${#targets[@]})) || targets=(part manifest bad_blocks table dump text_job ecc_scheme)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"
share=$((seconds / ${#targets[@]}))
((share > 0)) || share=1
failed=0
for name in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$name"
  # This run's findings go to a folder of its own: what an earlier run left is no
  # finding of this one. libFuzzer's status is kept, not lost in a pipe.
  artifacts=$(mktemp -d "build-fuzz/findings.$name.XXXXXX")
  log="$artifacts/log"
  limit=(-max_total_time="$share")
  [ -z "$runs" ] || limit=(-runs="$runs")
  status=0
  "build-fuzz/fuzz/${name}_fuzz" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "build-fuzz/corpus/$name" "tests/corpus/$name" >"$log" 2>&1 || status=$?
  echo "$name:"
  grep -E '^(#[0-9]+ +DONE|Done|INFO: seed|==|SUMMARY|stat::number_of_executed_units)' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzzing $name failed (libFuzzer exit status $status); its output and findings are in $artifacts:" >&2
    ls "$artifacts" >&2
    failed=1
  else
    rm -rf "$artifacts"
  fi
done
exit "$failed"
