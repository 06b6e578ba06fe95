# Shared set-up for the end-to-end checks: a work folder, Wine on Xvfb, the programs to drive.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
set -uo pipefail
E2E_WORK=$(mktemp -d /tmp/vo-e2e.XXXXXX)
EXE="${VO_EXE_DIR:-$ROOT/build/mingw}"
NATIVE="${VO_NATIVE_DIR:-$ROOT/build/debug}"
PIDS=""
e2e_cleanup() {
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  cleanup_env
  rm -rf "$E2E_WORK"
}
trap e2e_cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
ok() { echo "ok: $*"; }

# wait_for FILE TEXT SECONDS: until FILE contains TEXT.
wait_for() {
  local i
  for i in $(seq 1 $(($3 * 10))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# free_port: a TCP port nobody listens on right now.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# show_colour DISPLAY COLOUR GEOMETRY: an ImageMagick window filled with one colour.
show_colour() {
  convert -size "${3%%+*}" "xc:$2" "$E2E_WORK/pattern-$2.png"
  DISPLAY=$1 display -geometry "$3" -title "pattern $2" "$E2E_WORK/pattern-$2.png" >/dev/null 2>&1 &
  PIDS="$PIDS $!"
  for _ in $(seq 1 50); do
    DISPLAY=$1 xdotool search --name "pattern $2" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
