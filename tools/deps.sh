#!/usr/bin/env bash
# Installs the Debian packages that are missing, one line each:
#   tools/deps.sh            what building and running the programs needs
#   tools/deps.sh --package  and what making the .deb needs (README, Install)
#   tools/deps.sh --test     and what every test needs (tools/test.sh, CI)
#   tools/deps.sh --windows  and the Windows build, its Wine tests and its packages
#   tools/deps.sh --print SET  the packages of one set, installing nothing
set -euo pipefail
build=(
  cmake
  g++
  make
  libwxgtk3.2-dev
  fonts-wqy-microhei  # the window's Chinese texts
  libgtk-3-dev  # the window's type and its message boxes' accessible role, set through GTK
  wx3.2-i18n    # wxWidgets' own translations: chooser titles, buttons, the replace question
  libssl-dev          # SHA-256 of manifests (OpenSSL's libcrypto, with the processor's SHA instructions)
  zlib1g-dev          # CRC-32 of manifests
  nlohmann-json3-dev  # folvane-cli's JSON documents and manifests
  libtomlplusplus-dev  # text jobs (TOML), header-only: the Windows build takes the same headers
  libutfcpp-dev  # reading UTF-8 (utfcpp), header-only: the Windows build takes the same headers
  libfmt-dev     # numbers into texts (fmt), used header-only: the Windows build takes the same headers
)
package=(
  dpkg-dev  # dpkg-shlibdeps finds the package's dependencies
  file      # cpack picks the programs out with it
  help2man  # the manual pages, from --help
)
test=(
  libgtest-dev
  libgmock-dev
  xvfb
  xauth
  x11-utils  # the start-up timing
  clang
  libclang-rt-14-dev  # the fuzzer
  lintian
  desktop-file-utils  # desktop-file-validate
  appstream           # appstreamcli validate
  man-db              # man --warnings on the pages
  shared-mime-info    # update-mime-database for the .part type
  libglib2.0-bin      # gio: which type a .part file gets
  bash-completion
  xfsprogs     # the shared-extents test makes a small XFS
  btrfs-progs  # merge_bench on btrfs
  xdotool  # presses Merge in the installed window
  strace   # sees how merge creates its new files
  chromium        # renders the report to PNG and PDF, headless
  libxml2-utils   # xmllint: the report is well-formed XHTML with SVG
  python3-jsonschema  # checks every JSON document the tests print against docs/cli-json.schema.json
)
# The cross compiler and its zlib, Wine to run the results, NSIS for the installer,
# dpkg-dev for `apt-get source` of wxWidgets, GoogleTest's sources to build the tests
# with the cross compiler, unzip to check the portable zip, locales for the Chinese
# locale Wine runs the tests in, x11-apps for xwd (the window test's picture).
windows=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 nsis dpkg-dev googletest unzip locales
         x11-apps xvfb xauth)
# --print SET lists a set's packages without installing anything (SET: build, package,
# test or windows; each of the last three without the build packages).
if [ "${1:-}" = --print ]; then
  case "${2:-}" in
    build) printf '%s\n' "${build[@]}" ;;
    package) printf '%s\n' "${package[@]}" ;;
    test) printf '%s\n' "${test[@]}" ;;
    windows) printf '%s\n' "${windows[@]}" ;;
    *) echo "usage: tools/deps.sh --print build|package|test|windows" >&2; exit 64 ;;
  esac
  exit 0
fi
packages=("${build[@]}")
case "${1:-}" in
  "") ;;
  --package) packages+=("${package[@]}") ;;
  --test) packages+=("${package[@]}" "${test[@]}") ;;
  --windows) packages+=("${windows[@]}") ;;
  *) echo "usage: tools/deps.sh [--package | --test | --windows]" >&2; exit 64 ;;
esac
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
