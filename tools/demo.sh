#!/usr/bin/env bash
# Builds folvane-cli, makes three small images, saves a job with `folvane-cli new`,
# checks it, merges it with a manifest, prints the partition table it wrote and
# verifies the outputs against the job and against the manifest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target folvane-cli >/dev/null
cli="$root/build/cli/folvane-cli"
demo="$(mktemp -d /tmp/folvane-demo-XXXXXX)"
cd "$demo"
head -c 300000 /dev/urandom > boot.bin
head -c 1000000 /dev/urandom > kernel.bin
printf 'console=ttyS0' > config.bin
set -x
"$cli" new job.part --mode 2 --table Partition_Table.bin --data Data_Merge.bin \
  --row boot.bin:0:3 --row kernel.bin:4:1F --row config.bin:20:20
"$cli" show job.part
"$cli" check job.part
"$cli" merge job.part --manifest release.sha256 --manifest release.json
sha256sum -c release.sha256
"$cli" table Partition_Table.bin
"$cli" verify job.part
"$cli" verify --manifest release.json
ls -l "$demo"
