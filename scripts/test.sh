#!/usr/bin/env bash
# make test: install what is needed, build both targets, run the native tests under ASan/UBSan,
# the threaded tests under TSan, the same unit tests as .exe under Wine, the Wine end-to-end
# checks, and each fuzzer briefly. Prints one closing line: "N passed, N failed".
set -uo pipefail
source "$(dirname "$0")/lib.sh"
cd "$ROOT"
trap cleanup_env EXIT

passed=0; failed=0
count_ctest() {   # adds the counts of a ctest log to the totals
  local log=$1 line total bad
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  passed=$((passed + total - bad)); failed=$((failed + bad))
}
run_ctest() {   # run_ctest NAME DIR [ctest args...]
  local name=$1 dir=$2; shift 2
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" "$@" >"$LOGS/$name.log" 2>&1
  local rc=$?
  count_ctest "$LOGS/$name.log"
  if [ $rc -ne 0 ]; then
    echo "FAILED: $name (log: build/logs/$name.log)"
    grep -E 'Failed|FAILED|\*\*\*|ERROR|SUMMARY' "$LOGS/$name.log" | head -n 40
  fi
  echo "$name: $(grep -E 'tests passed' "$LOGS/$name.log" | tail -n 1)"
}

step deps bash scripts/deps.sh || exit 1
# The viewer page's crypto library into web/ before the build, which embeds web/ into vo_relay.
web_ok=1
step web bash scripts/web.sh || web_ok=0

# Native, ASan + UBSan.
step configure-debug cmake --preset debug || exit 1
step build-debug cmake --build build/debug -j"$JOBS" || exit 1
run_ctest native build/debug

# The version 2 login vectors, recomputed by an independent implementation (Node) when Node is here.
if command -v node >/dev/null 2>&1; then
  if bash tests/vectors/check_v2.sh >"$LOGS/vectors-v2.log" 2>&1; then
    passed=$((passed + 1)); echo "vectors-v2 (node): $(tail -n 1 "$LOGS/vectors-v2.log")"
  else
    failed=$((failed + 1)); echo "FAILED: vectors-v2 (log: build/logs/vectors-v2.log)"; tail -n 20 "$LOGS/vectors-v2.log"
  fi
fi
# The browser viewer: its protocol code in Node against the native vectors, then the page in headless
# chromium through vo_relay --ws-port (skipped, not failed, when chromium could not be installed).
if [ $web_ok = 1 ] && node --test tests/web/test_web.mjs >"$LOGS/web-node.log" 2>&1; then
  passed=$((passed + 1)); echo "web-node: ok"
else
  failed=$((failed + 1)); echo "FAILED: web-node (log: build/logs/web-node.log)"; tail -n 30 "$LOGS/web-node.log"
fi
if [ ! -x /usr/bin/chromium ]; then
  echo "web-browser: skipped (chromium could not be installed)"
elif [ $web_ok = 1 ] && node tests/web/browser_test.mjs build/debug >"$LOGS/web-browser.log" 2>&1; then
  passed=$((passed + 1)); echo "web-browser: ok ($(tail -n 1 "$LOGS/web-browser.log"))"
else
  failed=$((failed + 1)); echo "FAILED: web-browser (log: build/logs/web-browser.log)"; tail -n 30 "$LOGS/web-browser.log"
fi

# Threaded code under TSan: the tests of the channel, the receive threads and whole sessions.
step configure-tsan cmake --preset tsan || exit 1
tsan_targets=$(cd build/debug && ctest -N | sed -nE 's/.*Test +#[0-9]+: ((protocol_test_channel|protocol_test_channel_v2|host_test_receive|host_test_encoder|host_test_encoder_work|viewer_test_receive|viewer_test_apply|session_test_.*|relay_test_relay_server|relay_test_relay_ws|platform_test_platform))$/\1/p')
if [ -n "$tsan_targets" ]; then
  step build-tsan cmake --build build/tsan -j"$JOBS" --target $tsan_targets || exit 1
  regex=$(echo $tsan_targets | tr ' ' '|')
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest tsan build/tsan -R "^($regex)\$"
fi

# Windows target: the same unit tests as .exe under Wine, on an Xvfb display.
step configure-mingw cmake --preset mingw || exit 1
step build-mingw cmake --build build/mingw -j"$JOBS" || exit 1
xvfb_start DISPLAY || exit 1
export DISPLAY
wine_up
# Under Wine a program now and then fails to exit after its tests have passed: a time-out and one retry.
run_ctest wine build/mingw -j1 --timeout 240 --repeat until-pass:2

# End-to-end checks of the Windows programs under Wine (each script prints its own verdict).
for e in tests/e2e/*_wine.sh; do
  [ -f "$e" ] || continue
  name=e2e-$(basename "$e" .sh)
  if bash "$e" >"$LOGS/$name.log" 2>&1; then
    passed=$((passed + 1)); echo "$name: ok"
  else
    failed=$((failed + 1)); echo "FAILED: $name (log: build/logs/$name.log)"; tail -n 30 "$LOGS/$name.log"
  fi
done
cleanup_env

# Fuzzers, a few seconds each.
if FUZZ_SECONDS=${FUZZ_SECONDS:-8} bash scripts/fuzz.sh >"$LOGS/fuzz.log" 2>&1; then
  n=$(grep -c '^fuzz ok' "$LOGS/fuzz.log"); passed=$((passed + n)); echo "fuzz: $n targets ok"
else
  n=$(grep -c '^fuzz ok' "$LOGS/fuzz.log"); passed=$((passed + n)); failed=$((failed + 1))
  echo "FAILED: fuzz (log: build/logs/fuzz.log)"; tail -n 40 "$LOGS/fuzz.log"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
