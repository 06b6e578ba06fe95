// channel: the viewer's side of the password-bound handshake and the encrypted record layer, with
// the cryptography from libsodium (X25519, BLAKE2b, XChaCha20-Poly1305), as the native programs do.
const enc = new TextEncoder();
const LABEL = enc.encode('vo-v1');
export const RECORD_MAX = 16777216;

function concat(...parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let o = 0;
  for (const p of parts) out.set(p, o), (o += p.length);
  return out;
}

// The viewer's handshake values from its secret, the host's public key and the password; throws
// when the key agreement gives the all-zero secret.
export function handshakeKeys(sodium, clientSecret, hostPub, password) {
  const clientPub = sodium.crypto_scalarmult_base(clientSecret);
  const shared = sodium.crypto_scalarmult(clientSecret, hostPub);
  const K = sodium.crypto_generichash(32, concat(shared, clientPub, hostPub, LABEL, enc.encode(password || '')), null);
  sodium.memzero(shared);
  const keyed = (n, label) => sodium.crypto_generichash(n, enc.encode(label), K);
  const out = {
    K,
    cConfirm: keyed(16, 'c-confirm'),
    sConfirm: keyed(16, 's-confirm'),
    s2c: keyed(32, 's2c'),
    c2s: keyed(32, 'c2s'),
  };
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
