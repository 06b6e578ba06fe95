#!/usr/bin/env bash
# The shared clipboard between vo_server.exe and vo_client.exe under Wine, each on its own Xvfb display
# and Wine prefix: text copied on the host's display (xclip) appears on the viewer display's clipboard
# within 2 s and the other way round, non-ASCII text (é, 中文, emojis) intact, twice each way with
# nothing bounced back; with vo_client.exe -noclip the host answers without the clipboard bit.
source "$(dirname "$0")/common.sh"
cd "$E2E_WORK"
command -v xclip >/dev/null || fail "xclip is missing (scripts/deps.sh installs it)"
xvfb_start HD || fail "no Xvfb for the host"
xvfb_start VD || fail "no Xvfb for the viewer"
export DISPLAY=$HD
wine_up
# Each prefix's desktop process (which bridges the Windows clipboard and the X selection) must run on
# that side's own display.
DISPLAY=$VD wine_up "$VIEWER_PREFIX"

# copy DISPLAY TEXT: owns that display's clipboard with TEXT (xclip keeps serving it in the background).
copy() {
  printf '%s' "$2" | DISPLAY=$1 xclip -quiet -selection clipboard -i >/dev/null 2>&1 &
  PIDS="$PIDS $!"
}
# arrives DISPLAY TEXT [MS]: milliseconds until that display's clipboard holds TEXT, or fails after MS
# (2000 by default).
arrives() {
  local t0 now got limit=${3:-2000}
  t0=$(date +%s%N)
  while :; do
    got=$(DISPLAY=$1 timeout 2 xclip -selection clipboard -o 2>/dev/null)
    now=$(( ($(date +%s%N) - t0) / 1000000 ))
    if [ "$got" = "$2" ]; then echo "$now"; return 0; fi
    [ "$now" -gt "$limit" ] && { echo "last seen: '$got'" >&2; return 1; }
    sleep 0.05
  done
}

port=$(free_port)
cpid=""
wine "$EXE/vo_server.exe" -pass P "$port" >server.out 2>&1 &
PIDS="$PIDS $!"
wait_for vo_server.log "server up on port $port" 60 || { cat server.out; fail "host did not start"; }
DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_client.exe" 127.0.0.1 "$port" -p P >client.out 2>&1 &
cpid=$!; PIDS="$PIDS $cpid"
wait_for vo_server.log "client connected: .*caps=\(7\|15\) " 60 || { cat client.out vo_server.log; fail "no session with the clipboard bit"; }
wait_for vo_server.log "frame 1:" 30 || fail "no first frame"
sleep 1

# Wine takes in a selection made outside it only lazily until it has owned that display's clipboard
# once (then it hears when it loses it): one untimed exchange first.
copy "$HD" "warm-up"
ms=$(arrives "$VD" "warm-up" 20000) || { cat client.out vo_server.log; fail "host text never reached the viewer"; }
echo "host -> viewer, first change (untimed): $ms ms"

text1='viewer: ça 日本語 🎉 done'
copy "$VD" "$text1"
ms=$(arrives "$HD" "$text1") || { cat client.out vo_server.log; fail "viewer text did not reach the host's clipboard"; }
echo "viewer -> host: $ms ms"
ok "viewer clipboard appears on the host (non-ASCII intact)"

text2='host: é 中文 😀 end'
copy "$HD" "$text2"
ms=$(arrives "$VD" "$text2") || fail "host text did not reach the viewer's clipboard"
echo "host -> viewer: $ms ms"
ok "host clipboard appears on the viewer (non-ASCII intact)"

text3='second from the viewer, ü'
copy "$VD" "$text3"
ms=$(arrives "$HD" "$text3") || fail "second viewer text did not reach the host"
echo "viewer -> host, second change: $ms ms"
text4='second from the host, ß'
copy "$HD" "$text4"
ms=$(arrives "$VD" "$text4") || fail "second host text did not reach the viewer"
echo "host -> viewer, second change: $ms ms"
# Nothing bounces back over the newer text on either side.
sleep 1
[ "$(DISPLAY=$HD xclip -selection clipboard -o 2>/dev/null)" = "$text4" ] || fail "host clipboard changed behind its back"
[ "$(DISPLAY=$VD xclip -selection clipboard -o 2>/dev/null)" = "$text4" ] || fail "viewer clipboard changed behind its back"
ok "repeated changes, no ping-pong"

# The viewer window closes; a viewer started with -noclip does not offer the clipboard.
DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_uitext.exe" post voviewer 0x0010 0 0 >/dev/null 2>&1 || fail "no viewer window to close"
for _ in $(seq 1 150); do kill -0 "$cpid" 2>/dev/null || break; sleep 0.1; done
wait_for vo_server.log "client disconnected" 30 || fail "first session did not end"
DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_client.exe" 127.0.0.1 "$port" -p P -noclip >noclip.out 2>&1 &
PIDS="$PIDS $!"
wait_for vo_server.log "client connected: .*caps=\(3\|11\) " 60 || { cat noclip.out; fail "vo_client -noclip still offers the clipboard"; }
ok "vo_client -noclip offers no clipboard"

grep -q "clipboard:" vo_server.log && { grep "clipboard:" vo_server.log; fail "unexpected clipboard log line"; }
echo "clipboard_wine: all checks passed"
