#!/usr/bin/env bash
# make web: vendors the viewer page's one dependency, libsodium's JavaScript build (the sumo build,
# which has ristretto255 for login version 2), from npm into
# web/vendor/ (gitignored), so the page loads nothing from the internet. Also installs the browser
# driver for the browser test (puppeteer-core, it uses Debian's chromium) into build/webnode/.
# Idempotent: does nothing when the pinned versions are already in place.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
NODE_DIR="$ROOT/build/webnode"
SODIUM_VERSION=0.8.4
PUPPETEER_VERSION=25.19.0
command -v npm >/dev/null || { echo "web: npm not found (apt-get install npm)" >&2; exit 1; }
mkdir -p "$NODE_DIR" "$ROOT/web/vendor"
want="libsodium-wrappers-sumo@$SODIUM_VERSION puppeteer-core@$PUPPETEER_VERSION"
if [ "$(cat "$NODE_DIR/.installed" 2>/dev/null)" != "$want" ]; then
  [ -f "$NODE_DIR/package.json" ] || echo '{"private": true}' > "$NODE_DIR/package.json"
  (cd "$NODE_DIR" && PUPPETEER_SKIP_DOWNLOAD=1 npm install --no-audit --no-fund --loglevel=error \
      "libsodium-wrappers-sumo@$SODIUM_VERSION" "puppeteer-core@$PUPPETEER_VERSION" >/dev/null)
  echo "$want" > "$NODE_DIR/.installed"
fi
mods="$NODE_DIR/node_modules"
# The ESM wrapper imports the bare name "libsodium-sumo": point it at the file beside it.
sed 's#from"libsodium-sumo"#from"./libsodium-sumo.mjs"#; s#from "libsodium-sumo"#from "./libsodium-sumo.mjs"#' \
  "$mods/libsodium-wrappers-sumo/dist/modules-sumo-esm/libsodium-wrappers.mjs" > "$ROOT/web/vendor/libsodium-wrappers-sumo.mjs.tmp"
cmp -s "$ROOT/web/vendor/libsodium-wrappers-sumo.mjs.tmp" "$ROOT/web/vendor/libsodium-wrappers-sumo.mjs" 2>/dev/null \
  && rm "$ROOT/web/vendor/libsodium-wrappers-sumo.mjs.tmp" \
  || mv "$ROOT/web/vendor/libsodium-wrappers-sumo.mjs.tmp" "$ROOT/web/vendor/libsodium-wrappers-sumo.mjs"
cmp -s "$mods/libsodium-sumo/dist/modules-sumo-esm/libsodium-sumo.mjs" "$ROOT/web/vendor/libsodium-sumo.mjs" 2>/dev/null \
  || cp "$mods/libsodium-sumo/dist/modules-sumo-esm/libsodium-sumo.mjs" "$ROOT/web/vendor/libsodium-sumo.mjs"
# The smaller build the page used before version 2 logins: gone, so vo_relay does not embed it.
rm -f "$ROOT/web/vendor/libsodium-wrappers.mjs" "$ROOT/web/vendor/libsodium.mjs"
cp -u "$mods/libsodium-sumo/LICENSE" "$ROOT/web/vendor/LICENSE-libsodium.txt" 2>/dev/null || true
echo "web: web/vendor has libsodium-wrappers-sumo $SODIUM_VERSION"
