#!/usr/bin/env bash
# Times a merge of page data laid out with an ECC scheme against a plain merge that
# writes the same number of bytes (the same images already laid out as whole pages),
# runs in turn, median of RUNS runs each, through folvane-cli:
#   merge JOB --ecc ROW=SCHEME   against   merge of the raw pages
# Usage: bench/ecc_merge_bench.sh [FOLDER] [MiB of page data] [RUNS] [SCHEME]
# (FOLDER defaults to /dev/shm, so that the figures measure the program, not a disk)
set -euo pipefail
source "$(dirname "$0")/page_data_setup.sh" ecc-bench "$@"
"$cli" new raw.part --mode 2 --table "$dir/t2.bin" --data "$dir/d2.bin" "${rawRows[@]}"

# Runs in turn, each command's times kept; a command that fails ends the benchmark.
laid=() plain=()
run() {
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s%N)
  echo $(( t1 - t0 ))
}
for ((r = 0; r < runs; r++)); do
  sync
  laid+=("$(run "$cli" merge job.part "${ecc[@]}")")
  sync
  plain+=("$(run "$cli" merge raw.part)")
done
cmp -s d.bin d2.bin || { echo "the two merges wrote different data images" >&2; exit 1; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e9}'; }
l=$(median "${laid[@]}") p=$(median "${plain[@]}")
# Every run, so that one slow run (a machine busy elsewhere) shows as such.
seconds() { printf '%s\n' "$@" | awk '{printf "%s%.3f", (NR > 1 ? " " : ""), $1 / 1e9}'; }
printf 'runs, laid out: %s s; plain: %s s\n' "$(seconds "${laid[@]}")" "$(seconds "${plain[@]}")"
printf 'page data laid out with %s: %s s; plain merge of the same bytes: %s s; ratio %.2f (%s MiB of page data, %s runs, %s)\n' \
  "$scheme" "$l" "$p" "$(awk -v a="$l" -v b="$p" 'BEGIN {print a / b}')" "$mib" "$runs" "$base"
