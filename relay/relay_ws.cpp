// relay_ws: HTTP request heads, the WebSocket upgrade, and the frames of an upgraded connection
// (client frames unmasked and unwrapped, ours wrapped as unmasked binary frames).
#include "relay/relay_ws.h"
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include "relay/relay_internal.h"
#include "relay/relay_sha1.h"

#define WS_IN_BYTES (RELAY_WS_MAX_REQUEST + 8)  // a request head, or frame headers and payload in passing

int relay_ws_new(relay_conn *c) {
    relay_ws *ws = (relay_ws *)calloc(1, sizeof *ws);
    if (ws) ws->in = (uint8_t *)malloc(WS_IN_BYTES);
    if (!ws || !ws->in) {
        free(ws);
        return 0;
    }
    ws->in_cap = WS_IN_BYTES;
    c->ws = ws;
    return 1;
}

void relay_ws_free(relay_conn *c) {
    if (!c->ws) return;
    relay_ws_body_free(c->ws);
    free(c->ws->in);
    free(c->ws->out);
    free(c->ws);
    c->ws = nullptr;
}

void relay_ws_body_free(relay_ws *ws) {
    if (ws->map_len) munmap((void *)ws->body, ws->map_len);
    ws->body = nullptr;
    ws->body_len = ws->body_off = ws->map_len = 0;
}

int relay_ws_out(relay_ws *ws, const void *p, size_t n) {
    if (ws->out_off == ws->out_len) ws->out_off = ws->out_len = 0;
    if ((size_t)ws->out_len + n > ws->out_cap) {
        if ((size_t)ws->out_len + n > (64u << 20)) return 0;
        uint32_t cap = (uint32_t)((ws->out_len + n) * 2 + 4096);
        uint8_t *o = (uint8_t *)realloc(ws->out, cap);
        if (!o) return 0;
        ws->out = o;
        ws->out_cap = cap;
    }
    memcpy(ws->out + ws->out_len, p, n);
    ws->out_len += (uint32_t)n;
    return 1;
}

// Our frames: FIN set, never masked.
static int out_frame(relay_ws *ws, int opcode, const void *p, size_t n) {
    uint8_t h[10];
    size_t k = 2;
    h[0] = (uint8_t)(0x80 | opcode);
    if (n < 126) {
        h[1] = (uint8_t)n;
    } else if (n < 65536) {
        h[1] = 126, h[2] = (uint8_t)(n >> 8), h[3] = (uint8_t)n, k = 4;
    } else {
        h[1] = 127;
        for (int i = 0; i < 8; i++) h[2 + i] = (uint8_t)((uint64_t)n >> (56 - 8 * i));
        k = 10;
    }
    return relay_ws_out(ws, h, k) && relay_ws_out(ws, p, n);
}

static void send_close(relay_ws *ws, int code) {
    if (ws->close_sent) return;
    uint8_t b[2] = {(uint8_t)(code >> 8), (uint8_t)code};
    out_frame(ws, 8, b, 2);
    ws->close_sent = 1;
}

int relay_ws_flush(relay_conn *c) {
    relay_ws *ws = c->ws;
    while (ws->out_off < ws->out_len) {
        ssize_t n = send(c->fd, ws->out + ws->out_off, ws->out_len - ws->out_off, MSG_NOSIGNAL);
        if (n > 0) ws->out_off += (uint32_t)n;
        else if (n < 0 && errno == EINTR) continue;
        else return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
    ws->out_off = ws->out_len = 0;
    while (ws->body_off < ws->body_len) {
        ssize_t n = send(c->fd, ws->body + ws->body_off, ws->body_len - ws->body_off, MSG_NOSIGNAL);
        if (n > 0) ws->body_off += (size_t)n;
        else if (n < 0 && errno == EINTR) continue;
        else return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
    if (ws->body) relay_ws_body_free(ws);
    if (ws->shut_pending) {
        shutdown(c->fd, SHUT_WR);
        ws->shut_pending = 0;
    }
    return 1;
}

void relay_ws_shutdown(relay_conn *c) {
    send_close(c->ws, 1000);
    c->ws->shut_pending = 1;
    relay_ws_flush(c);
}

ssize_t relay_ws_send(relay_conn *c, const void *src, size_t n) {
    int f = relay_ws_flush(c);
    if (f <= 0 || c->ws->close_sent) {
        errno = f == 0 ? EAGAIN : EPIPE;
        return -1;
    }
    if (!out_frame(c->ws, 2, src, n)) {
        errno = ENOMEM;
        return -1;
    }
    if (relay_ws_flush(c) < 0) {
        errno = EPIPE;
        return -1;
    }
    return (ssize_t)n;
}

static int fail(relay_ws *ws, int code) {
    send_close(ws, code);
    ws->failed = 1;
    errno = EPROTO;
    return -1;
}

// A whole control frame (payload at p, already unmasked).
static void control_frame(relay_ws *ws, int op, const uint8_t *p, size_t n) {
    if (op == 9 && !ws->close_sent && ws->out_len - ws->out_off < RELAY_WS_MAX_PENDING) out_frame(ws, 10, p, n);
    if (op == 8) {
        send_close(ws, n >= 2 ? (p[0] << 8 | p[1]) : 1000);
        ws->peer_closed = 1;
    }
}

// Reads the next frame header at ws->in + in_off. 1 = consumed (data frame started or control frame
// handled), 0 = more bytes needed, -1 = protocol fault.
static int frame_header(relay_ws *ws) {
    const uint8_t *h = ws->in + ws->in_off;
    uint32_t avail = ws->in_len - ws->in_off;
    if (avail < 2) return 0;
    int fin = h[0] & 0x80, op = h[0] & 15, len7 = h[1] & 127;
    size_t hl = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + 4;
    if (avail < hl) return 0;
    if (!(h[1] & 0x80) || (h[0] & 0x70)) return fail(ws, 1002);  // clients must mask; no extensions
    uint64_t len = (uint64_t)len7;
    if (len7 == 126) len = (uint64_t)h[2] << 8 | h[3];
    if (len7 == 127) {
        len = 0;
        for (int i = 0; i < 8; i++) len = len << 8 | h[2 + i];
    }
    const uint8_t *mask = h + hl - 4;
    if (op >= 8) {
        if (!fin || len > 125 || op > 10) return fail(ws, 1002);
        if (avail < hl + len) return 0;
        uint8_t p[125];
        for (uint64_t i = 0; i < len; i++) p[i] = h[hl + i] ^ mask[i & 3];
        ws->in_off += (uint32_t)(hl + len);
        control_frame(ws, op, p, (size_t)len);
        return 1;
    }
    if (op == 1) return fail(ws, 1003);  // text frames carry nothing for the relay
    if ((op == 2 && ws->in_message) || (op == 0 && !ws->in_message) || op > 2) return fail(ws, 1002);
    if (op == 2) ws->msg_len = 0;
    if (len > RELAY_WS_MAX_FRAME || ws->msg_len + len > RELAY_WS_MAX_MESSAGE) return fail(ws, 1009);
    ws->msg_len += len;
    ws->in_message = !fin;
    memcpy(ws->mask, mask, 4);
    ws->frame_left = len;
    ws->frame_pos = 0;
    ws->in_data = len > 0;
    ws->in_off += (uint32_t)hl;
    return 1;
}

// Decodes what is buffered into dst: bytes produced (0 = need more input), or -1 on a fault.
static ssize_t decode(relay_ws *ws, uint8_t *dst, size_t cap) {
    size_t got = 0;
    while (got < cap && !ws->peer_closed) {
        if (ws->in_data) {
            uint64_t k = ws->in_len - ws->in_off;
            if (k > ws->frame_left) k = ws->frame_left;
            if (k > cap - got) k = cap - got;
            if (!k) break;
            const uint8_t *s = ws->in + ws->in_off;
            for (uint64_t i = 0; i < k; i++) dst[got + i] = s[i] ^ ws->mask[(ws->frame_pos + i) & 3];
            got += (size_t)k;
            ws->in_off += (uint32_t)k;
            ws->frame_pos += k;
            ws->frame_left -= k;
            if (!ws->frame_left) ws->in_data = 0;
            continue;
        }
        int r = frame_header(ws);
        if (r < 0) return got ? (ssize_t)got : -1;
        if (r == 0) break;
    }
    return (ssize_t)got;
}

ssize_t relay_ws_recv(relay_conn *c, void *dst, size_t cap) {
    relay_ws *ws = c->ws;
    for (;;) {
        if (ws->failed) {
            errno = EPROTO;
            return -1;
        }
        ssize_t r = decode(ws, (uint8_t *)dst, cap);
        if (ws->out_len) relay_ws_flush(c);  // pongs and our close reply
        if (r != 0) return r;
        if (ws->peer_closed) return 0;
        if (ws->in_off == ws->in_len) ws->in_off = ws->in_len = 0;
        if (ws->in_len == ws->in_cap) {
            memmove(ws->in, ws->in + ws->in_off, ws->in_len - ws->in_off);
            ws->in_len -= ws->in_off;
            ws->in_off = 0;
        }
        ssize_t n = recv(c->fd, ws->in + ws->in_len, ws->in_cap - ws->in_len, 0);
        if (n <= 0) {
            if (n == 0) ws->peer_closed = 1;
            return n;
        }
        ws->in_len += (uint32_t)n;
    }
}

// The value of header `name` in the request head (NUL-terminated, lines end in CRLF), or NULL.
static const char *header(const char *head, const char *name, size_t *len) {
    size_t nl = strlen(name);
    for (const char *l = strstr(head, "\r\n"); l && l[2]; l = strstr(l + 2, "\r\n")) {
        const char *s = l + 2;
        if (strncasecmp(s, name, nl) != 0 || s[nl] != ':') continue;
        s += nl + 1;
        while (*s == ' ' || *s == '\t') s++;
        const char *e = strstr(s, "\r\n");
        while (e > s && (e[-1] == ' ' || e[-1] == '\t')) e--;
        *len = (size_t)(e - s);
        return s;
    }
    return nullptr;
}

static int has_token(const char *v, size_t n, const char *token) {
    size_t tl = strlen(token);
    for (size_t i = 0; i + tl <= n; i++)
        if (!strncasecmp(v + i, token, tl) && (i == 0 || v[i - 1] == ' ' || v[i - 1] == ',') &&
            (i + tl == n || v[i + tl] == ' ' || v[i + tl] == ','))
            return 1;
    return 0;
}

static void answer_error(relay_ws *ws, const char *status, const char *extra) {
    char b[512];
    int n = snprintf(b, sizeof b, "HTTP/1.1 %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n%sConnection: close\r\n\r\n%s\n",
                     status, strlen(status) + 1, extra, status);
    relay_ws_out(ws, b, (size_t)n);
}

// The upgrade on /relay; 1 when accepted.
static int upgrade(relay_ws *ws, const char *head) {
    size_t ul = 0, cl = 0, kl = 0, vl = 0;
    const char *u = header(head, "Upgrade", &ul), *co = header(head, "Connection", &cl);
    const char *k = header(head, "Sec-WebSocket-Key", &kl), *v = header(head, "Sec-WebSocket-Version", &vl);
    if (!u || !co || !k || !has_token(u, ul, "websocket") || !has_token(co, cl, "upgrade") || kl != 24) {
        answer_error(ws, "400 Bad Request", "");
        return 0;
    }
    if (!v || vl != 2 || memcmp(v, "13", 2) != 0) {
        answer_error(ws, "426 Upgrade Required", "Sec-WebSocket-Version: 13\r\n");
        return 0;
    }
    char accept[29], b[256];
    relay_ws_accept_key(k, kl, accept);
    int n = snprintf(b, sizeof b, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Accept: %s\r\n\r\n", accept);
    return relay_ws_out(ws, b, (size_t)n);
}

// A complete head is at ws->in (NUL-terminated at its blank line): answer or upgrade.
static int request(relay_conn *c, char *head) {
    relay_ws *ws = c->ws;
    char method[16], target[2048], version[16];
    size_t ml = strcspn(head, " \r\n"), tl = head[ml] == ' ' ? strcspn(head + ml + 1, " \r\n") : 0;
    if (tl >= sizeof target) {
        answer_error(ws, "414 URI Too Long", "");
        return 0;
    }
    if (sscanf(head, "%15s %2047s %15s", method, target, version) != 3 || strncmp(version, "HTTP/1.", 7) != 0) {
        answer_error(ws, "400 Bad Request", "");
        return 0;
    }
    if (!strcmp(target, "/relay") && !strcmp(method, "GET")) {
        if (!upgrade(ws, head)) return 0;
        char addr[32];
        relay_conn_text(c, addr, sizeof addr);
        relay_log("websocket from %s", addr);
        return 1;
    }
    relay_http_answer(ws, g_relay.cfg.ws_root, method, target);
    return 0;
}

int relay_ws_http(relay_conn *c) {
    relay_ws *ws = c->ws;
    if (ws->phase == RELAY_WS_OPEN) return 1;
    if (ws->phase == RELAY_WS_FILE) {
        if (relay_ws_flush(c) != 0) relay_conn_close(c);
        return 0;
    }
    for (;;) {
        ssize_t n = recv(c->fd, ws->in + ws->in_len, RELAY_WS_MAX_REQUEST - ws->in_len, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        if (n <= 0) {
            relay_conn_close(c);
            return 0;
        }
        ws->in_len += (uint32_t)n;
        ws->in[ws->in_len] = 0;
        char *end = strstr((char *)ws->in, "\r\n\r\n");
        if (!end && ws->in_len < RELAY_WS_MAX_REQUEST) continue;
        int open = 0;
        if (!end) {
            answer_error(ws, "431 Request Header Fields Too Large", "");
        } else {
            end[2] = 0;  // the head keeps its last CRLF; the bytes after the blank line are frames
            ws->in_off = (uint32_t)(end + 4 - (char *)ws->in);
            open = request(c, (char *)ws->in);
        }
        ws->phase = open ? RELAY_WS_OPEN : RELAY_WS_FILE;
        int f = relay_ws_flush(c);
        if (!open && f != 0) relay_conn_close(c);
        if (open && f < 0) relay_conn_close(c);
        return open && f >= 0;
    }
}
