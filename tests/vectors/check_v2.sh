#!/usr/bin/env bash
# Runs check_v2.mjs against handshake_v2.json with @noble/curves and @noble/hashes installed once
# into a cache folder outside the tree (VO_NODE_CACHE). Exit 0 when every value agrees, 2 without node.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command -v node >/dev/null && command -v npm >/dev/null || { echo "check_v2: node not found"; exit 2; }
cache=${VO_NODE_CACHE:-/var/cache/vo/node-noble}
if [ ! -f "$cache/node_modules/@noble/curves/package.json" ] || [ ! -f "$cache/node_modules/@noble/hashes/package.json" ]; then
  mkdir -p "$cache" || exit 1
  (cd "$cache" && npm install --no-audit --no-fund --silent @noble/curves@2.0.1 @noble/hashes@2.0.1) || exit 1
fi
# ES modules resolve packages from the script's folder upwards, not NODE_PATH: run a copy in the cache.
cp "$here/check_v2.mjs" "$cache/check_v2.mjs" && node "$cache/check_v2.mjs" "$here/handshake_v2.json"
