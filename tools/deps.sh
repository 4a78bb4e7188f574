#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the window need, if missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev libwxgtk3.2-dev xvfb xauth fonts-wqy-microhei
          clang libclang-rt-14-dev x11-utils
          # folvane-cli's manifest and --json: SHA-256 (libcrypto), CRC-32 (zlib), JSON
          libssl-dev zlib1g-dev nlohmann-json3-dev)
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
