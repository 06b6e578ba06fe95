# Shared pieces of the scripts: quiet steps with logs, Wine and Xvfb set-up and tear-down.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LOGS="$ROOT/build/logs"
mkdir -p "$LOGS"
JOBS=${JOBS:-$(nproc)}

# step NAME CMD...: runs CMD with its output in build/logs/NAME.log; on failure shows the tail.
step() {
  local name=$1; shift
  if ! "$@" >"$LOGS/$name.log" 2>&1; then
    echo "FAILED: $name (log: build/logs/$name.log)"
    tail -n 60 "$LOGS/$name.log"
    return 1
  fi
}

export SODIUM_ROOT=${SODIUM_ROOT:-/var/cache/vo/libsodium-1.0.18-mingw64}
export WINEPREFIX="$ROOT/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

XVFB_PIDS=""
# xvfb_start VAR: starts Xvfb on a free display, stores ":N" in VAR.
xvfb_start() {
  local var=$1 n
  for n in $(seq 91 140); do
    [ -e "/tmp/.X$n-lock" ] && continue
    [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    local pid=$!
    for _ in $(seq 1 100); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then
        XVFB_PIDS="$XVFB_PIDS $pid"
        printf -v "$var" ':%s' "$n"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
  done
  echo "cannot start Xvfb" >&2
  return 1
}

# A second Wine prefix for the viewer side: two programs in one prefix share one wineserver and
# with it one desktop (pointer position included), which two separate computers would not.
VIEWER_PREFIX="$ROOT/build/wineprefix-viewer"

# wine_up [PREFIX]: boots the prefix once and keeps its wineserver running.
wine_up() {
  local prefix=${1:-$WINEPREFIX}
  if [ ! -f "$prefix/system.reg" ]; then
    WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1 || true
    # Let the first wineserver finish writing the new prefix: a service created right after a
    # fresh boot is otherwise not found again by the next call.
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
  fi
  WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1 || true
  # Start the prefix's services and desktop once before anything that is timed or checked.
  WINEPREFIX=$prefix timeout 120 wine cmd /c exit >/dev/null 2>&1 || true
}

cleanup_env() {
  wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$VIEWER_PREFIX wineserver -k >/dev/null 2>&1 || true
  for p in $XVFB_PIDS; do kill "$p" 2>/dev/null || true; done
  XVFB_PIDS=""
}
