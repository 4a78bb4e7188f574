#!/usr/bin/env bash
# On a small loop-mounted XFS with shared extents: a merge in block mode 2 (blocks of
# 33 file-system blocks) shares its images' extents instead of copying them and gives
# the exact bytes; a merge in mode 0 (blocks that are no multiple of the file
# system's) gives the exact bytes too; in mode 15 the spare blocks' 0xFF and the
# images' partial last blocks are shared as well, all but one file-system block per
# image. Then the copy-path and changed-length tests of CORE_TESTS run in a folder
# there, so that every fallback from sharing, and every length check around it, is
# taken on a file system that shares. Needs root, a loop device and mkfs.xfs; says
# why and counts as skipped (77) where one is missing.
# Usage: xfs_share_test.sh FOLVANE_CLI [CORE_TESTS]
set -u
cli=$1
core_tests=${2:-}
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "mounting a loop device needs root"
command -v mkfs.xfs >/dev/null || skip "mkfs.xfs is missing (package xfsprogs)"
command -v filefrag >/dev/null || skip "filefrag is missing (package e2fsprogs)"
[ -e /dev/loop-control ] || skip "this system has no loop devices"

work=$(mktemp -d)
loop=""
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# mkfs.xfs takes nothing below 300 MiB; the file stays sparse.
truncate -s 320M "$work/xfs.img"
mkfs.xfs -q -m reflink=1 "$work/xfs.img" || skip "mkfs.xfs cannot make an XFS with shared extents here"
loop=$(losetup -f --show "$work/xfs.img" 2>/dev/null) || skip "no free loop device"
mkdir "$work/mnt"
mount -t xfs "$loop" "$work/mnt" 2>/dev/null || skip "this kernel cannot mount XFS"
dir=$work/mnt

fail() { echo "FAILED: $*"; exit 1; }
ff() { head -c "$1" /dev/zero | tr '\0' '\377'; }

# Two images of some blocks and a partial last block, the second with a gap of fill
# before it.
head -c $((40 * 135168 + 1000)) /dev/urandom >"$dir/one.bin"
head -c $((7 * 135168 + 5)) /dev/urandom >"$dir/two.bin"

# merge MODE BLOCK START2: merges both images, the second at block START2 (hex), and
# compares the data image with the bytes built here.
merge() {
  local mode=$1 block=$2 start2=$3
  local blocks1=$(( (40 * 135168 + 1000 + block - 1) / block ))
  local blocks2=$(( (7 * 135168 + 5 + block - 1) / block ))
  rm -f "$dir/data.bin" "$dir/table.bin" "$dir/expected.bin"
  "$cli" new "$dir/job.part" --mode "$mode" --data "$dir/data.bin" --table "$dir/table.bin" \
    --row "$dir/one.bin:0:$(printf %X $((blocks1 + 1)))" --row "$dir/two.bin:$start2:$(printf %X $((16#$start2 + blocks2 - 1)))" >/dev/null ||
    fail "mode $mode: new"
  "$cli" merge "$dir/job.part" >/dev/null 2>"$work/merge.err" || { cat "$work/merge.err"; fail "mode $mode: merge"; }
  local pad1=$(( blocks1 * block - (40 * 135168 + 1000) ))
  local gap=$(( 16#$start2 * block - blocks1 * block ))
  { cat "$dir/one.bin"; ff "$pad1"; ff "$gap"; cat "$dir/two.bin"; ff $(( blocks2 * block - (7 * 135168 + 5) )); } \
    >"$dir/expected.bin"
  cmp "$dir/data.bin" "$dir/expected.bin" || fail "mode $mode: the data image differs"
}

merge 2 135168 30
sync -f "$dir/data.bin"
shared=$(filefrag -v "$dir/data.bin" | grep -c shared)
[ "$shared" -ge 2 ] || { filefrag -v "$dir/data.bin"; fail "mode 2: the images' extents are not shared"; }
merge 0 8448 2A0

# Mode 15: image one takes 3 blocks, 7 blocks of 0xFF follow; image two (7 blocks of mode 2 and 5
# bytes) takes one.
merge 15 2260992 A
sync -f "$dir/data.bin"
unshared=$(filefrag -v "$dir/data.bin" | awk '$1 ~ /^[0-9]+:$/ && $0 !~ /shared/ { n += $6 + 0 } END { print n + 0 }')
[ "$unshared" -le 2 ] || { filefrag -v "$dir/data.bin"; fail "mode 15: $unshared file-system blocks are not shared"; }

if [ -n "$core_tests" ]; then
  mkdir "$dir/tmp"
  TMPDIR=$dir/tmp "$core_tests" --gtest_filter='MergeCopyPaths.*:MergeTest.ImageThatChangesLength*' --gtest_brief=1 ||
    fail "the copy paths on XFS"
fi
echo "passed: mode 2 shares $shared extents, mode 15 writes $unshared blocks, every mode is exact"
