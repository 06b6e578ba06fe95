#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for FUZZ_SECONDS (default 8; `make fuzz` runs 300).
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$ROOT"
secs=${FUZZ_SECONDS:-8}
cmake --preset fuzz >/dev/null || exit 1
targets=$(ls fuzz/fuzz_*.cpp 2>/dev/null | xargs -r -n1 basename | sed 's/\.cpp$//')
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
cmake --build build/fuzz -j"$JOBS" --target $targets >/dev/null 2>&1 \
  || { cmake --build build/fuzz -j1 --target $targets 2>&1 | grep -E 'error|Error' | head -n 40; exit 1; }
rc=0
for name in $targets; do
  f=build/fuzz/$name
  corpus="build/fuzz/corpus-$name"
  mkdir -p "$corpus"
  if "$f" -max_total_time="$secs" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" >"build/fuzz/$name.log" 2>&1; then
    echo "fuzz ok $name"
  else
    echo "fuzz FAILED $name"; tail -n 40 "build/fuzz/$name.log"; rc=1
  fi
done
exit $rc
