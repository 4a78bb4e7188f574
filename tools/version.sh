#!/usr/bin/env bash
# Prints the version from project(VERSION) in the top CMakeLists.txt, the one place it
# is written; "short" prints major.minor, as the window's title shows it.
set -euo pipefail
version=$(sed -n 's/^project(folvane VERSION \([0-9][0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
if [ "${1:-}" = short ]; then echo "${version%.*}"; else echo "$version"; fi
