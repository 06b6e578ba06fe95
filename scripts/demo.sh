#!/usr/bin/env bash
# make demo: a real session on this machine. vo_server.exe hosts one Xvfb display (with a picture
# on it), vo_client.exe views it from a second display under Wine — first directly, then through
# vo_relay — and the demo prints what each session did and where the screenshots are.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$ROOT"
OUT="$ROOT/build/demo"
rm -rf "$OUT"; mkdir -p "$OUT"
PIDS=""
finish() {
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  cleanup_env
}
trap finish EXIT
say() { printf '%s\n' "$*"; }

step deps bash scripts/deps.sh || exit 1
say "building (logs in build/logs/)..."
step demo-configure-mingw cmake --preset mingw || exit 1
step demo-build-mingw cmake --build build/mingw -j"$JOBS" --target vo_server vo_client || exit 1
step demo-configure-native cmake --preset release || exit 1
step demo-build-native cmake --build build/release -j"$JOBS" --target vo_relay || exit 1

xvfb_start HOST_DISPLAY || exit 1
xvfb_start VIEWER_DISPLAY || exit 1
export DISPLAY=$HOST_DISPLAY
wine_up
wine_up "$VIEWER_PREFIX"
say "host display $HOST_DISPLAY, viewer display $VIEWER_DISPLAY"

# Something to look at on the host: the ImageMagick logo and a colour bar.
convert logo: -resize 60% "$OUT/host-picture.png"
DISPLAY=$HOST_DISPLAY display -geometry +40+40 -title "vo demo picture" "$OUT/host-picture.png" >/dev/null 2>&1 &
PIDS="$PIDS $!"
convert -size 500x120 gradient:'#1e88e5'-'#ffb300' "$OUT/bar.png"
DISPLAY=$HOST_DISPLAY display -geometry +700+600 -title "vo demo bar" "$OUT/bar.png" >/dev/null 2>&1 &
PIDS="$PIDS $!"
sleep 2

wait_for() { local i; for i in $(seq 1 $(($3 * 10))); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'; }

# view NAME ARGS...: runs vo_client.exe on the viewer display, lets it stream, screenshots its
# window, prints its title, then closes it.
view() {
  local name=$1; shift
  DISPLAY=$VIEWER_DISPLAY WINEPREFIX=$VIEWER_PREFIX wine "$ROOT/build/mingw/vo_client.exe" "$@" >"$OUT/$name-client.out" 2>&1 &
  local pid=$! win="" i
  for i in $(seq 1 300); do
    win=$(DISPLAY=$VIEWER_DISPLAY xdotool search --name '^vo - ' 2>/dev/null | head -n 1)
    [ -n "$win" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$win" ]; then say "  viewer window did not open:"; sed 's/^/    /' "$OUT/$name-client.out"; return 1; fi
  sleep 4
  import -display "$VIEWER_DISPLAY" -window "$win" "$OUT/$name-viewer.png" 2>/dev/null
  say "  viewer title: $(DISPLAY=$VIEWER_DISPLAY xdotool getwindowname "$win")"
  say "  viewer said:  $(tr -d '\r' <"$OUT/$name-client.out" | paste -sd '|' | sed 's/|/ | /g')"
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  say "  screenshot of the viewer window: $OUT/$name-viewer.png"
}

# 1. Direct connection.
port=$(free_port)
mkdir -p "$OUT/direct"
(cd "$OUT/direct" && DISPLAY=$HOST_DISPLAY exec wine "$ROOT/build/mingw/vo_server.exe" -pass demo-pass "$port" >server.out 2>&1) &
hostpid=$!; PIDS="$PIDS $hostpid"
wait_for "$OUT/direct/vo_server.log" "server up" 60 || { say "host did not start"; cat "$OUT/direct/server.out"; exit 1; }
say ""
say "direct session: vo_client.exe 127.0.0.1 $port -p demo-pass"
say "  $(head -n 1 "$OUT/direct/server.out" | tr -d '\r')"
view direct 127.0.0.1 "$port" -p demo-pass || exit 1
wait_for "$OUT/direct/vo_server.log" "client disconnected" 10
say "  host log:"; sed 's/^/    /' "$OUT/direct/vo_server.log"
kill "$hostpid" 2>/dev/null; wait "$hostpid" 2>/dev/null

# 2. Through the relay.
rport=$(free_port)
"$ROOT/build/release/vo_relay" --bind 127.0.0.1 --port "$rport" >"$OUT/relay.out" 2>&1 &
PIDS="$PIDS $!"
mkdir -p "$OUT/relay"
(cd "$OUT/relay" && DISPLAY=$HOST_DISPLAY exec wine "$ROOT/build/mingw/vo_server.exe" -relay "127.0.0.1:$rport" -pass demo-pass >server.out 2>&1) &
hostpid=$!; PIDS="$PIDS $hostpid"
wait_for "$OUT/relay/vo_server.log" "waiting for a viewer" 60 || { say "host did not reach the relay"; cat "$OUT/relay/server.out" "$OUT/relay/vo_server.log"; exit 1; }
id=$(tr -d '\r\n' <"$WINEPREFIX/drive_c/ProgramData/vo/id.txt")
say ""
say "relay session: vo_client.exe -r $id 127.0.0.1:$rport -p demo-pass"
view relay -r "$id" "127.0.0.1:$rport" -p demo-pass || exit 1
wait_for "$OUT/relay/vo_server.log" "client disconnected" 10
say "  host log:"; sed 's/^/    /' "$OUT/relay/vo_server.log"
say "  relay log:"; sed 's/^/    /' "$OUT/relay.out"
say ""
say "screenshots: $OUT/direct-viewer.png and $OUT/relay-viewer.png (host picture: $OUT/host-picture.png)"
