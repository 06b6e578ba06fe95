#!/usr/bin/env bash
# Installs what building and testing vo needs on Debian, idempotently and quietly:
# Debian packages, and libsodium and zstd cross-built for mingw-w64 from Debian's source packages,
# cached outside the checkout and reused when present. "deps.sh dist" also installs the release
# tools (make dist, make dist-check).
set -euo pipefail

PKGS="cmake make g++ clang libclang-rt-14-dev pkg-config libsodium-dev liblz4-dev libzstd-dev zstd zlib1g-dev libgtest-dev googletest
libbenchmark-dev mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 xvfb
x11-utils xdotool xclip imagemagick autoconf automake libtool dpkg-dev nginx libnginx-mod-stream curl procps python3"
if [ "${1:-}" = dist ]; then
  PKGS="$PKGS nsis lintian zip unzip librsvg2-bin icoutils"
fi

missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "deps: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
  # nginx is only a benchmark peer: do not leave it running as a service.
  if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx >/dev/null 2>&1 || true; fi
  pkill -x nginx >/dev/null 2>&1 || true
fi

# The browser viewer: Node and npm vendor its crypto library and run its tests, chromium runs the
# browser test. Tolerated when they cannot be installed: that test is then skipped.
web_missing=""
command -v node >/dev/null 2>&1 || web_missing="$web_missing nodejs"
command -v npm >/dev/null 2>&1 || web_missing="$web_missing npm"
[ -x /usr/bin/chromium ] || web_missing="$web_missing chromium"
if [ -n "$web_missing" ]; then
  echo "deps: installing$web_missing (browser viewer)"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends $web_missing; } >/dev/null 2>&1 \
    || echo "deps: could not install$web_missing; the browser viewer's tests will be skipped"
fi

# Fetches Debian's source package $1 (version pattern $2) into $3 without touching the machine's
# apt configuration: a private deb-src entry and lists of its own.
fetch_source() {
  local pkg=$1 ver=$2 work=$3
  mkdir -p "$work/apt/lists/partial" "$work/apt/sources"
  mirror=$(grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n 1 | awk '{print $2}')
  [ -n "$mirror" ] || mirror=$(grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1 | awk '{print $2}')
  [ -n "$mirror" ] || mirror="http://deb.debian.org/debian"
  echo "deb-src $mirror bookworm main" > "$work/apt/sources/src.list"
  opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/apt/sources"
        -o Dir::State::Lists="$work/apt/lists")
  apt-get "${opts[@]}" update -qq >/dev/null
  (cd "$work" && apt-get "${opts[@]}" source --download-only -qq "$pkg=$ver*" >/dev/null 2>&1 \
     || apt-get "${opts[@]}" source --download-only -qq "$pkg" >/dev/null)
}

# libsodium for the Windows target.
SODIUM_VERSION=1.0.18
CACHE="${VO_CACHE:-/var/cache/vo}"
PREFIX="$CACHE/libsodium-$SODIUM_VERSION-mingw64"
if [ ! -f "$PREFIX/lib/libsodium.a" ]; then
  echo "deps: building libsodium $SODIUM_VERSION for mingw-w64 (once, cached in $PREFIX)"
  work="$CACHE/src-libsodium"
  rm -rf "$work"
  fetch_source libsodium "$SODIUM_VERSION" "$work"
  tar -xf "$(ls "$work"/libsodium_*.orig.tar.* | grep -v '\.asc$' | head -n 1)" -C "$work"
  src=$(find "$work" -maxdepth 1 -type d -name 'libsodium*' | head -n 1)
  (cd "$src" && ./autogen.sh -s >/dev/null 2>&1 \
     && ./configure -q --host=x86_64-w64-mingw32 --disable-shared --enable-static --prefix="$PREFIX" >/dev/null \
     && make -s -j"$(nproc)" install >/dev/null 2>&1)
  rm -rf "$work"
  test -f "$PREFIX/lib/libsodium.a"
fi

# zstd for the Windows target: the static library from its lib/ Makefile (no threads, no legacy
# formats), with zstd.h and zdict.h beside it.
ZSTD_VERSION=1.5.4
ZPREFIX="$CACHE/zstd-$ZSTD_VERSION-mingw64"
if [ ! -f "$ZPREFIX/lib/libzstd.a" ]; then
  echo "deps: building zstd $ZSTD_VERSION for mingw-w64 (once, cached in $ZPREFIX)"
  work="$CACHE/src-zstd"
  rm -rf "$work"
  fetch_source libzstd "$ZSTD_VERSION" "$work"
  tar -xf "$(ls "$work"/libzstd_*.orig.tar.* | grep -v '\.asc$' | head -n 1)" -C "$work"
  src=$(dirname "$(find "$work" -mindepth 2 -maxdepth 3 -path '*/lib/zstd.h' | head -n 1)")/..
  make -s -C "$src/lib" -j"$(nproc)" libzstd.a CC=x86_64-w64-mingw32-gcc AR=x86_64-w64-mingw32-ar \
    ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD_SUPPORT=0 >/dev/null 2>&1
  mkdir -p "$ZPREFIX/lib" "$ZPREFIX/include"
  cp "$src/lib/libzstd.a" "$ZPREFIX/lib/"
  cp "$src/lib/zstd.h" "$src/lib/zdict.h" "$src/lib/zstd_errors.h" "$ZPREFIX/include/"
  rm -rf "$work"
  test -f "$ZPREFIX/lib/libzstd.a"
fi
echo "$PREFIX"
