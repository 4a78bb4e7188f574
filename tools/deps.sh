#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the window need, if missing.
#   tools/deps.sh             the Linux build and its tests
#   tools/deps.sh --windows   and the Windows build, its Wine tests and its packages
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev libwxgtk3.2-dev xvfb xauth fonts-wqy-microhei
          clang libclang-rt-14-dev x11-utils)
# --windows: the cross compiler and its zlib, Wine to run the results, NSIS for the
# installer, dpkg-dev for `apt-get source` of wxWidgets, GoogleTest's sources to build
# the tests with the cross compiler, unzip to check the portable zip, locales for the
# Chinese locale Wine runs the tests in, x11-apps for xwd (the window test's picture).
windows_packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 nsis dpkg-dev googletest unzip locales
                  x11-apps)
if [ "${1:-}" = "--windows" ]; then
  packages+=("${windows_packages[@]}")
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
