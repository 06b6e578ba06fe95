#!/usr/bin/env bash
# make dist-check: builds the release artifacts (scripts/dist.sh) and checks them as a user and an
# operator would meet them: the zip's programs and the installer under Wine (install, service,
# upgrade, uninstall with and without the data), the import tables of the .exe files, the .deb's
# metadata, an install and purge into a scratch root, the systemd unit and lintian.
# Prints one closing line: "N passed, N failed".
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$ROOT"
LOG="$LOGS/dist-check.log"
: >"$LOG"
SCRATCH=$(mktemp -d /tmp/vo-dist-check.XXXXXX)
finish() { cleanup_env; rm -rf "$SCRATCH"; }
trap finish EXIT

passed=0; failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $* (log: build/logs/dist-check.log)"; }
# check DESCRIPTION CMD...: one test, its output in the log.
check() {
  local what=$1; shift
  echo "== $what" >>"$LOG"
  if "$@" >>"$LOG" 2>&1; then pass "$what"; else fail "$what"; fi
}
# poll SECONDS CMD...: until CMD succeeds.
poll() {
  local n=$(($1 * 2)); shift
  while [ "$n" -gt 0 ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.5; n=$((n - 1)); done
  return 1
}

if bash scripts/dist.sh >"$LOGS/dist.log" 2>&1; then
  pass "make dist"
else
  fail "make dist"; tail -n 30 "$LOGS/dist.log"; echo "$passed passed, $failed failed"; exit 1
fi
VERSION=$(cmake -DSRC="$ROOT" -P cmake/vo_version.cmake)
ZIP="dist/vo-$VERSION-win64.zip"
SETUP="dist/vo-$VERSION-setup.exe"
DEB="dist/vo-relay_${VERSION}_amd64.deb"

# ---------------------------------------------------------------- files, versions, imports

check "icon rebuilt from its SVG is byte-identical" \
  bash -c 'bash scripts/icon.sh "$1/vo.ico" && cmp "$1/vo.ico" packaging/icon/vo.ico' _ "$SCRATCH"

zip_lists() {
  local want got
  want=$(printf "vo-$VERSION-win64/%s\n" LICENSE.txt README.txt THIRD-PARTY.txt vo_app.exe vo_client.exe vo_server.exe)
  got=$(unzip -Z1 "$ZIP" | grep -v '/$' | LC_ALL=C sort)
  [ "$got" = "$want" ] || { echo "zip holds:"; echo "$got"; return 1; }
  unzip -q "$ZIP" -d "$SCRATCH/zip"
  grep -q "vo $VERSION" "$SCRATCH/zip/vo-$VERSION-win64/README.txt"
}
check "zip holds the three programs, README, licences" zip_lists
WIN="$SCRATCH/zip/vo-$VERSION-win64"

# Only DLLs that every Windows has: no libwinpthread, libstdc++, libgcc or libsodium beside the .exe.
SYSTEM_DLLS=" $(echo advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll d3d11.dll dwmapi.dll \
  dxgi.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll shell32.dll \
  shlwapi.dll user32.dll uxtheme.dll version.dll winmm.dll ws2_32.dll) "
imports_system_only() {
  local exe dll bad=0
  [ "$(ls "$WIN"/*.exe | wc -l)" -eq 3 ] || return 1
  for exe in "$WIN"/*.exe; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}'); do
      case "$SYSTEM_DLLS" in *" $dll "*) ;; *) echo "$(basename "$exe") imports $dll"; bad=1 ;; esac
    done
    x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.debug' && { echo "$(basename "$exe") not stripped"; bad=1; }
  done
  return $bad
}
check "the .exe files import only system DLLs and are stripped" imports_system_only

versions_match() {
  local exe
  for exe in "$WIN"/*.exe; do
    strings -el "$exe" | grep -qxF "$VERSION" || { echo "$(basename "$exe"): no version $VERSION"; return 1; }
    strings -el "$exe" | grep -qx "vo remote desktop" || { echo "$(basename "$exe"): no product name"; return 1; }
  done
  [ "$(build/dist/relay/vo_relay --version)" = "vo_relay $VERSION" ]
}
check "each program carries version $VERSION (resources, vo_relay --version)" versions_match

# ---------------------------------------------------------------- Windows, under Wine

wine_checks() {
  export WINEPREFIX="$ROOT/build/wineprefix-dist"
  export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"   # no .desktop files outside the prefix
  rm -rf "$WINEPREFIX"
  xvfb_start DISPLAY || return 1
  export DISPLAY
  wine_up
  local C="$WINEPREFIX/drive_c" PF="$WINEPREFIX/drive_c/Program Files/vo"
  local LNK="$C/ProgramData/Microsoft/Windows/Start Menu/Programs/vo.lnk"
  local UNINST='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\vo'
  local RUN='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
  local SVC='HKLM\System\CurrentControlSet\Services\vo_server'
  w() { timeout 120 wine "$@" 2>/dev/null | tr -d '\r'; }
  reg_has() { wine reg query "$@" >/dev/null 2>&1; }
  uninstalled() { ! reg_has "$UNINST"; }

  check "zip: vo_server.exe -h prints its usage" bash -c 'w() { timeout 120 wine "$@" 2>/dev/null | tr -d "\r"; }
    w "$1/vo_server.exe" -h | grep "^vo_server \[port\]"' _ "$WIN"
  check "zip: vo_client.exe without arguments prints its usage" bash -c '
    timeout 120 wine "$1/vo_client.exe" 2>/dev/null | tr -d "\r" | grep "^usage: vo_client"' _ "$WIN"
  wine "$WIN/vo_app.exe" >"$SCRATCH/app.out" 2>&1 &
  disown   # the installer closes it below
  check "zip: vo_app.exe opens its window" poll 60 xdotool search --name '^vo remote desktop$'

  # 1. A plain silent install (also closes the running app).
  w "$SETUP" /S
  installed_files() {
    local f
    for f in vo_app.exe vo_server.exe vo_client.exe README.txt LICENSE.txt THIRD-PARTY.txt uninstall.exe; do
      [ -f "$PF/$f" ] || { echo "missing $f"; return 1; }
    done
    cmp "$PF/vo_server.exe" "$WIN/vo_server.exe" && [ -f "$LNK" ]
  }
  check "setup /S: files in Program Files\\vo, Start-menu shortcut" installed_files
  arp_entry() {
    local out
    out=$(wine reg query "$UNINST" 2>/dev/null | tr -d '\r')
    echo "$out"
    echo "$out" | grep -q "DisplayVersion *REG_SZ *$VERSION\$" &&
      echo "$out" | grep -q "Publisher *REG_SZ *The vo developers" &&
      echo "$out" | grep -q "EstimatedSize *REG_DWORD *0x" &&
      echo "$out" | grep -q 'UninstallString *REG_SZ *"C:\\Program Files\\vo\\uninstall.exe"'
  }
  check "setup /S: Add/Remove Programs entry with version, publisher, size" arp_entry
  check "setup /S: no service, no sign-in start unless chosen" \
    bash -c '! wine reg query "$1" >/dev/null 2>&1 && ! wine reg query "$2" /v vo >/dev/null 2>&1' _ "$SVC" "$RUN"
  check "setup /S: closed the running vo_app" poll 20 bash -c '! xdotool search --name "^vo remote desktop\$"'
  check "installed vo_server.exe -h prints its usage" \
    bash -c 'timeout 120 wine "C:\\Program Files\\vo\\vo_server.exe" -h 2>/dev/null | tr -d "\r" | grep "^vo_server \[port\]"'

  # 2. Again over it with both optional components: the service and the sign-in start.
  w "$SETUP" /S /SERVICE /AUTOSTART
  service_made() {
    local out
    out=$(wine reg query "$SVC" 2>/dev/null | tr -d '\r')
    echo "$out"
    echo "$out" | grep -q 'ImagePath *REG_SZ *"C:\\Program Files\\vo\\vo_server.exe" -svc 7777'
  }
  check "setup /S /SERVICE: the vo_server service exists with the installed program" service_made
  check "setup /S /AUTOSTART: Run key names vo_app.exe" \
    bash -c 'wine reg query "$1" /v vo 2>/dev/null | tr -d "\r" | grep -q "vo_app.exe"' _ "$RUN"
  check "the service's host ID is in ProgramData\\vo\\id.txt" test -s "$C/ProgramData/vo/id.txt"

  # 3. Uninstall (it hands over to a copy of itself in the temp folder: wait for its last step).
  w "$PF/uninstall.exe" /S
  poll 60 uninstalled
  everything_gone() {
    local bad=0
    reg_has "$SVC" && { echo "service still registered"; bad=1; }
    reg_has "$RUN" /v vo && { echo "Run value left"; bad=1; }
    reg_has "$UNINST" && { echo "uninstall entry left"; bad=1; }
    [ -e "$PF" ] && { echo "left in Program Files:"; ls -la "$PF"; bad=1; }
    [ -e "$LNK" ] && { echo "shortcut left"; bad=1; }
    return $bad
  }
  check "uninstall /S: service, files, shortcut and registry entries removed" everything_gone
  check "uninstall /S: keeps id.txt" test -s "$C/ProgramData/vo/id.txt"

  # 4. Install and uninstall asking to remove the data.
  w "$SETUP" /S /SERVICE
  w "$PF/uninstall.exe" /S /REMOVEDATA
  poll 60 uninstalled
  check "uninstall /S /REMOVEDATA: also removes ProgramData\\vo" \
    bash -c '! [ -e "$1/ProgramData/vo" ] && ! [ -e "$2" ]' _ "$C" "$PF"
}
export -f poll
wine_lock() { exec 9>/tmp/vo-wine.lock; flock 9; }
wine_lock
wine_checks
cleanup_env
exec 9>&-

# ---------------------------------------------------------------- the relay package

deb_metadata() {
  local info contents f
  info=$(dpkg-deb --info "$DEB")
  echo "$info"
  for f in "Package: vo-relay" "Version: $VERSION" "Architecture: amd64" "Depends: adduser, libc6" " conffiles" " postinst" " prerm" " postrm"; do
    echo "$info" | grep -qF "$f" || { echo "no '$f'"; return 1; }
  done
  contents=$(dpkg-deb --contents "$DEB")
  for f in "-rwxr-xr-x root/root .* ./usr/bin/vo_relay" "./lib/systemd/system/vo-relay.service" \
           "./etc/default/vo-relay" "./usr/share/doc/vo-relay/copyright" "./usr/share/man/man8/vo_relay.8.gz"; do
    echo "$contents" | grep -q -- "$f" || { echo "no '$f'"; return 1; }
  done
}
check "dpkg-deb --info/--contents: control, scripts, binary, unit, defaults, docs" deb_metadata

# dpkg into a scratch root; the maintainer scripts run against stubs that record what they would do.
scratch_install() {
  local root="$SCRATCH/root" stub="$SCRATCH/stub" c
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$stub"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  for c in adduser deluser deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$c" "$stub" >"$stub/$c"
  done
  printf '#!/bin/sh\ngrep -q "^adduser .*vo-relay$" "%s/calls" 2>/dev/null\n' "$stub" >"$stub/getent"
  chmod +x "$stub"/*
  PATH="$stub:$PATH" dpkg --root="$root" --force-script-chrootless --force-depends -i "$DEB" || return 1
  [ -x "$root/usr/bin/vo_relay" ] && [ -f "$root/lib/systemd/system/vo-relay.service" ] &&
    [ -f "$root/etc/default/vo-relay" ] || { find "$root" -type f; return 1; }
  "$root/usr/bin/vo_relay" --version | grep -qxF "vo_relay $VERSION" || return 1
  grep -q "^adduser --system --group .* vo-relay$" "$stub/calls" &&
    grep -q "^deb-systemd-helper enable vo-relay.service$" "$stub/calls" || { cat "$stub/calls"; return 1; }
  if [ -d /run/systemd/system ]; then grep -q "^deb-systemd-invoke start vo-relay.service$" "$stub/calls"
  else ! grep -q "^deb-systemd-invoke" "$stub/calls"; fi || { cat "$stub/calls"; return 1; }
  : >"$stub/calls"
  PATH="$stub:$PATH" dpkg --root="$root" --force-script-chrootless --purge vo-relay || return 1
  [ ! -e "$root/usr/bin/vo_relay" ] && [ ! -e "$root/etc/default/vo-relay" ] || return 1
  grep -q "^deb-systemd-helper purge vo-relay.service$" "$stub/calls" || { cat "$stub/calls"; return 1; }
  if [ -d /run/systemd/system ]; then grep -q "^deb-systemd-invoke stop vo-relay.service$" "$stub/calls"; fi
}
check "dpkg --root: binary, unit and defaults in place; user made, unit enabled; purge takes them away" scratch_install

unit_valid() {
  local dir="$SCRATCH/unit" out
  mkdir -p "$dir/root" && dpkg-deb -x "$DEB" "$dir/root"
  sed "s|/usr/bin/vo_relay|$dir/root/usr/bin/vo_relay|" "$dir/root/lib/systemd/system/vo-relay.service" >"$dir/vo-relay.service"
  out=$(systemd-analyze verify --man=no "$dir/vo-relay.service" 2>&1)
  [ -z "$out" ] || { echo "$out"; return 1; }
  systemd-analyze security --offline=yes "$dir/vo-relay.service" | tail -n 1
}
if command -v systemd-analyze >/dev/null 2>&1; then
  check "systemd-analyze verify: the unit is clean" unit_valid
else
  echo "skipped: systemd-analyze verify (no systemd-analyze on this machine)"
fi

# Every tag lintian still reports must be explained in docs/packaging.md.
lintian_explained() {
  local tags t bad=0
  tags=$(lintian --pedantic --display-info --display-experimental "$DEB" 2>/dev/null |
         sed -nE 's/^[EWIPX]: vo-relay[^:]*: ([A-Za-z0-9.+_-]+).*/\1/p' | sort -u)
  echo "lintian tags: ${tags:-none}"
  for t in $tags; do
    grep -qF "\`$t\`" docs/packaging.md || { echo "unexplained: $t"; bad=1; }
  done
  return $bad
}
check "lintian: clean but for the tags explained in docs/packaging.md" lintian_explained

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
