// bytes: a queue of received byte chunks read in exact amounts, and little-endian helpers.
export class ByteQueue {
  constructor() { this.chunks = []; this.off = 0; this.size = 0; }
  push(u8) { if (u8.length) this.chunks.push(u8), (this.size += u8.length); }
  // The next n bytes (a view when they lie in one chunk, else a copy); caller checks size first.
  take(n) {
    const first = this.chunks[0];
    if (n === 0) return new Uint8Array(0);
    this.size -= n;
    if (first.length - this.off >= n) {
      const v = first.subarray(this.off, this.off + n);
      this.off += n;
      if (this.off === first.length) this.chunks.shift(), (this.off = 0);
      return v;
    }
    const out = new Uint8Array(n);
    let o = 0;
    while (o < n) {
      const c = this.chunks[0], k = Math.min(n - o, c.length - this.off);
      out.set(c.subarray(this.off, this.off + k), o);
      o += k;
      this.off += k;
      if (this.off === c.length) this.chunks.shift(), (this.off = 0);
    }
    return out;
  }
}

export const u16 = (b, o) => b[o] | (b[o + 1] << 8);
export const i32 = (b, o) => b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (b[o + 3] << 24);
export const u32 = (b, o) => i32(b, o) >>> 0;
export function put16(b, o, v) { b[o] = v & 255; b[o + 1] = (v >> 8) & 255; }
export function put32(b, o, v) { put16(b, o, v & 0xffff); put16(b, o + 2, (v >>> 16) & 0xffff); }

// A message: 8-byte header (type, 3 zero bytes, u32 length) and the payload.
export function message(type, payload) {
  const m = new Uint8Array(8 + payload.length);
  m[0] = type;
  put32(m, 4, payload.length);
  m.set(payload, 8);
  return m;
}
