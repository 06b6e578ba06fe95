#!/usr/bin/env bash
# Builds packaging/icon/vo.ico (16 to 256 pixels) from packaging/icon/vo.svg with Debian's
# rsvg-convert and icotool. The output is byte-for-byte reproducible; scripts/dist_check.sh
# rebuilds it and compares. Usage: scripts/icon.sh [OUT.ico]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$ROOT/packaging/icon/vo.ico}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
pngs=()
for n in 16 24 32 48 64 128; do
  rsvg-convert -w "$n" -h "$n" "$ROOT/packaging/icon/vo.svg" -o "$tmp/vo-$n.png"
  pngs+=("$tmp/vo-$n.png")
done
rsvg-convert -w 256 -h 256 "$ROOT/packaging/icon/vo.svg" -o "$tmp/vo-256.png"
# Sizes up to 128 as classic bitmaps (every Windows reads them), 256 as PNG (Vista and later).
icotool -c -o "$out" "${pngs[@]}" -r "$tmp/vo-256.png"
