#!/usr/bin/env bash
# make dist: the three release artifacts in dist/, built on this Debian machine:
#   vo-<version>-win64.zip         the Windows programs (release build, stripped, static), README, licences
#   vo-<version>-setup.exe         the NSIS installer of the same programs
#   vo-relay_<version>_amd64.deb   vo_relay with its systemd unit, for Debian and Ubuntu servers
# VO_RELAY_HOST sets the relay host built into the Windows programs (default localhost);
# VO_MAINTAINER the package maintainer. Build trees are in build/dist/, logs in build/logs/.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$ROOT"

RELAY_HOST=${VO_RELAY_HOST:-localhost}
MAINTAINER=${VO_MAINTAINER:-The vo developers <vo@example.org>}
OUT="$ROOT/dist"
WORK="$ROOT/build/dist"

step dist-deps bash scripts/deps.sh dist || exit 1
VERSION=$(cmake -DSRC="$ROOT" -P cmake/vo_version.cmake) || exit 1
BASE=$(head -n 1 VERSION | tr -d ' \r\n')
# Dates inside the artifacts: the commit's, so the same commit gives the same files.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT}
fi

# crlf SRC DST [sed args]: a text file for Windows, placeholders filled in.
crlf() {
  sed -e "s/@VERSION@/$VERSION/g" -e "s/@RELAY@/$RELAY_HOST/g" -e 's/\r$//' -e 's/$/\r/' "$1" >"$2"
}

# The Windows programs: release build, stripped at link time, static runtimes (CMakeLists.txt).
build_windows() {
  step dist-configure-win cmake -S . -B "$WORK/win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-s -DVO_DEFAULT_RELAY_HOST="$RELAY_HOST" \
    -DSODIUM_ROOT="$SODIUM_ROOT" || return 1
  step dist-build-win cmake --build "$WORK/win" -j"$JOBS" --target vo_server vo_client vo_app || return 1
  local stage="$WORK/stage/vo-$VERSION-win64"
  rm -rf "$WORK/stage" && mkdir -p "$stage"
  cp "$WORK/win/vo_app.exe" "$WORK/win/vo_server.exe" "$WORK/win/vo_client.exe" "$stage/"
  crlf packaging/windows/README.txt "$stage/README.txt"
  crlf LICENSE "$stage/LICENSE.txt"
  crlf packaging/windows/THIRD-PARTY.txt "$stage/THIRD-PARTY.txt"
  touch -d "@$SOURCE_DATE_EPOCH" "$stage" "$stage"/*
}

make_zip() {
  local zip="$OUT/vo-$VERSION-win64.zip"
  (cd "$WORK/stage" && TZ=UTC zip -q -X -9 -r "$zip" "vo-$VERSION-win64")
}

make_setup() {
  local v4="$BASE.0"
  # The picture beside the installer's welcome and finish pages: the icon on the icon's dark blue.
  rsvg-convert -w 128 -h 128 packaging/icon/vo.svg -o "$WORK/stage/icon-128.png" &&
    convert -size 164x314 xc:'#0d3b78' "$WORK/stage/icon-128.png" -gravity north -geometry +0+56 -composite \
      -type TrueColor BMP3:"$WORK/stage/welcome.bmp" || return 1
  step dist-makensis makensis -V2 -WX -INPUTCHARSET UTF8 -DVERSION="$VERSION" -DVERSION4="$v4" \
    -DSTAGE="$WORK/stage/vo-$VERSION-win64" -DICON="$ROOT/packaging/icon/vo.ico" \
    -DWELCOME="$WORK/stage/welcome.bmp" -DOUTFILE="$OUT/vo-$VERSION-setup.exe" packaging/windows/vo.nsi
}

# vo_relay with Debian's hardening flags, stripped as Debian strips.
build_relay() {
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  step dist-configure-relay cmake -S . -B "$WORK/relay" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" || return 1
  step dist-build-relay cmake --build "$WORK/relay" -j"$JOBS" --target vo_relay
}

# The manual page: vo_relay's own --help text, so it always lists every option.
relay_manpage() {
  local date
  date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
  printf '.TH VO_RELAY 8 "%s" "vo %s" "vo"\n' "$date" "$VERSION"
  printf '.SH NAME\nvo_relay \\- relay server for the vo remote desktop\n'
  printf '.SH SYNOPSIS\n.B vo_relay\n[\\fIoptions\\fR]\n'
  printf '.SH DESCRIPTION\n.nf\n'
  "$WORK/relay/vo_relay" --help | sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/" -e 's/-/\\-/g'
  printf '.fi\n.SH FILES\n.TP\n.I /etc/default/vo-relay\n'
  printf 'the options of the vo\\-relay service (VO_RELAY_OPTS)\n'
  printf '.SH SEE ALSO\n.BR systemctl (1),\n.BR journalctl (1)\n'
}

make_deb() {
  local root="$WORK/deb/root" deb="$OUT/vo-relay_${VERSION}_amd64.deb" doc depends size
  rm -rf "$WORK/deb" && mkdir -p "$root/DEBIAN"
  doc="$root/usr/share/doc/vo-relay"
  install -d "$root/usr/bin" "$root/lib/systemd/system" "$root/etc/default" "$doc" "$root/usr/share/man/man8"
  install -m 0755 "$WORK/relay/vo_relay" "$root/usr/bin/vo_relay"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/vo_relay"
  install -m 0644 packaging/deb/vo-relay.service "$root/lib/systemd/system/vo-relay.service"
  install -m 0644 packaging/deb/vo-relay.default "$root/etc/default/vo-relay"
  install -m 0644 packaging/deb/copyright "$doc/copyright"
  printf 'vo-relay (%s) unstable; urgency=medium\n\n  * Release %s of vo.\n\n -- %s  %s\n' \
    "$VERSION" "$VERSION" "$MAINTAINER" "$(date -u -R -d "@$SOURCE_DATE_EPOCH")" | gzip -9n >"$doc/changelog.gz"
  relay_manpage | gzip -9n >"$root/usr/share/man/man8/vo_relay.8.gz"
  chmod 0644 "$doc/changelog.gz" "$root/usr/share/man/man8/vo_relay.8.gz"
  install -m 0755 packaging/deb/postinst packaging/deb/prerm packaging/deb/postrm "$root/DEBIAN/"
  echo /etc/default/vo-relay >"$root/DEBIAN/conffiles"
  # Library dependencies as Debian computes them (dpkg-shlibdeps reads a debian/control).
  mkdir -p "$WORK/deb/src/debian"
  printf 'Source: vo\n\nPackage: vo-relay\nArchitecture: amd64\n' >"$WORK/deb/src/debian/control"
  depends=$(cd "$WORK/deb/src" && dpkg-shlibdeps -O "$root/usr/bin/vo_relay" 2>>"$LOGS/dist-deb.log" \
            | sed -n 's/^shlibs:Depends=//p') || return 1
  [ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies"; return 1; }
  size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
  sed -e "s/@VERSION@/$VERSION/" -e "s/@MAINTAINER@/$MAINTAINER/" -e "s/@SIZE@/$size/" \
      -e "s/@DEPENDS@/adduser, $depends/" packaging/deb/control.in >"$root/DEBIAN/control"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | LC_ALL=C sort | xargs md5sum) \
    >"$root/DEBIAN/md5sums"
  find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  step dist-deb dpkg-deb --root-owner-group -Zxz --build "$root" "$deb"
}

mkdir -p "$OUT"
rm -f "$OUT"/vo-*-win64.zip "$OUT"/vo-*-setup.exe "$OUT"/vo-relay_*_amd64.deb
echo "building vo $VERSION (logs in build/logs/)"
build_windows || exit 1
make_zip || { echo "FAILED: zip"; exit 1; }
make_setup || exit 1
build_relay || exit 1
make_deb || { echo "FAILED: deb (log: build/logs/dist-deb.log)"; exit 1; }

for f in "$OUT/vo-$VERSION-win64.zip" "$OUT/vo-$VERSION-setup.exe" "$OUT/vo-relay_${VERSION}_amd64.deb"; do
  printf '%-60s %9s bytes (%s)\n' "${f#"$ROOT"/}" "$(stat -c %s "$f")" "$(numfmt --to=iec --suffix=B "$(stat -c %s "$f")")"
done
