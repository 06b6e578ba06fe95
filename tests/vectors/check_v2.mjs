// check_v2: recomputes tests/vectors/handshake_v2.json from its fixed secrets with code that
// shares nothing with the C++ tree (@noble/curves for ristretto255 and X25519, @noble/hashes for
// BLAKE2b, node:crypto's ChaCha20-Poly1305 under a HChaCha20 written here) and compares every value.
//   node check_v2.mjs <handshake_v2.json>   (NODE_PATH or a node_modules beside it must hold @noble)
import { readFileSync } from 'node:fs';
import { createCipheriv } from 'node:crypto';
import { ristretto255, ristretto255_hasher, x25519 } from '@noble/curves/ed25519.js';
import { blake2b } from '@noble/hashes/blake2.js';

const hex = (b) => Buffer.from(b).toString('hex');
const unhex = (h) => new Uint8Array(Buffer.from(h, 'hex'));
const utf8 = (s) => new TextEncoder().encode(s);
const cat = (...parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) { out.set(p, at); at += p.length; }
  return out;
};
const le = (bytes) => bytes.reduceRight((v, b) => (v << 8n) | BigInt(b), 0n);
const Point = ristretto255.Point;
const L = Point.Fn.ORDER;
const u32 = (n) => { const b = new Uint8Array(4); new DataView(b.buffer).setUint32(0, n, true); return b; };

// HChaCha20 (RFC draft-irtf-cfrg-xchacha): the 32-byte subkey from a key and 16 nonce bytes.
function hchacha20(key, nonce16) {
  const s = new Uint32Array(16);
  s.set([0x61707865, 0x3320646e, 0x79622d32, 0x6b206574]);
  const kv = new DataView(key.buffer, key.byteOffset), nv = new DataView(nonce16.buffer, nonce16.byteOffset);
  for (let i = 0; i < 8; i++) s[4 + i] = kv.getUint32(4 * i, true);
  for (let i = 0; i < 4; i++) s[12 + i] = nv.getUint32(4 * i, true);
  const rotl = (v, c) => (v << c) | (v >>> (32 - c));
  const qr = (a, b, c, d) => {
    s[a] += s[b]; s[d] = rotl(s[d] ^ s[a], 16); s[c] += s[d]; s[b] = rotl(s[b] ^ s[c], 12);
    s[a] += s[b]; s[d] = rotl(s[d] ^ s[a], 8); s[c] += s[d]; s[b] = rotl(s[b] ^ s[c], 7);
  };
  for (let i = 0; i < 10; i++) {
    qr(0, 4, 8, 12); qr(1, 5, 9, 13); qr(2, 6, 10, 14); qr(3, 7, 11, 15);
    qr(0, 5, 10, 15); qr(1, 6, 11, 12); qr(2, 7, 8, 13); qr(3, 4, 9, 14);
  }
  const out = new Uint8Array(32), ov = new DataView(out.buffer);
  [0, 1, 2, 3, 12, 13, 14, 15].forEach((w, i) => ov.setUint32(4 * i, s[w], true));
  return out;
}

// One record: u32 length, XChaCha20-Poly1305 ciphertext and tag; nonce = counter (u64 LE) and 16
// zero bytes; additional data = the 4 length bytes.
function seal(key, counter, plain) {
  const nonce = new Uint8Array(24);
  new DataView(nonce.buffer).setBigUint64(0, BigInt(counter), true);
  const sub = hchacha20(key, nonce.subarray(0, 16));
  const c = createCipheriv('chacha20-poly1305', sub, cat(new Uint8Array(4), nonce.subarray(16)), { authTagLength: 16 });
  c.setAAD(u32(plain.length), { plaintextLength: plain.length });
  return cat(u32(plain.length), c.update(plain), c.final(), c.getAuthTag());
}

function afterK(v, K, got) {
  const kh = (label, n) => blake2b(utf8(label), { key: K, dkLen: n });
  const s2c = kh('s2c', 32), c2s = kh('c2s', 32);
  Object.assign(got, { K, c_confirm: kh('c-confirm', 16), s_confirm: kh('s-confirm', 16), s2c, c2s,
    client_record_0: seal(c2s, 0, unhex(v.client_hello_plain)),
    host_record_0: seal(s2c, 0, unhex(v.host_hello_plain)) });
}

function v2(v) {
  const pw = utf8(v.password), got = {};
  const opening = x25519.getPublicKey(unhex(v.client_x25519_secret));
  opening[31] |= 0x80;
  const gh = blake2b(cat(utf8('vo-v2-generator'), opening, pw), { dkLen: 64 });
  const gen = ristretto255_hasher.deriveToCurve(gh);
  const cs = le(unhex(v.client_scalar_random)) % L, hs = le(unhex(v.host_scalar_random)) % L;
  const cp = gen.multiply(cs), hp = gen.multiply(hs);
  const shared = Point.fromBytes(hp.toBytes()).multiply(cs);
  if (!shared.equals(Point.fromBytes(cp.toBytes()).multiply(hs))) throw new Error('shared points differ');
  const answer = hp.toBytes(); answer[31] |= 0x80;
  const scalarBytes = (s) => { const b = new Uint8Array(32); for (let i = 0; i < 32; i++) b[i] = Number((s >> BigInt(8 * i)) & 255n); return b; };
  Object.assign(got, { opening, generator_hash: gh, generator: gen.toBytes(), client_scalar: scalarBytes(cs),
    host_scalar: scalarBytes(hs), client_point: cp.toBytes(), host_point: hp.toBytes(), host_answer: answer,
    shared: shared.toBytes() });
  const K = blake2b(cat(shared.toBytes(), cp.toBytes(), hp.toBytes(), utf8('vo-v2'), opening), { dkLen: 32 });
  afterK(v, K, got);
  return got;
}

function v1Host(v) {
  const got = {};
  const opening = x25519.getPublicKey(unhex(v.client_x25519_secret));
  opening[31] |= 0x80;
  const hostSecret = unhex(v.host_x25519_secret);
  const hostPub = x25519.getPublicKey(hostSecret);
  const shared = x25519.getSharedSecret(hostSecret, opening);
  Object.assign(got, { opening, host_pub: hostPub, shared });
  afterK(v, blake2b(cat(shared, opening, hostPub, utf8('vo-v1'), utf8(v.password)), { dkLen: 32 }), got);
  return got;
}

const vectors = JSON.parse(readFileSync(process.argv[2], 'utf8'));
let checked = 0, bad = 0;
for (const [name, v] of Object.entries(vectors)) {
  const got = name === 'v1_host' ? v1Host(v) : v2(v);
  for (const [key, value] of Object.entries(got)) {
    checked++;
    if (hex(value) !== v[key]) { bad++; console.log(`${name}.${key}: expected ${v[key]}, computed ${hex(value)}`); }
  }
}
console.log(`check_v2: ${checked - bad} of ${checked} values agree`);
process.exit(bad === 0 && checked > 0 ? 0 : 1);
