#!/usr/bin/env bash
# vo_client.exe views vo_server.exe under Wine, each on its own Xvfb display: the viewer window
# shows the host's picture scaled, its title carries the statistics, a click and a typed key
# arrive on the host display, closing the window ends the viewer even with the host frozen, and a
# wrong password is refused with exit code 1. The direct pair runs with the version 2 login required
# on both sides (-v2only, -v2); the relay pair agrees on version 2 by itself.
source "$(dirname "$0")/common.sh"
cd "$E2E_WORK"
xvfb_start HD || fail "no Xvfb for the host"
xvfb_start VD || fail "no Xvfb for the viewer"
export DISPLAY=$HD
wine_up
wine_up "$VIEWER_PREFIX"
show_colour "$HD" '#2050d0' 500x300+60+60 || fail "no test pattern"
show_colour "$HD" '#e0c020' 300x200+800+500 || fail "no second test pattern"
# A Windows window on the host that logs the input it receives (injected input reaches Wine's
# own windows only).
wine "$EXE/vo_inputlog.exe" "$(winepath -w "$E2E_WORK")\\input.txt" 900 100 300 150 >/dev/null 2>&1 &
PIDS="$PIDS $!"
wait_for input.txt ready 60 || fail "no input log window"

port=$(free_port)
wine "$EXE/vo_server.exe" -pass P -v2only "$port" >server.out 2>&1 &
spid=$!; PIDS="$PIDS $spid"
wait_for vo_server.log "server up on port $port" 60 || { cat server.out; fail "host did not start"; }

DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_client.exe" 127.0.0.1 "$port" -p wrong >wrong.out 2>&1; rc=$?
[ $rc -eq 1 ] || fail "wrong password: exit $rc"
tr -d '\r' <wrong.out | grep -qx "authentication failed (wrong password, or host not online)" || fail "wrong password: $(cat wrong.out)"
ok "wrong password refused"

DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_client.exe" 127.0.0.1 "$port" -p P -v2 >client.out 2>&1 &
cpid=$!; PIDS="$PIDS $cpid"
win=""
for _ in $(seq 1 300); do
  win=$(DISPLAY=$VD xdotool search --name '^vo - ' 2>/dev/null | head -n 1); [ -n "$win" ] && break; sleep 0.1
done
[ -n "$win" ] || { cat client.out; fail "no viewer window"; }
wait_for vo_server.log "login version 2" 10 || fail "not the version 2 login: $(cat vo_server.log)"
ok "version 2 login (-v2only host, -v2 viewer)"
sleep 3
title=$(DISPLAY=$VD xdotool getwindowname "$win")
echo "title: $title"
echo "$title" | grep -Eq '^vo - .+  1280x800  [0-9]+ fps  [0-9]+ KB/s  cache hits [0-9]+  misses [0-9]+$' || fail "title: $title"
ok "title shows the statistics"

# The client area is 9/10 of the 1280x800 viewer screen: the picture at scale 0.9.
eval "$(DISPLAY=$VD xdotool getwindowgeometry --shell "$win")"
import -display "$HD" -window root host.png
import -display "$VD" -window root viewer-screen.png
# Find the client area: the window's inner 1152x720 lies at the bottom of its frame.
cx=$((X + (WIDTH - 1152) / 2)); cy=$((Y + HEIGHT - 720 - (WIDTH - 1152) / 2))
convert viewer-screen.png -crop "1152x720+$cx+$cy" +repage viewer.png
convert host.png -resize 1152x720! host-scaled.png
rmse=$(compare -metric RMSE host-scaled.png viewer.png null: 2>&1 | sed -E 's/.*\(([0-9.]+)\).*/\1/')
echo "normalised RMSE between the scaled host screen and the viewer client area: $rmse"
awk -v r="$rmse" 'BEGIN { exit !(r < 0.06) }' || fail "viewer picture differs (RMSE $rmse)"
ok "viewer shows the host picture"

# A click over the input log window on the host (host 1050,175 -> client 945,157), then a key.
DISPLAY=$VD xdotool mousemove --sync $((cx + 945)) $((cy + 157)) click 1
sleep 1
loc=$(DISPLAY=$HD xdotool getmouselocation --shell | tr '\n' ' ')
echo "host pointer: $loc"
case "$loc" in *"X=1049 "*|*"X=1050 "*|*"X=1051 "*) ;; *) fail "click did not reach the host: $loc" ;; esac
grep -Eq "^down 1(49|50|51) 7[3-6]\b" input.txt || fail "no click in the host's window: $(cat input.txt)"
DISPLAY=$VD xdotool windowfocus --sync "$win" 2>/dev/null || true
DISPLAY=$VD xdotool key --window "$win" q
sleep 1
grep -q "^key 81 1" input.txt || fail "typed key did not reach the host: $(cat input.txt)"
ok "click and key arrive on the host"

# The host freezes (it neither reads nor sends any more); closing the viewer window still ends
# vo_client.exe at once. (Wine on a display without a window manager spends up to 2 s hiding a
# window that is destroyed, which the time printed here includes.)
kill -STOP "$spid"
DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_uitext.exe" post voviewer 0x0010 0 0 >/dev/null 2>&1 \
  || { kill -CONT "$spid"; fail "no viewer window to close"; }
t0=$(date +%s%N)
for _ in $(seq 1 150); do kill -0 "$cpid" 2>/dev/null || break; sleep 0.1; done
ended=$(( ($(date +%s%N) - t0) / 1000000 ))
kill -CONT "$spid"
kill -0 "$cpid" 2>/dev/null && fail "vo_client.exe still running 15 s after its window was closed"
echo "vo_client.exe ended $ended ms after its window was closed (host frozen)"
ok "closing the window ends the viewer while the host is frozen"

# The same through vo_relay: vo_server.exe -relay and vo_client.exe -r ID.
rport=$(free_port)
"$NATIVE/vo_relay" --bind 127.0.0.1 --port "$rport" >relay.out 2>&1 &
PIDS="$PIDS $!"
mkdir -p relayhost && cd relayhost
wine "$EXE/vo_server.exe" -relay "127.0.0.1:$rport" -pass P >server.out 2>&1 &
PIDS="$PIDS $!"
wait_for vo_server.log "waiting for a viewer" 60 || { cat server.out vo_server.log; fail "host did not join the relay"; }
cd ..
id=$(tr -d '\r\n' <"$WINEPREFIX/drive_c/ProgramData/vo/id.txt")
DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_client.exe" -r "$id" "127.0.0.1:$rport" -p P >relay-client.out 2>&1 &
PIDS="$PIDS $!"
wait_for relayhost/vo_server.log "client connected" 60 || { cat relay-client.out relay.out; fail "no session through the relay"; }
tr -d '\r' <relay-client.out | grep -q "^via relay 127.0.0.1:$rport, ID $id, waiting for host...$" || fail "relay line: $(cat relay-client.out)"
grep -q "paired: room '$id'" relay.out || fail "relay did not log the pair: $(cat relay.out)"
grep -q "login version 2" relayhost/vo_server.log || fail "relay pair did not agree on version 2"
ok "session through vo_relay (version 2 login)"
echo "client_wine: all checks passed"
