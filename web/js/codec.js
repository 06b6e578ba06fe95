// codec: the tile codec's decompressor (LZ4 block format, strict bounds) and the 64-bit tile hash,
// byte for byte as the native programs compute them.

// Decompresses src into dst (capacity dst.length); bytes produced, or -1 for a malformed stream or
// one that would write past the capacity. An empty input gives 0.
export function codecDecompress(src, dst) {
  const n = src.length, cap = dst.length;
  let ip = 0, op = 0;
  if (n === 0) return 0;
  while (ip < n) {
    const token = src[ip++];
    let lit = token >> 4;
    if (lit === 15) {
      for (;;) {
        if (ip >= n) return -1;
        const b = src[ip++];
        lit += b;
        if (b !== 255) break;
      }
    }
    if (lit > n - ip || lit > cap - op) return -1;
    if (lit < 64) for (let i = 0; i < lit; i++) dst[op++] = src[ip++];   // short runs: no views
    else dst.set(src.subarray(ip, ip + lit), op), (ip += lit), (op += lit);
    if (ip === n) return op;
    if (n - ip < 2) return -1;
    const dist = src[ip] | (src[ip + 1] << 8);
    ip += 2;
    if (dist === 0 || dist > op) return -1;
    let len = (token & 15) + 4;
    if ((token & 15) === 15) {
      for (;;) {
        if (ip >= n) return -1;
        const b = src[ip++];
        len += b;
        if (b !== 255) break;
      }
    }
    if (len > cap - op) return -1;
    if (dist === 1) {
      dst.fill(dst[op - 1], op, op + len);   // a run of one byte (the common zero run of a tile delta)
      op += len;
    } else if (dist >= len && len >= 64) {
      dst.copyWithin(op, op - dist, op - dist + len);
      op += len;
    } else {
      for (let i = 0; i < len; i++, op++) dst[op] = dst[op - dist];   // byte by byte, overlaps repeat
    }
  }
  return op;
}

const M64 = (1n << 64n) - 1n;
const rotl64 = (x, r) => ((x << BigInt(r)) | (x >> BigInt(64 - r))) & M64;

// tile_hash of 16384 tile bytes, as a BigInt, never 0. The page itself never needs it (hashes come
// from the host); it is here so the tests can hold the codec to the native vectors.
export function tileHash(tile) {
  const view = new DataView(tile.buffer, tile.byteOffset, tile.byteLength);
  let s = 0x9E3779B97F4A7C15n;
  for (let i = 0; i < 16384; i += 8) {
    const w = view.getBigUint64(i, true);
    const a = (w * 0xFF51AFD7ED558CCDn) & M64;
    const b = a ^ (a >> 32n) ^ s;
    s = (rotl64(b, 31) * 0xC4CEB9FE1A85EC53n) & M64;
  }
  const x = ((s ^ (s >> 29n)) * 0x94D049BB133111EBn) & M64;
  const h = x ^ (x >> 32n);
  return h === 0n ? 1n : h;
}
