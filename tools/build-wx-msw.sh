#!/usr/bin/env bash
# Builds wxWidgets as a static MSW library for the MinGW-w64 cross compiler, once per
# version, from Debian's own source package, into a cache outside the source tree.
# Prints the install prefix (the folder holding bin/wx-config) on standard output.
#
#   tools/build-wx-msw.sh            build if needed, print the prefix
#   FOLVANE_WX_CACHE=/some/dir ...   cache somewhere else
#   WX_MAKE_JOBS=2 ...               parallel make (default 2, run under nice)
set -euo pipefail

suite=bookworm
host=x86_64-w64-mingw32
cache_root=${FOLVANE_WX_CACHE:-}
if [ -z "$cache_root" ]; then
  if [ "$(id -u)" -eq 0 ] || [ -w /var/cache ]; then
    cache_root=/var/cache/folvane
  else
    cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/folvane
  fi
fi
jobs=${WX_MAKE_JOBS:-2}

log() { echo "build-wx-msw: $*" >&2; }
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# The version is the one Debian ships for this suite; the cache is keyed by it so an
# updated source package builds beside the old one instead of over it.
version=$(dpkg-query -W -f='${Version}' libwxbase3.2-1 2>/dev/null || true)
if [ -z "$version" ]; then
  version=$(apt-cache show --no-all-versions wxwidgets3.2 2>/dev/null | sed -n 's/^Version: //p' | head -1 || true)
fi
[ -n "$version" ] || version=unknown
key="wxmsw-${version//[:~+]/_}-$host"
prefix="$cache_root/$key"

if [ -f "$prefix/.built" ] && [ -x "$prefix/bin/wx-config" ]; then
  echo "$prefix"
  exit 0
fi

# A deb-src entry for the same suite, if none is enabled yet.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  log "adding a deb-src entry for $suite"
  $sudo tee /etc/apt/sources.list.d/folvane-deb-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $sudo apt-get update -qq
fi

need=()
for p in dpkg-dev g++-mingw-w64-x86-64-posix libz-mingw-w64-dev make; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  log "installing ${need[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
fi

$sudo mkdir -p "$cache_root"
[ "$(id -u)" -ne 0 ] && $sudo chown "$(id -u):$(id -g)" "$cache_root"
work="$cache_root/$key-src"
rm -rf "$work"
mkdir -p "$work"
log "fetching the wxwidgets3.2 source package into $work"
(cd "$work" && apt-get source -qq --download-only wxwidgets3.2 >&2 \
  && dpkg-source --no-check -x ./*.dsc src >&2)

mkdir -p "$work/build"
cd "$work/build"
log "configuring (static MSW, $host)"
../src/configure --prefix="$prefix" --host="$host" \
  CC="$host-gcc-posix" CXX="$host-g++-posix" \
  --disable-shared --with-msw \
  --without-libpng --without-libjpeg --without-libtiff --without-expat \
  --with-zlib=sys --with-regex=builtin --without-opengl \
  --disable-xrc --disable-html --disable-aui --disable-propgrid --disable-ribbon \
  --disable-richtext --disable-stc --disable-webview --disable-mediactrl --disable-svg \
  --disable-debug_info >config.out 2>&1 || { tail -40 config.out >&2; exit 1; }
log "building with make -j$jobs (about 12 minutes on 2 cores)"
nice -n 15 make -j"$jobs" >make.out 2>&1 || { tail -40 make.out >&2; exit 1; }
rm -rf "$prefix"
make install >install.out 2>&1 || { tail -40 install.out >&2; exit 1; }
touch "$prefix/.built"
cd /
rm -rf "$work"
log "installed in $prefix"
echo "$prefix"
