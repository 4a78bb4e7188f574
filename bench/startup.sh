#!/usr/bin/env bash
# How long the window takes to appear: starts folvane under Xvfb and polls the X
# server until the window is mapped. Usage: bench/startup.sh [runs]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
exe="$root/build/ui/folvane"
export exe runs="${1:-5}" short="$("$root/tools/version.sh" short)"
xvfb-run -a -s '-screen 0 1280x1024x24' bash -c '
  for i in $(seq "$runs"); do
    t0=$(date +%s%N)
    "$exe" & pid=$!
    # Bounded: a window that never appears ends the benchmark instead of hanging it.
    waited=0
    until xwininfo -root -tree 2>/dev/null | grep -q "\"Folvane V$short\""; do
      sleep 0.01
      waited=$((waited + 1))
      if [ "$waited" -ge 3000 ]; then
        echo "run $i: no window after 30 s" >&2
        kill $pid 2>/dev/null || true
        exit 1
      fi
    done
    t1=$(date +%s%N)
    echo "run $i: window mapped after $(( (t1 - t0) / 1000000 )) ms"
    kill $pid; wait $pid 2>/dev/null || true
  done
'
