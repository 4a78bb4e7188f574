#!/usr/bin/env bash
# Times folvane-cli on a job of four images (1 GiB in all by default, default block
# mode) against baselines run in the same script, median of RUNS runs each:
#   merge --manifest        against  merge without it
#   verify JOB              against  cat of the data image and the images to /dev/null
#   verify --manifest FILE  against  cat of the data image and the table to /dev/null
# Usage: bench/cli_bench.sh [FOLDER] [MiB] [RUNS]   (FOLDER defaults to /dev/shm, so
# that the figures measure the program rather than a disk)
set -euo pipefail
cli="$(cd "$(dirname "$0")/.." && pwd)/build/cli/folvane-cli"
base="${1:-/dev/shm}"
mib="${2:-1024}"
runs="${3:-5}"
dir="$(mktemp -d "$base/folvane-cli-bench-XXXXXX")"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

block=$((0x21000))  # block mode 2, the default
rows=()
start=0
for i in 0 1 2 3; do
  size=$(( mib * 1048576 / 4 + 12345 * (i + 1) ))  # none a whole number of blocks
  head -c "$size" /dev/urandom >"img$i.bin"
  blocks=$(( (size + block - 1) / block ))
  rows+=(--row "img$i.bin:$(printf %X "$start"):$(printf %X $((start + blocks - 1)))")
  start=$((start + blocks))
done
"$cli" new job.part --mode 2 --table "$dir/t.bin" --data "$dir/d.bin" "${rows[@]}"

# Runs a command quietly; one that fails stops the benchmark, saying which, how it
# ended and what it printed: timed, it would count as work it did not do.
must() {
  "$@" >/dev/null 2>"$dir/stderr" || {
    local status=$?
    echo "cli_bench: stopped: $* failed with status $status:" >&2
    cat "$dir/stderr" >&2
    exit 1
  }
}

# The median wall time of `runs` runs of the command, in seconds.
median() {
  local times=()
  for ((r = 0; r < runs; r++)); do
    local t0 t1
    t0=$(date +%s%N)
    must "$@"
    t1=$(date +%s%N)
    times+=("$(( t1 - t0 ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e9}'
}

row() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN {printf "%-40s %8.3f s %8.3f s %7.2fx\n", n, a, b, a / b}'; }

must "$cli" merge job.part --manifest m.json  # outputs to read back, warm caches
echo "images: $mib MiB in 4, block mode 2; median of $runs runs; $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-40s %10s %10s %8s\n' "command" "time" "baseline" "ratio"
merge=$(median "$cli" merge job.part)
manifest=$(median "$cli" merge job.part --manifest m.json --manifest m.sha256)
row "merge --manifest / merge" "$manifest" "$merge"
cat_all=$(median sh -c 'cat d.bin img0.bin img1.bin img2.bin img3.bin >/dev/null')
verify=$(median "$cli" verify job.part)
row "verify / cat data + images" "$verify" "$cat_all"
cat_data=$(median sh -c 'cat d.bin t.bin >/dev/null')
verify_manifest=$(median "$cli" verify --manifest m.json)
row "verify --manifest / cat data + table" "$verify_manifest" "$cat_data"
