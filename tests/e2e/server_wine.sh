#!/usr/bin/env bash
# vo_server.exe under Wine on Xvfb: GDI fallback, a native viewer rebuilds the display's picture,
# a mouse message moves the X pointer, a silent connection does not lock the host out, and the
# service commands behave.
source "$(dirname "$0")/common.sh"
cd "$E2E_WORK"
xvfb_start HD || fail "no Xvfb"
export DISPLAY=$HD
wine_up
show_colour "$HD" '#20a040' 400x300+100+120 || fail "no test pattern window"
show_colour "$HD" '#c03030' 200x100+700+500 || fail "no second pattern window"
sleep 1

port=$(free_port)
wine "$EXE/vo_server.exe" -pass P "$port" >server.out 2>&1 &
PIDS="$PIDS $!"
wait_for vo_server.log "server up on port $port" 60 || { cat server.out vo_server.log; fail "host did not start"; }
grep -q "DuplicateOutput 80004001" vo_server.log || grep -q "device" vo_server.log || fail "no duplication line"
grep -q "GDI capture 1280x800" vo_server.log || fail "no GDI fallback line"
grep -q "vo_server: ID [0-9]\{9\}  password P  listening on port $port" server.out || fail "banner: $(cat server.out)"
ok "host up, GDI fallback"

import -display "$HD" -window root host.png || fail "no screenshot"
VO_DATA_DIR="$E2E_WORK/viewer" "$NATIVE/vo_probe" 127.0.0.1 "$port" P viewer.ppm --mouse 321 123 >probe.out 2>&1 \
  || { cat probe.out; fail "probe session"; }
diff=$(compare -metric AE host.png viewer.ppm null: 2>&1 | cut -d' ' -f1)
echo "pixels differing from the host screenshot: $diff"
[ "${diff%.*}" -le 2000 ] 2>/dev/null || fail "viewer picture differs from the host display ($diff pixels)"
convert viewer.ppm -format '%[pixel:p{250,250}]' info: | grep -qi -e 'srgb(32,160,64)' -e '#20A040' \
  || fail "test colour not in the picture: $(convert viewer.ppm -format '%[pixel:p{250,250}]' info:)"
ok "viewer rebuilt the display"

loc=$(xdotool getmouselocation --shell | tr '\n' ' ')
case "$loc" in *"X=321 Y=123"*) ok "mouse moved the X pointer" ;; *) fail "pointer at $loc" ;; esac
wait_for vo_server.log "client disconnected" 10 || fail "session end not logged"

# A TCP connection that never speaks holds the host for its 10 s deadline only: a real viewer
# behind it is served while it stays open.
exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "no silent connection"
sleep 1
start=$(date +%s)
VO_DATA_DIR="$E2E_WORK/viewer" timeout 30 "$NATIVE/vo_probe" 127.0.0.1 "$port" P behind.ppm --settle 500 >behind.out 2>&1 \
  || { cat behind.out vo_server.log; fail "no session behind a silent connection"; }
echo "viewer served $(( $(date +%s) - start )) s after it connected behind a silent connection"
grep -q "handshake timed out after 10000 ms" vo_server.log || fail "no time-out line: $(cat vo_server.log)"
exec 3>&-
ok "a silent connection does not lock the host out"

# Service commands (the service is never started here).
wine "$EXE/vo_server.exe" -install -relay -pass P -rotate 3 -gdi >install.out 2>&1; rc=$?
[ $rc -eq 0 ] && grep -q "installed service 'vo_server' (auto-start)" install.out || fail "install: rc=$rc $(cat install.out)"
id=$(cat "$WINEPREFIX/drive_c/ProgramData/vo/id.txt")
# This Wine's sc has no "qc": read the stored configuration from the registry instead.
wine reg query 'HKLM\System\CurrentControlSet\Services\vo_server' >qc.out 2>&1
tr -d '\r' <qc.out | grep -q -- "vo_server.exe\" -svc 7777 -relay localhost:7000 -room $id -pass P" || fail "service command line: $(cat qc.out)"
grep -q -- "-rotate\|-gdi" qc.out && fail "service command line carries -rotate/-gdi"
ok "install with the right command line"
wine "$EXE/vo_server.exe" -install >install2.out 2>&1; rc=$?
[ $rc -eq 1 ] && grep -q "service already exists" install2.out || fail "second install: rc=$rc $(cat install2.out)"
wine "$EXE/vo_server.exe" -uninstall >un.out 2>&1; rc=$?
[ $rc -eq 0 ] && grep -q "uninstalled service 'vo_server'" un.out || fail "uninstall: rc=$rc $(cat un.out)"
wine "$EXE/vo_server.exe" -uninstall >un2.out 2>&1; rc=$?
[ $rc -eq 1 ] && grep -q "service not found" un2.out || fail "second uninstall: rc=$rc $(cat un2.out)"
timeout 30 wine "$EXE/vo_server.exe" -svc >svc.out 2>&1; rc=$?
[ $rc -eq 1 ] || fail "-svc in a console: rc=$rc"
ok "service commands"

# An empty fixed password is refused before anything runs, also for the service.
for args in '-pass ""' '-install -pass ""'; do
  eval wine '"$EXE/vo_server.exe"' $args >empty.out 2>&1; rc=$?
  [ $rc -eq 1 ] && grep -q "vo_server: -pass needs a password that is not empty" empty.out \
    || fail "vo_server $args: rc=$rc $(cat empty.out)"
done
wine reg query 'HKLM\System\CurrentControlSet\Services\vo_server' >/dev/null 2>&1 && fail "service made with an empty password"
ok "empty password refused"
echo "server_wine: all checks passed"
