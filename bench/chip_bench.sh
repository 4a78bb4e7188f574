#!/bin/sh
# check's overflow chances and verify --dump against plain reads, in one folder:
#   bench/chip_bench.sh build-h/cli/folvane-cli [folder]
# Prints the time of 20 checks of a 16-row job with and without --max-bad 2000
# --chip-blocks 0x10000 (the difference is the chances' cost), and of cat of a
# 264 MiB dump (and of the dump with the data image, every byte verify reads)
# against verify --dump of it, three times each with the files in the page cache.
set -eu
CLI=$(realpath "$1")
DIR=${2:-$(mktemp -d)}
mkdir -p "$DIR" && cd "$DIR"
head -c $((3966 * 8448)) /dev/zero > big.bin
rows=""
for i in $(seq 0 15); do
  rows="$rows --row big.bin:$(printf '%x' $((i * 0x1000))):$(printf '%x' $((i * 0x1000 + 0xfff)))"
done
"$CLI" new p16.part --mode 0 --table t.bin --data d.bin $rows > /dev/null
t0=$(date +%s.%N); for i in $(seq 20); do "$CLI" check p16.part > /dev/null; done; t1=$(date +%s.%N)
for i in $(seq 20); do "$CLI" check p16.part --max-bad 2000 --chip-blocks 0x10000 > /dev/null; done; t2=$(date +%s.%N)
echo "chances: $(echo "($t2 - $t1 - ($t1 - $t0)) / 20 * 1000" | bc -l | cut -c1-5) ms a check (16 rows, N=2000, B=0x10000)"

head -c $((0x700 * 135168)) /dev/urandom > img.bin
"$CLI" new dj.part --mode 2 --table dt.bin --data dd.bin --row img.bin:0:7ff > /dev/null
"$CLI" merge dj.part > /dev/null 2>&1
cp dd.bin chip.bin
head -c $((0x100 * 135168)) /dev/zero | tr '\0' '\377' >> chip.bin
: > none.txt
cat chip.bin dd.bin > /dev/null
for k in 1 2 3; do
  /usr/bin/time -f "cat dump: %e s" cat chip.bin > /dev/null
  /usr/bin/time -f "cat dump and data image: %e s" cat chip.bin dd.bin > /dev/null
  /usr/bin/time -f "verify --dump: %e s" "$CLI" verify dj.part --dump chip.bin --bad-blocks none.txt > /dev/null
done
