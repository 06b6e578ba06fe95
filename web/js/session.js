// session: one viewing session as a byte-stream state machine, free of the page: the relay join,
// the handshake, the records, the host's messages applied to a framebuffer (tiles, cache
// references, moves, text layer) and the viewer's replies (frame acknowledgements, cache misses,
// input). The page feeds it received bytes and draws what it reports; tests and the benchmark
// drive it directly.
import { ByteQueue, u16, i32, u32, put16, put32, message } from './bytes.js';
import { codecDecompress } from './codec.js';
import { opening, handshakeKeys, handshakeKeysV2, sealRecord, openRecord, RECORD_MAX } from './channel.js';

export const MSG_HOST_HELLO = 1, MSG_MOVE_RECTS = 2, MSG_TILE = 3, MSG_TEXT_LAYER = 4, MSG_FRAME_END = 7,
  MSG_CACHE_REF = 8, MSG_CLIENT_HELLO = 0x80, MSG_FRAME_ACK = 0x81, MSG_MOUSE = 0x82, MSG_KEY = 0x83,
  MSG_CHAR = 0x84, MSG_CACHE_MISS = 0x86;
const TILE_BYTES = 16384;
const SLOTS = 8192, SETS = 4096;
const MESSAGE_MAX = 16 << 20;   // a longer host message ends the session, as in the native viewer

// The tile cache: 8192 slots in 4096 sets of two, least recently used replaced, keyed by the host's
// 64-bit tile hash (as two 32-bit halves). Starts empty each session; tile memory on first use.
export class TileCache {
  constructor() {
    this.lo = new Uint32Array(SLOTS);
    this.hi = new Uint32Array(SLOTS);
    this.victim = new Uint8Array(SETS);
    this.tiles = null;     // SLOTS tiles of 16384 bytes, and the same memory as 32-bit words
    this.tiles32 = null;
  }
  lookup(lo, hi) {
    const s = lo & (SETS - 1), a = 2 * s;
    if ((lo | hi) === 0) return -1;
    if (this.lo[a] === lo && this.hi[a] === hi) return (this.victim[s] = 1), a;
    if (this.lo[a + 1] === lo && this.hi[a + 1] === hi) return (this.victim[s] = 0), a + 1;
    return -1;
  }
  insert(lo, hi) {   // returns the slot whose 16384 bytes the caller fills
    const s = lo & (SETS - 1), a = 2 * s;
    let slot;
    if (this.lo[a] === lo && this.hi[a] === hi) slot = a;
    else if (this.lo[a + 1] === lo && this.hi[a + 1] === hi) slot = a + 1;
    else if ((this.lo[a] | this.hi[a]) === 0) slot = a;
    else if ((this.lo[a + 1] | this.hi[a + 1]) === 0) slot = a + 1;
    else slot = a + this.victim[s];
    this.lo[slot] = lo;
    this.hi[slot] = hi;
    this.victim[s] = slot === a ? 1 : 0;
    if (!this.tiles) this.tiles = new Uint8Array(SLOTS * TILE_BYTES), (this.tiles32 = new Uint32Array(this.tiles.buffer));
    return slot;
  }
}

const enc = new TextEncoder();
const padded = (text, n) => {
  const b = new Uint8Array(n);
  b.set(enc.encode(text).subarray(0, n));
  return b;
};

// The 56-byte relay join of a viewer: "VORL", 2, 'V', room (18 bytes), name (32 bytes).
export function relayJoin(room, name) {
  const j = new Uint8Array(56);
  j.set([0x56, 0x4f, 0x52, 0x4c, 2, 0x56]);
  j.set(padded(room, 18), 6);
  j.set(padded(name, 32), 24);
  return j;
}

export class ViewerSession {
  // opts: sodium, password, room (null = direct), name, send(bytes), onEvent(kind, detail),
  // clientSecret and scalarRandom (tests only).
  constructor(opts) {
    Object.assign(this, { sodium: opts.sodium, password: opts.password || '', room: opts.room,
      name: opts.name || 'browser', send: opts.send, onEvent: opts.onEvent || (() => {}) });
    this.secret = opts.clientSecret || this.sodium.randombytes_buf(32);
    this.scalarRandom = opts.scalarRandom || this.sodium.randombytes_buf(64);
    this.version = 0;   // the login version, once the host has answered
    this.phase = 'hostpub';   // hostpub -> confirm -> hello -> open -> closed
    this.raw = new ByteQueue();
    this.plain = new ByteQueue();
    this.recHead = null;
    this.msgHead = null;
    this.sendCounter = 0;
    this.recvCounter = 0;
    this.stats = { bytes: 0, frames: 0, hits: 0, misses: 0 };
    this.cache = new TileCache();
    this.scratch = new Uint8Array(TILE_BYTES);
    this.scratch32 = new Uint32Array(this.scratch.buffer);
    this.text = { active: false, left: 0, top: 0, width: 0, height: 0, cols: 0, rows: 0, grid: null, changed: false };
    this.textScratch = new Uint8Array(0);
    this.dirty = null;
  }

  // The first bytes on the connection: the join (relay mode) and the opening (the viewer's public
  // key, top bit set: version 2 offered).
  start() {
    const pub = this.sent = opening(this.sodium, this.secret);
    const first = this.room != null ? new Uint8Array([...relayJoin(this.room, this.name), ...pub]) : pub;
    this.send(first);
  }

  // Where a closed connection leaves the session: 'offline' (no host answered), 'password' (the
  // host answered and then refused the confirmation), 'lost' (after the session was up).
  closeReason() {
    return this.phase === 'hostpub' ? 'offline' : this.phase === 'confirm' ? 'password'
      : this.phase === 'hello' ? 'badhello' : 'lost';
  }

  fail(kind) {
    if (this.phase === 'closed') return;
    this.phase = 'closed';
    this.onEvent('error', kind);
  }

  receive(u8) {
    if (this.phase === 'closed') return;
    this.raw.push(u8);
    if (this.phase === 'hostpub' && this.raw.size >= 32) this.keyExchange(this.raw.take(32));
    if (this.phase === 'confirm' && this.raw.size >= 16) this.confirm(this.raw.take(16));
    while (this.phase === 'hello' || this.phase === 'open') {
      if (!this.recHead) {
        if (this.raw.size < 4) break;
        this.recHead = this.raw.take(4).slice();
        if (u32(this.recHead, 0) > RECORD_MAX) return this.fail('lost');
      }
      const L = u32(this.recHead, 0);
      if (this.raw.size < L + 16) break;
      const plain = openRecord(this.sodium, this.keys.s2c, this.recvCounter++, this.recHead, this.raw.take(L + 16));
      this.recHead = null;
      if (!plain) return this.fail('lost');
      this.plain.push(plain);
      this.messages();
    }
  }

  // The host's answer: top bit set is a version 2 host, clear a version 1 host (same connection).
  keyExchange(answer) {
    this.version = answer[31] & 0x80 ? 2 : 1;
    try {
      this.keys = this.version === 2
        ? handshakeKeysV2(this.sodium, this.sent, answer, this.password, this.scalarRandom)
        : handshakeKeys(this.sodium, this.secret, answer, this.password, this.sent);
    } catch {
      this.keys = null;
    }
    this.sodium.memzero(this.secret);
    this.sodium.memzero(this.scalarRandom);
    if (!this.keys) return this.fail('password');
    this.send(this.version === 2 ? this.keys.reply : this.keys.cConfirm);
    this.phase = 'confirm';
  }

  confirm(got) {
    const ok = this.sodium.memcmp(got, this.keys.sConfirm);
    this.sodium.memzero(this.keys.K);
    if (!ok) return this.fail('password');
    this.phase = 'hello';
    const hello = new Uint8Array(34);
    put16(hello, 0, 3);
    hello.set(padded(this.name, 32), 2);
    this.sendMessage(MSG_CLIENT_HELLO, hello);
  }

  sendMessage(type, payload) {
    if (this.phase !== 'hello' && this.phase !== 'open') return;
    this.send(sealRecord(this.sodium, this.keys.c2s, this.sendCounter++, message(type, payload)));
  }

  messages() {
    while (this.phase === 'hello' || this.phase === 'open') {
      if (!this.msgHead) {
        if (this.plain.size < 8) return;
        const h = this.plain.take(8);
        this.msgHead = { type: h[0], len: u32(h, 4) };
        if (this.msgHead.len > MESSAGE_MAX) return this.fail('lost');   // far beyond any real host message
      }
      const { type, len } = this.msgHead;
      if (this.plain.size < len) return;
      const p = this.plain.take(len);
      this.msgHead = null;
      if (this.phase === 'hello') this.hostHello(type, p);
      else this.apply(type, p);
    }
  }

  hostHello(type, p) {
    const w = type === MSG_HOST_HELLO && p.length === 44 ? i32(p, 0) : 0, h = w ? i32(p, 4) : 0;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return this.fail('badhello');
    const nameBytes = p.subarray(12, 44);
    const end = nameBytes.indexOf(0);
    this.hostName = new TextDecoder().decode(nameBytes.subarray(0, end < 0 ? 32 : end)).replace(/[\x00-\x1f]/g, ' ');
    this.W = w;
    this.H = h;
    this.PW = (w + 63) & ~63;
    this.PH = (h + 63) & ~63;
    this.stride = this.PW * 4;
    this.fb = new Uint8Array(this.PW * this.PH * 4);
    this.fb32 = new Uint32Array(this.fb.buffer);   // tiles are whole 32-bit pixels: XOR and copy by word
    this.cacheEnabled = (u16(p, 10) & 2) !== 0;
    this.phase = 'open';   // the cache starts empty: nothing to advertise
    this.onEvent('connected', { name: this.hostName, width: w, height: h });
  }

  dirtyAdd(l, t, r, b) {
    l = Math.max(l, 0); t = Math.max(t, 0); r = Math.min(r, this.W); b = Math.min(b, this.H);
    if (l >= r || t >= b) return;
    const d = this.dirty;
    if (!d) this.dirty = { l, t, r, b };
    else d.l = Math.min(d.l, l), (d.t = Math.min(d.t, t)), (d.r = Math.max(d.r, r)), (d.b = Math.max(d.b, b));
  }

  apply(type, p) {
    this.stats.bytes += p.length + 8;
    if (type === MSG_TILE && p.length >= 13) this.tile(p);
    else if (type === MSG_CACHE_REF && p.length >= 12) this.cacheRef(p);
    else if (type === MSG_MOVE_RECTS && p.length >= 24) this.moves(p);
    else if (type === MSG_TEXT_LAYER && p.length >= 26) this.textLayer(p);
    else if (type === MSG_FRAME_END) this.frameEnd(p);
  }

  tileOffset(tx, ty) {
    return tx * 64 >= this.PW || ty * 64 >= this.PH ? -1 : ty * 64 * this.stride + tx * 256;
  }

  tile(p) {
    const tx = u16(p, 0), ty = u16(p, 2), at = this.tileOffset(tx, ty);
    if (at < 0) return;
    const fb = this.fb, stride = this.stride, data = p.subarray(13);
    if (p[4]) {
      if (data.length < TILE_BYTES) return;
      for (let y = 0; y < 64; y++) fb.set(data.subarray(y * 256, y * 256 + 256), at + y * stride);
    } else {
      if (codecDecompress(data, this.scratch) !== TILE_BYTES) return;
      const fb32 = this.fb32, s32 = this.scratch32, words = stride >> 2;
      for (let y = 0, row = at >> 2, src = 0; y < 64; y++, row += words, src += 64)
        for (let i = 0; i < 64; i++) fb32[row + i] ^= s32[src + i];
    }
    const lo = u32(p, 5), hi = u32(p, 9);
    if (this.cacheEnabled && (lo | hi) !== 0) {
      const slot = this.cache.insert(lo, hi);
      this.cache.tiles.set(this.tileRows(at), slot * TILE_BYTES);
    }
    this.dirtyAdd(tx * 64, ty * 64, tx * 64 + 64, ty * 64 + 64);
  }

  // The 64 rows of the tile at byte offset `at`, gathered into the scratch buffer.
  tileRows(at) {
    const fb32 = this.fb32, s32 = this.scratch32, words = this.stride >> 2;
    for (let y = 0, row = at >> 2, dst = 0; y < 64; y++, row += words, dst += 64)
      for (let i = 0; i < 64; i++) s32[dst + i] = fb32[row + i];
    return this.scratch;
  }

  cacheRef(p) {
    const tx = u16(p, 0), ty = u16(p, 2), at = this.tileOffset(tx, ty);
    if (at < 0) return;
    const slot = this.cacheEnabled ? this.cache.lookup(u32(p, 4), u32(p, 8)) : -1;
    if (slot < 0) {
      this.stats.misses++;
      this.sendMessage(MSG_CACHE_MISS, p.slice(0, 12));
      return;
    }
    const t32 = this.cache.tiles32, fb32 = this.fb32, words = this.stride >> 2;
    for (let y = 0, row = at >> 2, src = slot * 4096; y < 64; y++, row += words, src += 64)
      for (let i = 0; i < 64; i++) fb32[row + i] = t32[src + i];
    this.stats.hits++;
    this.dirtyAdd(tx * 64, ty * 64, tx * 64 + 64, ty * 64 + 64);
  }

  moves(p) {
    const { W, H, fb, stride } = this;
    for (let o = 0; o + 24 <= p.length; o += 24) {
      const sx = i32(p, o), sy = i32(p, o + 4), dx = i32(p, o + 8), dy = i32(p, o + 12);
      const w = i32(p, o + 16), h = i32(p, o + 20);
      if (w <= 0 || h <= 0 || sx < 0 || sy < 0 || dx < 0 || dy < 0 || sx + w > W || dx + w > W ||
          sy + h > H || dy + h > H) continue;
      const copyRow = (i) => fb.copyWithin((dy + i) * stride + dx * 4, (sy + i) * stride + sx * 4, (sy + i) * stride + (sx + w) * 4);
      if (sy < dy) for (let i = h - 1; i >= 0; i--) copyRow(i);
      else for (let i = 0; i < h; i++) copyRow(i);
      this.dirtyAdd(dx, dy, dx + w, dy + h);
    }
  }

  textLayer(p) {
    const t = this.text;
    if (t.active) this.dirtyAdd(t.left, t.top, t.left + t.width, t.top + t.height);
    t.changed = true;
    const cols = u16(p, 16), rows = u16(p, 18), n = u16(p, 20), size = u32(p, 22);
    if (!cols || !rows) return void (t.active = false);
    if (!t.active || cols !== t.cols || rows !== t.rows) t.grid = new Uint8Array(rows * cols * 3);
    Object.assign(t, { active: true, left: i32(p, 0), top: i32(p, 4), width: i32(p, 8), height: i32(p, 12), cols, rows });
    this.dirtyAdd(t.left, t.top, t.left + t.width, t.top + t.height);
    if (this.textScratch.length < size) this.textScratch = new Uint8Array(size);
    const s = this.textScratch;
    if (codecDecompress(p.subarray(26), s) !== size) return;
    const rec = 2 + cols * 3;
    for (let k = 0, o = 0; k < n && o + rec <= size; k++, o += rec) {
      const row = u16(s, o);
      if (row < rows) t.grid.set(s.subarray(o + 2, o + rec), row * cols * 3);
    }
  }

  frameEnd(p) {
    const ack = new Uint8Array(8);
    ack.set(p.subarray(0, 8));
    this.sendMessage(MSG_FRAME_ACK, ack);
    this.stats.frames++;
    const d = this.dirty;
    this.dirty = null;
    this.onEvent('frame', d);
  }

  // Input, laid out as the native viewer sends it.
  mouse(x, y, action, button, wheel) {
    const m = new Uint8Array(12);
    put32(m, 0, x);
    put32(m, 4, y);
    m[8] = action;
    m[9] = button;
    put16(m, 10, wheel & 0xffff);
    this.sendMessage(MSG_MOUSE, m);
  }
  key(vk, down) { this.sendMessage(MSG_KEY, new Uint8Array([vk & 255, (vk >> 8) & 255, down ? 1 : 0, 0])); }
  char(unit) { this.sendMessage(MSG_CHAR, new Uint8Array([unit & 255, unit >> 8])); }
}
