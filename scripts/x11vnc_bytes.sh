#!/usr/bin/env bash
# x11vnc_bytes.sh: the bytes a VNC server sends for bench_bandwidth's screen activity, beside vo's.
# bench_bandwidth (release build) writes each workload's screens and prints vo's bytes for them; the
# screens are then replayed on an Xvfb display (dirty rectangles drawn, moves as CopyArea) that
# x11vnc serves on 127.0.0.1, and bench/x11vnc/x11vnc_bytes.py, a minimal RFB viewer of our own,
# counts the bytes x11vnc sends on the TCP connection with Tight and with ZRLE (each with CopyRect).
# A measurement, not a test. Installs x11vnc and Xvfb from Debian when missing. Usage:
#   scripts/x11vnc_bytes.sh            (display :77, port 5977; VO_X11VNC_DISPLAY / _PORT to change)
set -euo pipefail
cd "$(dirname "$0")/.."

missing=""
for p in x11vnc xvfb; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "x11vnc_bytes: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

bash scripts/deps.sh >/dev/null   # the build's own packages and libraries
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$(dirname "$PWD")"
fi
cmake --preset release >/dev/null
cmake --build build/release -j2 --target bench_bandwidth >/dev/null

disp=${VO_X11VNC_DISPLAY:-77}
port=${VO_X11VNC_PORT:-5977}
work=$(mktemp -d)
xvfb_pid=""
vnc_pid=""
cleanup() {
  [ -n "$vnc_pid" ] && kill "$vnc_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

build/release/bench_bandwidth --frames "$work" > "$work/bench.txt"
cat "$work/bench.txt"

Xvfb ":$disp" -screen 0 1920x1080x24 -ac -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$disp" ] && break; sleep 0.1; done
x11vnc -display ":$disp" -rfbport "$port" -localhost -nopw -forever -shared -nocursor -quiet \
  >"$work/x11vnc.log" 2>&1 &
vnc_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
echo
python3 bench/x11vnc/x11vnc_bytes.py "$disp" "$port" "$work" "$work/bench.txt"
