#!/usr/bin/env bash
# Pictures of the window for the README, taken under Xvfb:
#   docs/window.png  the window as it starts
#   docs/merged.png  a three-row job loaded with IMPORT and merged, the pane with the
#                    checksums and the chip's margins
#   docs/about.png   the about box
#   docs/message.png a message box with its icon (a refused block number)
#   docs/terminal-map.png  folvane-cli check's map on a 100-column terminal
#   docs/report.png  the merge's --report page as headless chromium renders it
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FOLVANE_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target window_shot folvane-cli >/dev/null
shot="$build/ui/window_shot"
cli="$build/cli/folvane-cli"
mkdir -p "$root/docs"
job="$(mktemp -d /tmp/folvane-shot-XXXXXX)"
trap 'rm -rf "$job"' EXIT
head -c 300000 /dev/urandom > "$job/boot.bin"
head -c 1000000 /dev/urandom > "$job/kernel.bin"
printf 'console=ttyS0' > "$job/config.bin"
"$cli" new "$job/job.part" --mode 2 --table "$job/Partition_Table.bin" --data "$job/Data_Merge.bin" \
  --row "$job/boot.bin:0:3" --row "$job/kernel.bin:4:1F" --row "$job/config.bin:20:20"
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/window.png"
# The chip: block 0x20 bad, so the last row runs out; and 40 bad blocks on 0x400.
printf '0x6\n0x20\n' > "$job/bad.txt"
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/merged.png" "$job/job.part" "$job/bad.txt" "40 of 0x400"
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/about.png" --about
xvfb-run -a -s '-screen 0 1280x1024x24' "$shot" "$root/docs/message.png" --message

# The terminal map: check run on a terminal, its colours turned into an HTML page
# that chromium photographs.
browser() {
  chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$job/profile-$RANDOM" "$@" 2>/dev/null
}
(cd "$job" && script -qec "stty cols 100; '$cli' check job.part" /dev/null) | tr -d '\r' >"$job/check.txt"
{
  printf '<!DOCTYPE html><html><body style="margin:0;background:#1e1e1e"><pre style="margin:0;padding:10px;'
  printf 'color:#e0e0e0;font:14px DejaVu Sans Mono,monospace;line-height:1.2"><span>'
  sed -e 's/&/\&amp;/g; s/</\&lt;/g' \
      -e 's/\x1b\[38;2;\([0-9]*\);\([0-9]*\);\([0-9]*\)m/<\/span><span style="color:rgb(\1,\2,\3)">/g' \
      -e 's/\x1b\[0m/<\/span><span>/g' "$job/check.txt"
  printf '</span></pre></body></html>'
} >"$job/check.html"
browser --window-size=930,330 --screenshot="$root/docs/terminal-map.png" "file://$job/check.html"
"$cli" merge "$job/job.part" --report "$job/report.html" 2>/dev/null
browser --window-size=1000,560 --screenshot="$root/docs/report.png" "file://$job/report.html"
echo "saved docs/window.png, docs/merged.png, docs/about.png, docs/message.png, docs/terminal-map.png and docs/report.png"
