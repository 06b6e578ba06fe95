// The viewer page's protocol code in Node against the native vectors: the codec vectors, the
// handshake vectors (every value and the first records both ways), and a session fed the host's
// side of the vector conversation.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import sodiumModule from '../../web/vendor/libsodium-wrappers-sumo.mjs';
import { codecDecompress, tileHash } from '../../web/js/codec.js';
import { opening, handshakeKeys, handshakeKeysV2, sealRecord, openRecord } from '../../web/js/channel.js';
import { ViewerSession, relayJoin } from '../../web/js/session.js';

const root = fileURLToPath(new URL('../..', import.meta.url));
const hex = (s) => (s === '-' ? new Uint8Array(0) : Uint8Array.from(s.match(/../g) || [], (b) => parseInt(b, 16)));
const toHex = (u) => Buffer.from(u).toString('hex');
function bytes(field) {
  const m = field.match(/^fill:([0-9a-f]{2}):(\d+)$/);
  return m ? new Uint8Array(Number(m[2])).fill(parseInt(m[1], 16)) : hex(field);
}

test('codec vectors: decompress and tile hash', () => {
  const lines = readFileSync(root + 'tests/vectors/codec_vectors.txt', 'utf8').split('\n');
  let n = 0;
  for (const line of lines) {
    const f = line.trim().split(/\s+/);
    if (f[0] === 'decompress') {
      const out = new Uint8Array(Number(f[2]));
      const r = codecDecompress(bytes(f[1]), out);
      if (f[3] === '-1') assert.equal(r, -1, line);
      else assert.equal(toHex(out.subarray(0, r)), toHex(bytes(f[3])), line);
      n++;
    } else if (f[0] === 'compress') {   // every compressor output must decompress back
      const src = bytes(f[1]), out = new Uint8Array(src.length);
      assert.equal(codecDecompress(bytes(f[2]), out), src.length, line);
      assert.deepEqual(out, src);
      n++;
    } else if (f[0] === 'hash') {
      assert.equal(tileHash(bytes(f[1])).toString(16).padStart(16, '0'), f[2], line);
      n++;
    }
  }
  assert.ok(n > 20);
});

test('handshake vectors: keys, confirmations and first records', async () => {
  await sodiumModule.ready;
  const sodium = sodiumModule;
  const all = JSON.parse(readFileSync(root + 'tests/vectors/handshake.json', 'utf8'));
  for (const v of Object.values(all)) {
    const k = handshakeKeys(sodium, hex(v.client_secret), hex(v.host_pub), v.password);
    assert.equal(toHex(sodium.crypto_scalarmult_base(hex(v.client_secret))), v.client_pub);
    assert.equal(toHex(k.K), v.K);
    for (const [a, b] of [['cConfirm', 'c_confirm'], ['sConfirm', 's_confirm'], ['s2c', 's2c'], ['c2s', 'c2s']])
      assert.equal(toHex(k[a]), v[b]);
    assert.equal(toHex(sealRecord(sodium, k.c2s, 0, hex(v.client_hello_plain))), v.client_record_0);
    assert.equal(toHex(sealRecord(sodium, k.c2s, 1, new Uint8Array(0))), v.client_record_1_empty);
    const rec = hex(v.host_record_0);
    assert.equal(toHex(openRecord(sodium, k.s2c, 0, rec.subarray(0, 4), rec.subarray(4))), v.host_hello_plain);
    rec[10] ^= 1;
    assert.equal(openRecord(sodium, k.s2c, 0, rec.subarray(0, 4), rec.subarray(4)), null);
  }
});

const KEYS = [['cConfirm', 'c_confirm'], ['sConfirm', 's_confirm'], ['s2c', 's2c'], ['c2s', 'c2s']];

test('login version 2 vectors: every value, the fallback to a version 1 host, first records both ways', async () => {
  await sodiumModule.ready;
  const sodium = sodiumModule;
  const all = JSON.parse(readFileSync(root + 'tests/vectors/handshake_v2.json', 'utf8'));
  for (const [name, v] of Object.entries(all)) {
    const sid = opening(sodium, hex(v.client_x25519_secret));
    assert.equal(toHex(sid), v.opening);
    let k;
    if (v.host_answer) {
      // The host's side, to check its answer from the vector's scalar.
      const y = sodium.crypto_core_ristretto255_scalar_reduce(hex(v.host_scalar_random));
      assert.equal(toHex(y), v.host_scalar);
      assert.equal(toHex(sodium.crypto_scalarmult_ristretto255(y, hex(v.generator))), v.host_point);
      const t = {};
      k = handshakeKeysV2(sodium, sid, hex(v.host_answer), v.password, hex(v.client_scalar_random), t);
      for (const f of ['generator_hash', 'generator', 'client_scalar', 'host_point', 'shared']) assert.equal(toHex(t[f]), v[f], name + ' ' + f);
      assert.equal(toHex(k.point), v.client_point);
      assert.equal(toHex(k.reply), v.client_point + v.c_confirm);
    } else {
      k = handshakeKeys(sodium, hex(v.client_x25519_secret), hex(v.host_pub), v.password, sid);
    }
    assert.equal(toHex(k.K), v.K, name);
    for (const [a, b] of KEYS) assert.equal(toHex(k[a]), v[b], name + ' ' + b);
    assert.equal(toHex(sealRecord(sodium, k.c2s, 0, hex(v.client_hello_plain))), v.client_record_0);
    const rec = hex(v.host_record_0);
    assert.equal(toHex(openRecord(sodium, k.s2c, 0, rec.subarray(0, 4), rec.subarray(4))), v.host_hello_plain);
  }
  // A host point that is not canonical, or the identity, fails before anything is sent.
  const v = all.with_password, sid = hex(v.opening), rnd = hex(v.client_scalar_random);
  assert.equal(handshakeKeysV2(sodium, sid, hex('00'.repeat(31) + '80'), v.password, rnd), null);
  assert.equal(handshakeKeysV2(sodium, sid, hex('ff'.repeat(32)), v.password, rnd), null);
});

// Feeds a session the host's side of a vector conversation; returns what it sent and reported.
function converse(sodium, v, password, room) {
  const sent = [], events = [];
  const s = new ViewerSession({ sodium, password, room, name: 'VIEWER-PC', clientSecret: hex(v.client_x25519_secret),
    scalarRandom: v.client_scalar_random && hex(v.client_scalar_random),
    send: (b) => sent.push(toHex(b)), onEvent: (k, d) => events.push([k, d]) });
  s.start();
  const answer = hex(v.host_answer || v.host_pub);
  s.receive(answer.subarray(0, 5));   // arrives in pieces
  s.receive(answer.subarray(5));
  s.receive(hex(v.s_confirm));
  const rec = hex(v.host_record_0);
  for (let i = 0; i < rec.length; i += 7) s.receive(rec.subarray(i, i + 7));
  return { s, sent, events };
}

test('a session through the vector conversations: version 2, a version 1 host, then a wrong password', async () => {
  await sodiumModule.ready;
  const sodium = sodiumModule;
  const all = JSON.parse(readFileSync(root + 'tests/vectors/handshake_v2.json', 'utf8'));
  const v = all.with_password;
  let r = converse(sodium, v, v.password, '123456789');
  assert.deepEqual(r.sent, [toHex(relayJoin('123456789', 'VIEWER-PC')) + v.opening, v.client_point + v.c_confirm, v.client_record_0]);
  assert.deepEqual(r.events[0], ['connected', { name: 'HOST-PC', width: 1920, height: 1080 }]);
  assert.equal(r.s.version, 2);
  const v1 = all.v1_host;
  r = converse(sodium, v1, v1.password, null);
  assert.deepEqual(r.sent, [v1.opening, v1.c_confirm, v1.client_record_0]);
  assert.deepEqual(r.events[0], ['connected', { name: 'HOST-PC', width: 1920, height: 1080 }]);
  assert.equal(r.s.version, 1);
  for (const w of [v, v1]) {
    r = converse(sodium, w, 'wrong', null);
    assert.deepEqual(r.events, [['error', 'password']]);
    assert.equal(r.sent.length, 2);
  }
  assert.equal(new ViewerSession({ sodium, send() {} }).closeReason(), 'offline');
});

// A session past its hello, with its replies captured instead of sealed.
function openSession(w, h) {
  const s = new ViewerSession({ sodium: {}, clientSecret: new Uint8Array(32), scalarRandom: new Uint8Array(64), send() {} });
  const hello = new Uint8Array(44);
  new DataView(hello.buffer).setInt32(0, w, true);
  new DataView(hello.buffer).setInt32(4, h, true);
  hello[10] = 3;
  s.hostHello(1, hello);
  s.sent = [];
  s.sendMessage = (type, payload) => s.sent.push([type, toHex(payload)]);
  return s;
}
const le = (n, v) => { const b = new Uint8Array(n); for (let i = 0; i < n; i++) b[i] = Number((BigInt(v) >> BigInt(8 * i)) & 255n); return b; };
const cat = (...p) => Uint8Array.from(p.flatMap((x) => [...x]));
const px = (s, x, y) => toHex(s.fb.subarray(y * s.stride + x * 4, y * s.stride + x * 4 + 4));

test('messages: tiles raw and as deltas, cache hits and misses, moves, text layer, frame acknowledgement', () => {
  const s = openSession(100, 70);   // padded to 128 x 128: tile (1, 1) lies partly in the margin
  const raw = new Uint8Array(16384).fill(0x11);
  s.apply(3, cat(le(2, 1), le(2, 1), [1], le(8, 0x1234), raw));
  assert.equal(px(s, 127, 127), '11111111');
  // A delta that is all 0x22 turns 0x11 into 0x33 (the zero-tile stream of the codec vectors, refilled).
  const delta = hex('1f220100ff' + 'ff'.repeat(63) + '27502222222222');
  s.apply(3, cat(le(2, 1), le(2, 1), [0], le(8, 0x5678), delta));
  assert.equal(px(s, 64, 64), '33333333');
  s.apply(3, cat(le(2, 2), le(2, 0), [1], le(8, 9), raw));   // outside the grid: ignored
  s.apply(8, cat(le(2, 0), le(2, 0), le(8, 0x1234)));        // a hit: the raw tile's content
  assert.equal(px(s, 0, 0), '11111111');
  s.apply(8, cat(le(2, 0), le(2, 1), le(8, 0xdead)));        // a miss is reported back
  assert.deepEqual(s.sent.pop(), [0x86, toHex(cat(le(2, 0), le(2, 1), le(8, 0xdead)))]);
  assert.deepEqual([s.stats.hits, s.stats.misses], [1, 1]);
  // A move down by one row over itself, and an invalid record that is skipped before a valid one.
  s.fb.fill(0, 0, s.stride * 3);
  s.fb.fill(7, 0, 4);
  s.fb.fill(9, s.stride, s.stride + 4);
  s.apply(2, cat(le(4, 0), le(4, 0), le(4, 0), le(4, 1), le(4, 1), le(4, 2),
                 le(4, 0), le(4, 0), le(4, 99), le(4, 0), le(4, 5), le(4, 1),
                 le(4, 0), le(4, 0), le(4, 1), le(4, 0), le(4, 1), le(4, 1)));
  assert.deepEqual([px(s, 0, 1), px(s, 0, 2), px(s, 1, 0)], ['07070707', '09090909', '07070707']);
  // Text layer: 2 x 1 grid, row 0 = "Hi" in attribute 0x1f; then switched off by 26 zero bytes.
  const rows = cat(le(2, 0), [0x48, 0, 0x1f, 0x69, 0, 0x1f]);
  const stream = cat([rows.length << 4], rows);   // one literal run holds it all
  s.apply(4, cat(le(4, 5), le(4, 6), le(4, 16), le(4, 8), le(2, 2), le(2, 1), le(2, 1), le(4, rows.length), stream));
  assert.equal(s.text.active, true);
  assert.equal(toHex(s.text.grid), '48001f69001f');
  s.apply(4, new Uint8Array(26));
  assert.equal(s.text.active, false);
  // Frame end: echoed as the acknowledgement; the dirty area is handed to the page and cleared.
  let frame = null;
  s.onEvent = (kind, d) => kind === 'frame' && (frame = d);
  s.apply(7, hex('0500000078563412'));
  assert.deepEqual(s.sent.pop(), [0x81, '0500000078563412']);
  assert.deepEqual(frame, { l: 0, t: 0, r: 100, b: 70 });
  assert.equal(s.dirty, null);
});
