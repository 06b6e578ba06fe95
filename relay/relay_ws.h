// relay_ws: the relay's WebSocket front, so a browser page can be a relay connection like any
// other. On the --ws-port listener a connection first speaks HTTP/1.1: GET of the viewer page's
// static files (relay_http.cpp), or the upgrade on /relay. After the upgrade its binary messages
// carry the relay byte stream: the payload's first 56 bytes are the join, and from then on the
// bytes pass unchanged, unwrapped from the client's frames and wrapped into ours. The forwarding
// code reads and writes such a connection through relay_conn_recv / relay_conn_send.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

struct relay_conn;

#define RELAY_WS_MAX_REQUEST 8192        // bytes of an HTTP request head
#define RELAY_WS_MAX_FRAME (1u << 20)    // payload of one client frame
#define RELAY_WS_MAX_MESSAGE (1u << 24)  // payload of one client message (all its fragments)
#define RELAY_WS_MAX_PENDING (1u << 18)  // control replies queued while the socket is full

enum { RELAY_WS_HTTP = 0, RELAY_WS_FILE = 1, RELAY_WS_OPEN = 2 };

// Per-connection state of a connection accepted on the WebSocket port.
struct relay_ws {
    uint8_t phase;          // RELAY_WS_HTTP, RELAY_WS_FILE (answering, then closing), RELAY_WS_OPEN
    uint8_t in_data;        // inside a data frame's payload
    uint8_t in_message;     // a fragmented message is open (continuation frames expected)
    uint8_t last_frame;     // the data frame being read is its message's last
    uint8_t close_sent;     // our close frame is queued: nothing more is sent after it
    uint8_t peer_closed;    // the client's close frame (or FIN) arrived
    uint8_t failed;         // a protocol fault ended the stream
    uint8_t shut_pending;   // shut the socket's sending side once out is flushed
    uint8_t mask[4];        // the current frame's masking key
    uint64_t frame_left;    // payload bytes of the current data frame still to read
    uint64_t frame_pos;     // payload bytes of it already read (index into the mask)
    uint64_t msg_len;       // payload bytes of the current message so far
    uint8_t *in;            // socket bytes not yet decoded (request head, then frames)
    uint32_t in_off, in_len, in_cap;
    uint8_t *out;           // bytes waiting for the socket (response head, frames)
    uint32_t out_off, out_len, out_cap;
    const uint8_t *body;    // a static file's bytes, sent after out without a copy: the built-in
    size_t body_len, body_off;  // copy, or a read-only mapping of a file under --ws-root
    size_t map_len;         // length of that mapping (0 when body is the built-in copy)
};

int relay_ws_new(relay_conn *c);   // gives c its WebSocket state; 0 when out of memory
void relay_ws_free(relay_conn *c);
// Drives the HTTP phase: 1 once c is upgraded and its frames can be read; 0 while the request is
// still coming or a file is being answered (c may be closed when this returns 0).
int relay_ws_http(relay_conn *c);
// Like recv/send on a plain socket: bytes moved, 0 at the end of the client's stream, -1 with errno
// (EAGAIN when nothing can move now). relay_ws_send frames n bytes as one binary message.
ssize_t relay_ws_recv(relay_conn *c, void *dst, size_t cap);
ssize_t relay_ws_send(relay_conn *c, const void *src, size_t n);
int relay_ws_flush(relay_conn *c);     // 1 all sent, 0 some still waiting, -1 failed
void relay_ws_shutdown(relay_conn *c); // close frame, then the socket's sending side

// relay_ws.cpp, for relay_http.cpp: appends to the bytes waiting for the socket; 0 out of memory.
int relay_ws_out(relay_ws *ws, const void *p, size_t n);
void relay_ws_body_free(relay_ws *ws);   // drops the file body (unmaps it when mapped)

// relay_http.cpp: the answer to a GET of a static file (or an error), appended to ws->out.
void relay_http_answer(relay_ws *ws, const char *root, const char *method, const char *target);
// Checks a request target and turns it into a path relative to the root ("index.html" for "/"):
// percent-escapes decoded, query dropped; 0 for anything that could leave the root (".." segments,
// backslashes, NUL, empty segments) or that names a folder.
int relay_http_clean_path(const char *target, char *out, size_t cap);
// The embedded copy of web/ (relay_web_files.cpp is generated at build time).
struct relay_web_file {
    const char *name;       // path relative to web/, e.g. "index.html"
    const uint8_t *data;
    size_t size;
};
extern const relay_web_file g_relay_web_files[];
extern const int g_relay_web_count;
