// channel: the viewer's side of the login (version 2 preferred, version 1 when the host answers as a
// version 1 host; docs/protocol-v2.md) and the encrypted record layer, with the cryptography from
// libsodium's sumo build (X25519, ristretto255, BLAKE2b, XChaCha20-Poly1305), as the native programs do.
const enc = new TextEncoder();
const LABEL = enc.encode('vo-v1');
const LABEL_V2 = enc.encode('vo-v2');
const GENERATOR_LABEL = enc.encode('vo-v2-generator');
export const RECORD_MAX = 16777216;

function concat(...parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let o = 0;
  for (const p of parts) out.set(p, o), (o += p.length);
  return out;
}

// Confirmations and direction keys from K (both versions).
function fromK(sodium, K) {
  const keyed = (n, label) => sodium.crypto_generichash(n, enc.encode(label), K);
  return { K, cConfirm: keyed(16, 'c-confirm'), sConfirm: keyed(16, 's-confirm'), s2c: keyed(32, 's2c'), c2s: keyed(32, 'c2s') };
}

// The viewer's first 32 bytes: its X25519 public key with the top bit set to offer version 2.
export function opening(sodium, clientSecret) {
  const pub = sodium.crypto_scalarmult_base(clientSecret);
  pub[31] |= 0x80;
  return pub;
}

// Version 1 values from the viewer's secret, the host's public key and the password; `sent` is the
// opening as it went out (a version 2 viewer's has the top bit set). Throws when the key agreement
// gives the all-zero secret.
export function handshakeKeys(sodium, clientSecret, hostPub, password, sent) {
  const clientPub = sent || sodium.crypto_scalarmult_base(clientSecret);
  const shared = sodium.crypto_scalarmult(clientSecret, hostPub);
  const K = sodium.crypto_generichash(32, concat(shared, clientPub, hostPub, LABEL, enc.encode(password || '')), null);
  sodium.memzero(shared);
  return fromK(sodium, K);
}

const isZero = (b) => b.every((x) => x === 0);

// Version 2 values from the opening as sent (the session identifier), the host's answer (top bit
// set), the password and 64 random bytes; the reply (Ya then c_confirm) goes in `reply`. Returns null
// when the host's point is not canonical, or it or the shared point is the identity. `trace` (tests
// only) receives copies of the intermediate values.
export function handshakeKeysV2(sodium, sid, answer, password, scalarRandom, trace) {
  const Yb = answer.slice();
  Yb[31] &= 0x7f;
  if (isZero(Yb) || !sodium.crypto_core_ristretto255_is_valid_point(Yb)) return null;
  const h = sodium.crypto_generichash(64, concat(GENERATOR_LABEL, sid, enc.encode(password || '')), null);
  const G = sodium.crypto_core_ristretto255_from_hash(h);
  const x2 = sodium.crypto_core_ristretto255_scalar_reduce(scalarRandom);
  let Ya, Z;
  try {
    Ya = sodium.crypto_scalarmult_ristretto255(x2, G);
    Z = sodium.crypto_scalarmult_ristretto255(x2, Yb);
  } catch {
    Ya = Z = null;   // libsodium refuses an identity result
  }
  if (trace) Object.assign(trace, { generator_hash: h.slice(), generator: G.slice(), client_scalar: x2.slice(),
    host_point: Yb, shared: Z && Z.slice() });
  for (const b of [h, G, x2]) sodium.memzero(b);
  if (!Ya || !Z || isZero(Z)) return null;
  const K = sodium.crypto_generichash(32, concat(Z, Ya, Yb, LABEL_V2, sid), null);
  sodium.memzero(Z);
  const out = fromK(sodium, K);
  out.point = Ya;
  out.reply = concat(Ya, out.cConfirm);
  return out;
}

function nonce(counter) {
  const n = new Uint8Array(24);
  new DataView(n.buffer).setBigUint64(0, BigInt(counter), true);
  return n;
}

// One record: 4 length bytes, ciphertext, tag.
export function sealRecord(sodium, key, counter, plain) {
  const head = new Uint8Array(4);
  new DataView(head.buffer).setUint32(0, plain.length, true);
  const r = sodium.crypto_aead_xchacha20poly1305_ietf_encrypt_detached(plain, head, null, nonce(counter), key);
  return concat(head, r.ciphertext, r.mac);
}

// Opens a record body (ciphertext then tag) whose 4 length bytes were `head`; null when forged.
export function openRecord(sodium, key, counter, head, body) {
  const L = body.length - 16;
  try {
    return sodium.crypto_aead_xchacha20poly1305_ietf_decrypt_detached(null, body.subarray(0, L),
      body.subarray(L), head, nonce(counter), key);
  } catch {
    return null;
  }
}
