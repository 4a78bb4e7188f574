#!/usr/bin/env bash
# Pictures of the window for the README, taken under Xvfb:
#   docs/window.png  the window as it starts
#   docs/merged.png  a three-row job loaded with IMPORT and merged
#   docs/about.png   the about box
#   docs/message.png a message box with its icon (a refused block number)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target window_shot folvane-cli >/dev/null
shot="$root/build/ui/window_shot"
cli="$root/build/cli/folvane-cli"
mkdir -p "$root/docs"
job="$(mktemp -d /tmp/folvane-shot-XXXXXX)"
trap 'rm -rf "$job"' EXIT
head -c 300000 /dev/urandom > "$job/boot.bin"
head -c 1000000 /dev/urandom > "$job/kernel.bin"
printf 'console=ttyS0' > "$job/config.bin"
"$cli" new "$job/job.part" --mode 2 --table "$job/Partition_Table.bin" --data "$job/Data_Merge.bin" \
  --row "$job/boot.bin:0:3" --row "$job/kernel.bin:4:1F" --row "$job/config.bin:20:20"
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/window.png"
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/merged.png" "$job/job.part"
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/about.png" --about
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/message.png" --message
echo "saved docs/window.png, docs/merged.png, docs/about.png and docs/message.png"
