#!/usr/bin/env bash
# Starts the window under Xvfb and saves a picture of it: tools/screenshot.sh [OUT.png]
# With FOLVANE_SCRIPT set, runs that command (with DISPLAY set) instead of starting
# the plain window, then takes the picture.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs/window.png}")"
exe="${FOLVANE_EXE:-$root/build/ui/folvane}"
export out exe
xvfb-run -a -s '-screen 0 1280x1024x24' bash -c '
  "$exe" & pid=$!
  for _ in $(seq 50); do
    xwininfo -root -tree 2>/dev/null | grep -q "Folvane V1.4" && break
    sleep 0.1
  done
  sleep 1
  id=$(xwininfo -root -tree | grep "\"Folvane V1.4\"" | head -1 | awk "{print \$1}")
  import -window "$id" "$out"
  kill $pid
'
echo "saved $out"
