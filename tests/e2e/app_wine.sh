#!/usr/bin/env bash
# vo_app.exe under Wine on Xvfb with a vo_relay on 127.0.0.1:7000: the host panel (ID, password,
# status from "Starting..." to waiting, connected and back), the clipboard buttons, "Set
# password..." with its dialog, connecting to another host by ID (viewer window, "Connecting...",
# history.txt, the "vo - could not connect" box), hiding into the tray, the second start, and
# "Exit" from the tray menu. Driven with xdotool; controls are read from outside with vo_uitext.
source "$(dirname "$0")/common.sh"
# A run can use prefixes of its own (so it never meets another script's wineservers).
if [ -n "${VO_APP_WINEPREFIX:-}" ]; then
  export WINEPREFIX=$VO_APP_WINEPREFIX
  VIEWER_PREFIX=$VO_APP_WINEPREFIX-viewer
fi
cd "$E2E_WORK"
for f in "$EXE/vo_app.exe" "$EXE/vo_client.exe" "$EXE/vo_uitext.exe" "$NATIVE/vo_relay" "$NATIVE/vo_probe" \
  "$NATIVE/vo_server"; do
  [ -x "$f" ] || fail "missing $f"
done
python3 -c "import socket; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind((\"127.0.0.1\", 7000)); s.listen(1); s.close()" 2>/dev/null \
  || fail "127.0.0.1:7000 is in use; the app's relay port is fixed, free it and run again"

xvfb_start HD || fail "no Xvfb"
xvfb_start VD || fail "no Xvfb for the viewer"
export DISPLAY=$HD
wine_up
wine_up "$VIEWER_PREFIX"
"$NATIVE/vo_relay" --bind 127.0.0.1 --port 7000 --viewer-wait 10 >relay.log 2>&1 &
PIDS="$PIDS $!"
wait_for relay.log "listening on 127.0.0.1:7000" 10 || fail "relay did not start: $(cat relay.log)"

HOSTDIR="$WINEPREFIX/drive_c/ProgramData/vo"
rm -f "$WINEPREFIX"/drive_c/users/*/AppData/Local/vo/history.txt "$WINEPREFIX"/drive_c/users/*/AppData/Local/vo/login_v2.txt
ui() { wine "$EXE/vo_uitext.exe" "$@" 2>/dev/null | tr -d '\r'; }
# child N: the text of the app window's N-th control (creation order, from 0).
child() { ui dump voapp | sed -n "$(($1 + 2))p" | cut -f3-; }
# state N: "enabled<TAB>text" of the N-th control.
state() { ui dump voapp | sed -n "$(($1 + 2))p" | cut -f2-; }
visible() { ui dump voapp | head -n 1 | cut -f2; }
# wait_visible 0|1 SECONDS: until the app window is hidden (0) or shown (1).
wait_visible() {
  local i
  for i in $(seq 1 $(($2 * 2))); do
    [ "$(visible)" = "$1" ] && return 0
    sleep 0.5
  done
  return 1
}
# wait_child N TEXT SECONDS: until control N reads exactly TEXT.
wait_child() {
  local i
  for i in $(seq 1 $(($3 * 2))); do
    [ "$(child "$1")" = "$2" ] && return 0
    sleep 0.5
  done
  return 1
}
# wait_state N "ENABLED<TAB>TEXT" SECONDS: until control N is in that state.
wait_state() {
  local i
  for i in $(seq 1 $(($3 * 2))); do
    [ "$(state "$1")" = "$2" ] && return 0
    sleep 0.5
  done
  return 1
}
# dialog_gone: until no "voinput" window exists (under Wine without a window manager taking a
# window down can take a second or two).
dialog_gone() {
  local i
  for i in $(seq 1 20); do
    wine "$EXE/vo_uitext.exe" dump voinput >/dev/null 2>&1 || return 0
    sleep 0.5
  done
  return 1
}
shot() { import -display "$HD" -window root "$LOGS/app_wine-$1.png" 2>/dev/null || true; }
# click X Y: a left click at the app window's client coordinates.
click() {
  eval "$(xdotool getwindowgeometry --shell "$APPWIN")"
  xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1
  sleep 0.5
}
probe() {   # probe PASSWORD OUT: a native viewer through the relay to the app's host
  VO_DATA_DIR="$E2E_WORK/probe" timeout 60 "$NATIVE/vo_probe" 127.0.0.1 7000 "$1" "$2" --settle 500 --relay "$ID" \
    >>probe.out 2>&1
}

# --- Start: the status line goes from "Starting..." to waiting in the relay room.
ui watch voapp 7 40000 >status.txt &
watcher=$!
wine "$EXE/vo_app.exe" >app.out 2>&1 &
APP=$!
PIDS="$PIDS $APP"
wait_for status.txt "Online via localhost, waiting for a viewer  (" 40 || { cat status.txt app.out; fail "never online"; }
kill $watcher 2>/dev/null
cat status.txt
head -n 1 status.txt | grep -q $'\tStarting...$' || fail "first status was not Starting...: $(head -n 1 status.txt)"
APPWIN=$(xdotool search --name '^vo remote desktop$' | head -n 1)
[ -n "$APPWIN" ] || fail "no window titled 'vo remote desktop'"
ID=$(cat "$HOSTDIR/id.txt")
PW=$(sed -n 's/^password=//p' "$HOSTDIR/host.txt")
NAME=$(sed -n 's/^name=//p' "$HOSTDIR/host.txt")
[[ $ID =~ ^[0-9]{9}$ ]] || fail "id.txt: $ID"
[ "$(child 1)" = "${ID:0:3} ${ID:3:3} ${ID:6:3}" ] || fail "ID display '$(child 1)' for $ID"
[ "$(child 4)" = "$PW" ] || fail "password display '$(child 4)', host.txt '$PW'"
[ "$(child 7)" = "Online via localhost, waiting for a viewer  ($NAME)" ] || fail "status '$(child 7)'"
grep -q "host waiting: room '$ID'" relay.log || fail "host not in its room: $(cat relay.log)"
shot start
ok "started: ID ${ID:0:3} ${ID:3:3} ${ID:6:3}, password shown, online via the relay"

click 375 53   # Copy ID
[ "$(ui clip)" = "$ID" ] || fail "clipboard after Copy ID: $(ui clip)"
click 285 93   # Copy
[ "$(ui clip)" = "$PW" ] || fail "clipboard after Copy: $(ui clip)"
ok "Copy ID and Copy put the ID and the password on the clipboard"

# Tab walks the tab-stop controls in order, from "Copy" (focused by the click) round again.
order=""
for _ in $(seq 1 10); do
  xdotool key Tab
  sleep 0.3
  order="$order $(ui focus voapp)"
done
[ "$order" = " 101 104 105 106 107 108 109 110 102 103" ] || fail "Tab order:$order"
ok "Tab order:$order"

# --- A viewer connects through the relay: connected text, then waiting again.
DISPLAY=$VD WINEPREFIX=$VIEWER_PREFIX wine "$EXE/vo_client.exe" -r "$ID" 127.0.0.1 -p "$PW" >client.out 2>&1 &
PIDS="$PIDS $!"
wait_child 7 "Connected: $NAME is viewing this computer" 30 || { cat client.out; fail "status while viewed: $(child 7)"; }
shot viewed
WINEPREFIX=$VIEWER_PREFIX wineserver -k >/dev/null 2>&1
wait_child 7 "Online via localhost, waiting for a viewer  ($NAME)" 30 || fail "status after the viewer: $(child 7)"
ok "vo_client.exe connected by ID (status: Connected: $NAME ...), then waiting again"

# --- "Set password..." with a typed password, then with an empty one.
click 390 93
win=$(timeout 20 xdotool search --sync --name '^Set password$' | head -n 1)
[ -n "$win" ] || fail "no Set password dialog"
ui dump voinput | grep -q "New password for this computer (empty = back to an automatic temporary password):" \
  || fail "dialog: $(ui dump voinput)"
xdotool type --delay 40 "Fixed-Pass9"
xdotool key Return
dialog_gone || fail "the Set password dialog stayed"
[ "$(child 4)" = "Fixed-Pass9" ] || fail "password display after set: $(child 4)"
grep -qx "password=Fixed-Pass9" "$HOSTDIR/host.txt" || fail "host.txt: $(cat "$HOSTDIR/host.txt")"
sleep 1
probe "$PW" old.ppm && fail "the old password still works"
probe "Fixed-Pass9" fixed.ppm || { cat probe.out; fail "viewer with the new password refused"; }
[ -s fixed.ppm ] || fail "no picture with the new password"
ok "Set password: the typed password shows, is written to host.txt and is the one the host accepts"

click 390 93
timeout 20 xdotool search --sync --name '^Set password$' >/dev/null || fail "no Set password dialog"
xdotool key Escape
dialog_gone || fail "the Set password dialog stayed after Escape"
[ "$(child 4)" = "Fixed-Pass9" ] || fail "Escape changed the password: $(child 4)"
click 390 93
timeout 20 xdotool search --sync --name '^Set password$' >/dev/null || fail "no Set password dialog"
xdotool key Return
dialog_gone || fail "the Set password dialog stayed after an empty password"
TEMP=$(child 4)
[[ $TEMP =~ ^[23456789abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ]{8}$ ]] || fail "temporary password '$TEMP'"
grep -qx "password=$TEMP" "$HOSTDIR/host.txt" || fail "host.txt after empty: $(cat "$HOSTDIR/host.txt")"
sleep 1
probe "$TEMP" temp.ppm || { cat probe.out; fail "viewer with the temporary password refused"; }
ok "Escape keeps the password; an empty one brings a new temporary password ($TEMP) that works"

# --- Connect to another host by its ID: a native host on the same relay.
REMOTE_ID=123123123
# start_remote: the native host with ID $REMOTE_ID on the relay, as computer $REMOTE_NAME.
start_remote() {
  local before
  before=$(grep -c "host waiting: room '$REMOTE_ID'" relay.log)
  if [ "$REMOTE_NAME" = remote-pc ]; then
    (cd remote && VO_DATA_DIR="$E2E_WORK/remote" exec unshare -u sh -c "hostname $REMOTE_NAME && exec '$NATIVE/vo_server' \
      -relay 127.0.0.1:7000 -room $REMOTE_ID -pass RemotePw") >>remote.out 2>&1 &
  else
    (cd remote && VO_DATA_DIR="$E2E_WORK/remote" exec "$NATIVE/vo_server" -relay 127.0.0.1:7000 -room $REMOTE_ID \
      -pass RemotePw) >>remote.out 2>&1 &
  fi
  REMOTE=$!
  PIDS="$PIDS $REMOTE"
  for _ in $(seq 1 40); do
    [ "$(grep -c "host waiting: room '$REMOTE_ID'" relay.log)" -gt "$before" ] && return 0
    sleep 0.5
  done
  cat remote.out
  fail "remote host not in the relay"
}
# wait_viewer: the viewer window for the remote host (its title names the host).
wait_viewer() {
  vw=""
  for _ in $(seq 1 60); do
    vw=$(xdotool search --name "$REMOTE_NAME" 2>/dev/null | head -n 1); [ -n "$vw" ] && return 0; sleep 0.5
  done
  fail "no viewer window for $REMOTE_NAME"
}
mkdir -p remote
REMOTE_NAME=remote-pc
unshare -u true 2>/dev/null || REMOTE_NAME=$(hostname | cut -c1-31)
start_remote
HIST=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local/vo 2>/dev/null | head -n 1)/history.txt

click 120 202; xdotool type "$REMOTE_ID"
click 300 202; xdotool type "wrong"
click 420 202
box=""
for _ in $(seq 1 60); do
  box=$(xdotool search --name '^vo - could not connect$' 2>/dev/null | head -n 1); [ -n "$box" ] && break; sleep 0.5
done
[ -n "$box" ] || fail "no 'vo - could not connect' box"
ui dump '#32770' | grep -q "authentication failed (wrong password, or host not online)" \
  || fail "box text: $(ui dump '#32770')"
[ "$(state 13)" = $'0\tConnecting...' ] || fail "button while connecting: $(state 13)"
shot could-not-connect
ui post '#32770' 0x0111 1 0
wait_state 13 $'1\tConnect' 10 || fail "button after the failure: $(state 13)"
[ ! -s "$HIST" ] || fail "history changed by a failed connection: $(cat "$HIST")"
ok "wrong password: 'vo - could not connect' with the authentication text, no history, Connect usable again"

click 300 202; xdotool key End $(printf 'BackSpace %.0s' 1 2 3 4 5 6 7 8); xdotool type "RemotePw"
click 420 202
wait_viewer
[ "$(state 13)" = $'0\tConnecting...' ] || fail "button during the session: $(state 13)"
wait_for "$HIST" "$REMOTE_ID" 10 || fail "no history entry"
today=$(date +%Y-%m-%d)
grep -Eq "^$REMOTE_ID	$REMOTE_NAME		$today [0-9]{2}:[0-9]{2}\$" "$HIST" || fail "history.txt: $(cat -A "$HIST")"
# The host spoke the version 2 login: the app remembers it beside the history, which keeps its format.
grep -qx "$REMOTE_ID" "$(dirname "$HIST")/login_v2.txt" || fail "login_v2.txt: $(cat -A "$(dirname "$HIST")/login_v2.txt")"
shot viewing
kill "$REMOTE" 2>/dev/null
wait_state 13 $'1\tConnect' 20 || fail "button after the viewer closed: $(state 13)"
xdotool search --name "$REMOTE_NAME" >/dev/null 2>&1 && fail "viewer window still open"
ok "Connect by ID: viewer window, 'Connecting...', history.txt entry for $REMOTE_NAME, Connect again after it closed"

# --- The history list: rename, connect again by double click, remove.
click 60 275     # the first row
click 161 469    # Rename...
timeout 20 xdotool search --sync --name '^Nickname$' >/dev/null || fail "no Nickname dialog"
ui dump voinput | grep -q "Name for this computer:" || fail "rename dialog: $(ui dump voinput)"
xdotool type --delay 40 "office"
shot rename
xdotool key Return
dialog_gone || fail "the Nickname dialog stayed"
grep -Eq "^$REMOTE_ID	$REMOTE_NAME	office	$today " "$HIST" || fail "history.txt after rename: $(cat -A "$HIST")"
first_time=$(cut -f4 "$HIST")
start_remote
click 300 202; xdotool key End $(printf 'BackSpace %.0s' 1 2 3 4 5 6 7 8); xdotool type "RemotePw"
click 120 202; xdotool key End $(printf 'BackSpace %.0s' 1 2 3 4 5 6 7 8 9 10 11 12)
eval "$(xdotool getwindowgeometry --shell "$APPWIN")"
xdotool mousemove --sync $((X + 60)) $((Y + 275)) click --repeat 2 --delay 80 1
wait_viewer
[ "$(child 11)" = "$REMOTE_ID" ] || fail "double click did not put the ID in the target edit: $(child 11)"
sleep 1
[ "$(wc -l <"$HIST")" -eq 1 ] || fail "second connection added a line: $(cat "$HIST")"
grep -Eq "^$REMOTE_ID	$REMOTE_NAME	office	$today " "$HIST" || fail "history.txt after reconnect: $(cat -A "$HIST")"
kill "$REMOTE" 2>/dev/null
wait_state 13 $'1\tConnect' 20 || fail "button after the second viewer closed: $(state 13)"
click 60 275     # the first row
click 261 469    # Remove
for _ in $(seq 1 20); do [ -s "$HIST" ] || break; sleep 0.5; done
[ -f "$HIST" ] && [ ! -s "$HIST" ] || fail "history.txt after remove: $(cat "$HIST")"
ok "history: rename keeps the entry ($first_time), double click connects again without a second line, remove empties it"

# --- Minimise and close hide the window; the host stays reachable.
ui post voapp 0x0112 0xF020 0   # WM_SYSCOMMAND SC_MINIMIZE, as the title bar's button
wait_visible 0 10 || fail "window visible after minimise"
tray=$(xdotool search --name '^Wine System Tray$' | head -n 1)
[ -n "$tray" ] || fail "no tray window"
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove --sync $((X + 8)) $((Y + 8)) click 1
wait_visible 1 10 || fail "left click on the tray icon did not show the window"
ui post voapp 0x0010 0 0   # WM_CLOSE, as the close box
wait_visible 0 10 || fail "window visible after close"
kill -0 "$APP" 2>/dev/null || fail "the app ended on close"
probe "$TEMP" hidden.ppm || { cat probe.out; fail "host not reachable while hidden"; }
ok "minimise and close hide the window; the tray icon shows it; hosting goes on while hidden"

# --- A second start shows the first window and exits 0.
timeout 60 wine "$EXE/vo_app.exe" >second.out 2>&1; rc=$?
[ $rc -eq 0 ] || fail "second start exit $rc"
wait_visible 1 10 || fail "second start did not show the first window"
[ "$(xdotool search --name '^vo remote desktop$' | wc -l)" -eq 1 ] || fail "a second window appeared"
ok "second start: first window shown, exit 0"

# --- "Exit" from the tray menu ends the program, with a viewer window open.
start_remote
click 420 202
wait_viewer
xdotool windowraise "$tray" 2>/dev/null
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove --sync $((X + 8)) $((Y + 8)) click 3
sleep 1
shot tray-menu
xdotool key Down Down Return
for _ in $(seq 1 40); do kill -0 "$APP" 2>/dev/null || break; sleep 0.5; done
kill -0 "$APP" 2>/dev/null && fail "the app still runs after Exit"
wait "$APP"; rc=$?
[ $rc -eq 0 ] || fail "exit code after Exit: $rc"
xdotool search --name "$REMOTE_NAME" >/dev/null 2>&1 && fail "viewer window still open after Exit"
ok "Exit from the tray menu ends the program with 0, its viewer window with it"
echo "app_wine: all checks passed"
