# Sourced by the ECC benches: their arguments, a scratch folder, and four images of
# page data in block mode 2 (64 pages of 2048 + 64 bytes), none a whole number of
# blocks, merged with SCHEME into d.bin; the data image cut at the rows gives the same
# images laid out as raw pages (raw0.bin ..., rows in `rawRows`), which the plain
# merge, the lint and the verify without schemes read.
# Usage (after `set -euo pipefail`): source page_data_setup.sh NAME "$@"
cli="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/cli/folvane-cli"
base="${2:-/dev/shm}"
mib="${3:-1024}"
runs="${4:-5}"
scheme="${5:-linux-bch8/512}"
dir="$(mktemp -d "$base/folvane-$1-XXXXXX")"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

dataBlock=$((2048 * 64))
block=$((2112 * 64))
rows=() ecc=() rawEcc=() raw=()
start=0
for i in 0 1 2 3; do
  size=$(( mib * 1048576 / 4 + 12345 * (i + 1) ))
  head -c "$size" /dev/urandom >"img$i.bin"
  blocks=$(( (size + dataBlock - 1) / dataBlock ))
  rows+=(--row "img$i.bin:$(printf %X "$start"):$(printf %X $((start + blocks - 1)))")
  ecc+=(--ecc "$((i + 1))=$scheme")
  rawEcc+=(--raw-ecc "$((i + 1))=$scheme")
  raw+=("$start:$blocks")
  start=$((start + blocks))
done
"$cli" new job.part --mode 2 --table "$dir/t.bin" --data "$dir/d.bin" "${rows[@]}" >/dev/null
"$cli" merge job.part "${ecc[@]}" >/dev/null 2>&1
rawRows=() rawFiles=()
for i in 0 1 2 3; do
  IFS=: read -r first blocks <<<"${raw[$i]}"
  dd if=d.bin of="raw$i.bin" bs="$block" skip="$first" count="$blocks" status=none
  rawRows+=(--row "raw$i.bin:$(printf %X "$first"):$(printf %X $((first + blocks - 1)))")
  rawFiles+=("raw$i.bin")
done
