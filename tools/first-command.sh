#!/usr/bin/env bash
# Runs the README's first command, all but starting the window, in a clean clone as
# a newcomer's machine would: only the packages of plain tools/deps.sh are visible.
# Every package that the other sets add (tests, packaging, Windows) and that the plain
# set does not pull in itself is hidden from the build: inside a private mount
# namespace, /usr is covered by an overlay whose whiteouts remove those packages'
# files. Needs root (CI is root); without it, says so and does nothing.
#
# It clones the committed HEAD: uncommitted changes are not part of what it tries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "first-command: skipped, hiding packages needs root" >&2
  exit 0
fi

# The first command is the first line of the README's first sh block; it must end by
# starting the window, which is the part left out here.
command=$(awk '/^```sh$/ {getline; print; exit}' "$root/README.md")
start=' && build/ui/folvane'
case "$command" in
  *"$start") command=${command%"$start"} ;;
  *) echo "first-command: the README's first command does not end with '$start': $command" >&2; exit 1 ;;
esac

work=$(mktemp -d /tmp/folvane-first.XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

# What the plain set needs, dependencies included, stays visible.
mapfile -t build < <("$root/tools/deps.sh" --print build)
needed=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
           --no-replaces --no-enhances "${build[@]}" 2>/dev/null | sed -n 's/^\([^ <][^ ]*\)$/\1/p' \
           | sed 's/:.*//' | sort -u)
hidden=()
for set in package test windows; do
  while read -r p; do
    grep -qxF "$p" <<<"$needed" && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || continue
    hidden+=("$p")
  done < <("$root/tools/deps.sh" --print "$set")
done
mapfile -t hidden < <(printf '%s\n' "${hidden[@]}" | sort -u)

upper="$work/upper"
mkdir -p "$upper" "$work/overlay-work"
count=0
while read -r f; do
  [ -L "$f" ] || [ -f "$f" ] || continue
  rel=${f#/usr/}
  mkdir -p "$upper/$(dirname "$rel")"
  [ -e "$upper/$rel" ] || { mknod "$upper/$rel" c 0 0; count=$((count + 1)); }
done < <(dpkg -L "${hidden[@]}" 2>/dev/null | grep '^/usr/')
echo "first-command: hiding ${#hidden[@]} packages (${hidden[*]}), $count files" >&2

git clone -q "$root" "$work/clone"
echo "first-command: $command" >&2
unshare -m bash -c '
  set -euo pipefail
  mount -t overlay overlay -o "lowerdir=/usr,upperdir=$1/upper,workdir=$1/overlay-work" /usr
  cd "$1/clone"
  if command -v xvfb-run >/dev/null || [ -e /usr/include/gtest/gtest.h ]; then
    echo "first-command: the test packages are still visible" >&2
    exit 1
  fi
  bash -c "$2"
  test -x build/ui/folvane
  build/ui/folvane --version
  build/cli/folvane-cli --version
  if [ -d build/tests ] || [ -d build/bench ]; then
    echo "first-command: the plain build built tests or benchmarks" >&2
    exit 1
  fi
' _ "$work" "$command"
echo "first-command: passed" >&2
