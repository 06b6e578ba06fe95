#!/usr/bin/env bash
# make bench: builds the benchmarks (native release) and runs each; every one prints its ratios
# against its anchor on this machine, in this one run.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$ROOT"
step deps bash scripts/deps.sh || exit 1
step configure-release cmake --preset release || exit 1
targets=$(ls bench/bench_*.cpp 2>/dev/null | xargs -r -n1 basename | sed 's/\.cpp$//')
[ -n "$targets" ] || { echo "no benchmarks"; exit 0; }
step build-release cmake --build build/release -j"$JOBS" --target $targets vo_relay || exit 1
rc=0
for b in $targets; do
  echo "== $b"
  (cd build/release && "./$b") || rc=1
done
exit $rc
