#!/usr/bin/env bash
# Times the readers of pages with ECC through folvane-cli, runs in turn, median of
# RUNS runs each, with every file in the page cache:
#   check --lint --raw-ecc ROW=SCHEME   against   cat of the raw images
#       (wanted: at most 1.5 times)
#   verify --dump --ecc ROW=SCHEME      against   the same verify without the schemes
#       (the job of the raw images, against the same data image) of a clean dump (the
#       data image itself) and of a worn one (one bit flipped in the data of every
#       page; without the schemes, --bitflips 1 lets each page match)
#       (wanted: at most 1.3 times)
# Usage: bench/ecc_read_bench.sh [FOLDER] [MiB of page data] [RUNS] [SCHEME]
# (FOLDER defaults to /dev/shm, so that the figures measure the program, not a disk)
set -euo pipefail
source "$(dirname "$0")/page_data_setup.sh" ecc-read "$@"
"$cli" new raw.part --mode 2 --table "$dir/t2.bin" --data "$dir/d2.bin" "${rawRows[@]}" >/dev/null

# The dumps: the data image as read back from a perfect chip, and the same with one
# bit flipped in each page's data, at a place that moves from page to page.
cp d.bin clean.bin
cp d.bin worn.bin
python3 - worn.bin "$block" <<'EOF'
import sys
path, block = sys.argv[1], int(sys.argv[2])
page, data = 2112, 2048
with open(path, "r+b") as f:
    image = bytearray(f.read())
    state = 12345
    for at in range(0, len(image) - page + 1, page):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        bit = state % (data * 8)
        image[at + bit // 8] ^= 1 << (bit % 8)
    f.seek(0)
    f.write(image)
EOF
: >none.txt
cat "${rawFiles[@]}" clean.bin worn.bin d.bin >/dev/null

# Runs in turn, each command's times kept. verify exits 1 where a page differs beyond
# what it accepts, which these dumps must not cause; any other failure ends the run.
run() {
  local t0 t1 status=0
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1 || status=$?
  t1=$(date +%s%N)
  [ "$status" -eq 0 ] || { echo "failed ($status): $*" >&2; exit 1; }
  echo $(( t1 - t0 ))
}
lint=() cat=() clean=() cleanPlain=() worn=() wornPlain=()
for ((r = 0; r < runs; r++)); do
  lint+=("$(run "$cli" check raw.part --lint "${rawEcc[@]}")")
  cat+=("$(run cat "${rawFiles[@]}")")
  clean+=("$(run "$cli" verify job.part --dump clean.bin --bad-blocks none.txt "${ecc[@]}")")
  cleanPlain+=("$(run "$cli" verify raw.part --dump clean.bin --data d.bin --bad-blocks none.txt)")
  worn+=("$(run "$cli" verify job.part --dump worn.bin --bad-blocks none.txt "${ecc[@]}")")
  wornPlain+=("$(run "$cli" verify raw.part --dump worn.bin --data d.bin --bad-blocks none.txt --bitflips 1)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e9}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
l=$(median "${lint[@]}") c=$(median "${cat[@]}")
printf 'check --lint --raw-ecc %s: %s s; cat of the raw images: %s s; ratio %s\n' "$scheme" "$l" "$c" "$(ratio "$l" "$c")"
a=$(median "${clean[@]}") b=$(median "${cleanPlain[@]}")
printf 'verify --dump, clean dump: with --ecc %s s; without: %s s; ratio %s\n' "$a" "$b" "$(ratio "$a" "$b")"
a=$(median "${worn[@]}") b=$(median "${wornPlain[@]}")
printf 'verify --dump, a bit flipped in every page: with --ecc %s s; without (--bitflips 1): %s s; ratio %s\n' \
  "$a" "$b" "$(ratio "$a" "$b")"
printf '(%s MiB of page data, %s runs, %s)\n' "$mib" "$runs" "$base"
