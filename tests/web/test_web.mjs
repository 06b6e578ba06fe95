// The viewer page's protocol code in Node against the native vectors: the codec vectors, the
// handshake vectors (every value and the first records both ways), and a session fed the host's
// side of the vector conversation.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import sodiumModule from '../../web/vendor/libsodium-wrappers.mjs';
import { codecDecompress, tileHash } from '../../web/js/codec.js';
import { handshakeKeys, sealRecord, openRecord } from '../../web/js/channel.js';
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

test('a session through the vector conversation: join, key, confirmation, hello, then a wrong password', async () => {
  await sodiumModule.ready;
  const sodium = sodiumModule;
  const v = JSON.parse(readFileSync(root + 'tests/vectors/handshake.json', 'utf8')).with_password;
  const sent = [], events = [];
  const s = new ViewerSession({ sodium, password: v.password, room: '123456789', name: 'VIEWER-PC',
    clientSecret: hex(v.client_secret), send: (b) => sent.push(toHex(b)), onEvent: (k, d) => events.push([k, d]) });
  s.start();
  assert.equal(sent[0], toHex(relayJoin('123456789', 'VIEWER-PC')) + v.client_pub);
  const hostPub = hex(v.host_pub);
  s.receive(hostPub.subarray(0, 5));   // arrives in pieces
  s.receive(hostPub.subarray(5));
  assert.equal(sent[1], v.c_confirm);
  s.receive(hex(v.s_confirm));
  assert.equal(sent[2], v.client_record_0);
  const rec = hex(v.host_record_0);
  for (let i = 0; i < rec.length; i += 7) s.receive(rec.subarray(i, i + 7));
  assert.deepEqual(events[0], ['connected', { name: 'HOST-PC', width: 1920, height: 1080 }]);

  const w = [], ev2 = [];
  const bad = new ViewerSession({ sodium, password: 'wrong', room: null, send: (b) => w.push(b), onEvent: (k, d) => ev2.push([k, d]) });
  bad.start();
  bad.receive(hostPub);
  bad.receive(hex(v.s_confirm));
  assert.deepEqual(ev2, [['error', 'password']]);
  assert.equal(new ViewerSession({ sodium, send() {} }).closeReason(), 'offline');
});
