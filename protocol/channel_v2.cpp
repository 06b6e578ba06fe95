// channel_v2: both sides of the versioned login (version 2's exchange, version 1's handshake for
// older peers) ending in version 1's confirmations and direction keys on the same channel record.
#include "protocol/channel_v2.h"
#include <sodium.h>
#include <string.h>
#include "platform/sysrand.h"
#include "protocol/channel_kdf.h"
#include "protocol/pake.h"

#define V2_FLAG 0x80   // top bit of byte 31 of the opening and of the host's version 2 answer

// Tests only: injected secrets, per thread.
struct v2_test_secrets {
    int set;
    uint8_t x25519[32];
    uint8_t wide[64];
};
static thread_local v2_test_secrets t_secrets;

// Everything one login computes; wiped as a whole when it ends either way.
struct login_state {
    uint8_t x_secret[32];   // own ephemeral X25519 secret (viewer always, host for version 1)
    uint8_t wide[64];       // random bytes of the scalar
    uint8_t scalar[32];     // own ristretto255 scalar
    uint8_t gen[32];        // password generator
    uint8_t opening[32];    // viewer's first 32 bytes as sent (the session identifier)
    uint8_t answer[32];     // host's first 32 bytes as sent
    uint8_t client_pt[32];  // version 2: the viewer's point
    uint8_t host_pt[32];    // version 2: the host's point
    uint8_t shared[32];     // X25519 or ristretto255 shared value
    uint8_t k[32];          // handshake key
    uint8_t mine[16];       // own confirmation
    uint8_t expect[16];     // confirmation the peer must send
    uint8_t got[48];        // what the peer sent after its first bytes
};

void channel_v2_test_set_secrets(const uint8_t x25519[32], const uint8_t wide[64]) {
    sodium_memzero(&t_secrets, sizeof t_secrets);
    if (!x25519 || !wide) return;
    memcpy(t_secrets.x25519, x25519, 32);
    memcpy(t_secrets.wide, wide, 64);
    t_secrets.set = 1;
}

static int draw_x25519(login_state *ls, uint8_t pub[32]) {
    if (!channel_sodium_ready()) return 0;
    if (t_secrets.set) memcpy(ls->x_secret, t_secrets.x25519, 32);
    else if (!sysrand_bytes(ls->x_secret, 32)) return 0;
    return channel_kdf_public(pub, ls->x_secret);
}

// Version 2: generator from the opening and the password, a fresh scalar, own point.
static int draw_point(login_state *ls, const char *password, uint8_t point[32]) {
    if (t_secrets.set) memcpy(ls->wide, t_secrets.wide, 64);
    else if (!sysrand_bytes(ls->wide, 64)) return 0;
    int ok = pake_scalar(ls->scalar, ls->wide) && pake_generator(ls->gen, ls->opening, password) &&
             pake_point(point, ls->scalar, ls->gen);
    sodium_memzero(ls->wide, sizeof ls->wide);
    sodium_memzero(ls->gen, sizeof ls->gen);
    return ok;
}

// Version 2: shared point from the peer's point, then K; the scalar and the shared point go at once.
static int v2_key(login_state *ls, const uint8_t peer[32]) {
    int ok = pake_shared(ls->shared, ls->scalar, peer);
    sodium_memzero(ls->scalar, sizeof ls->scalar);
    if (ok) pake_handshake_key(ls->k, ls->shared, ls->client_pt, ls->host_pt, ls->opening);
    sodium_memzero(ls->shared, sizeof ls->shared);
    return ok;
}

// Version 1: X25519 shared secret, then K over the opening and the answer as they travelled.
static int v1_key(login_state *ls, const uint8_t peer[32], const char *password) {
    int ok = channel_kdf_shared(ls->shared, ls->x_secret, peer);
    sodium_memzero(ls->x_secret, sizeof ls->x_secret);
    if (ok) channel_kdf_handshake_key(ls->k, ls->shared, ls->opening, ls->answer, password);
    sodium_memzero(ls->shared, sizeof ls->shared);
    return ok;
}

// Direction keys from K, K wiped, counters restarted.
static void key_channel(channel *ch, login_state *ls, int host_side) {
    if (host_side) channel_kdf_direction_keys(ch->send_key, ch->recv_key, ls->k);
    else channel_kdf_direction_keys(ch->recv_key, ch->send_key, ls->k);
    sodium_memzero(ls->k, sizeof ls->k);
    ch->send_counter = ch->recv_counter = 0;
    ch->recv_len = ch->recv_pos = 0;
    ch->keyed = 1;
}

// Host, after the opening: check the viewer's confirmation in `got`, then send its own.
static int host_confirm(channel *ch, login_state *ls, const uint8_t got[16]) {
    channel_kdf_confirm(ls->expect, ls->k, 0);
    if (crypto_verify_16(got, ls->expect) != 0) return CHANNEL_AUTH_WRONG;
    channel_kdf_confirm(ls->mine, ls->k, 1);
    if (!net_send_all(ch->sock, ls->mine, 16)) return CHANNEL_AUTH_FAILED;
    key_channel(ch, ls, 1);
    return CHANNEL_AUTH_OK;
}

// Host, version 1 viewer: exactly the version 1 handshake from the host's own public key on.
static int host_v1(channel *ch, login_state *ls, const char *password) {
    if (!draw_x25519(ls, ls->answer) || !net_send_all(ch->sock, ls->answer, 32) ||
        !v1_key(ls, ls->opening, password) || !net_recv_all(ch->sock, ls->got, 16))
        return CHANNEL_AUTH_FAILED;
    return host_confirm(ch, ls, ls->got);
}

// Host, version 2 viewer: answer with the flagged point, read the viewer's point and confirmation.
static int host_v2(channel *ch, login_state *ls, const char *password) {
    if (!draw_point(ls, password, ls->host_pt)) return CHANNEL_AUTH_FAILED;
    memcpy(ls->answer, ls->host_pt, 32);
    ls->answer[31] |= V2_FLAG;
    if (!net_send_all(ch->sock, ls->answer, 32) || !net_recv_all(ch->sock, ls->got, 48))
        return CHANNEL_AUTH_FAILED;
    memcpy(ls->client_pt, ls->got, 32);
    if (!v2_key(ls, ls->client_pt)) return CHANNEL_AUTH_FAILED;
    return host_confirm(ch, ls, ls->got + 32);
}

int channel_v2_handshake_host(channel *ch, const char *password, int login, int *version) {
    if (login == CHANNEL_LOGIN_V1_ONLY) {
        *version = 1;
        return channel_handshake_host(ch, password) ? CHANNEL_AUTH_OK : CHANNEL_AUTH_FAILED;
    }
    login_state ls;
    memset(&ls, 0, sizeof ls);
    int r = CHANNEL_AUTH_FAILED;
    if (channel_sodium_ready() && net_recv_all(ch->sock, ls.opening, 32)) {
        *version = (ls.opening[31] & V2_FLAG) ? 2 : 1;
        if (*version == 2) r = host_v2(ch, &ls, password);
        else if (login == CHANNEL_LOGIN_V2_ONLY) r = CHANNEL_AUTH_REFUSED;
        else r = host_v1(ch, &ls, password);
    }
    sodium_memzero(&ls, sizeof ls);
    return r;
}

// Viewer, version 2 host: own point and confirmation in one write, then the host's confirmation.
static int viewer_v2(channel *ch, login_state *ls, const char *password) {
    memcpy(ls->host_pt, ls->answer, 32);
    ls->host_pt[31] &= (uint8_t)~V2_FLAG;
    if (!draw_point(ls, password, ls->client_pt) || !v2_key(ls, ls->host_pt)) return CHANNEL_AUTH_FAILED;
    uint8_t out[48];
    memcpy(out, ls->client_pt, 32);
    channel_kdf_confirm(out + 32, ls->k, 0);
    int sent = net_send_all(ch->sock, out, sizeof out);
    sodium_memzero(out, sizeof out);
    channel_kdf_confirm(ls->expect, ls->k, 1);
    if (!sent || !net_recv_all(ch->sock, ls->got, 16) || crypto_verify_16(ls->got, ls->expect) != 0)
        return CHANNEL_AUTH_FAILED;
    key_channel(ch, ls, 0);
    return CHANNEL_AUTH_OK;
}

// Viewer, version 1 host: the version 1 handshake from the host's key on, with the opening as sent.
static int viewer_v1(channel *ch, login_state *ls, const char *password) {
    if (!v1_key(ls, ls->answer, password)) return CHANNEL_AUTH_FAILED;
    channel_kdf_confirm(ls->mine, ls->k, 0);
    channel_kdf_confirm(ls->expect, ls->k, 1);
    if (!net_send_all(ch->sock, ls->mine, 16) || !net_recv_all(ch->sock, ls->got, 16) ||
        crypto_verify_16(ls->got, ls->expect) != 0)
        return CHANNEL_AUTH_FAILED;
    key_channel(ch, ls, 0);
    return CHANNEL_AUTH_OK;
}

int channel_v2_handshake_viewer(channel *ch, const char *password, int login, int *version) {
    if (login == CHANNEL_LOGIN_V1_ONLY) {
        *version = 1;
        return channel_handshake_viewer(ch, password) ? CHANNEL_AUTH_OK : CHANNEL_AUTH_FAILED;
    }
    login_state ls;
    memset(&ls, 0, sizeof ls);
    int r = CHANNEL_AUTH_FAILED;
    if (draw_x25519(&ls, ls.opening)) {
        ls.opening[31] |= V2_FLAG;
        if (net_send_all(ch->sock, ls.opening, 32) && net_recv_all(ch->sock, ls.answer, 32)) {
            *version = (ls.answer[31] & V2_FLAG) ? 2 : 1;
            if (*version == 2) r = viewer_v2(ch, &ls, password);
            else if (login == CHANNEL_LOGIN_V2_ONLY) r = CHANNEL_AUTH_REFUSED;
            else r = viewer_v1(ch, &ls, password);
        }
    }
    sodium_memzero(&ls, sizeof ls);
    return r;
}
