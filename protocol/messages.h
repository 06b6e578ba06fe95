// messages: the 8-byte message header, every message type with its payload size, little-endian
// put/get helpers that need no alignment, and one pack and one unpack function per message layout,
// used by host, viewer, tests and fuzzers alike.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define TILE_EDGE 64
#define TILE_BYTES 16384          // 64 rows of 256 bytes: blue, green, red, fourth byte
#define HEADER_BYTES 8

// Host to viewer.
#define MSG_HOST_HELLO 1
#define MSG_MOVE_RECTS 2
#define MSG_TILE 3
#define MSG_TEXT_LAYER 4
#define MSG_CURSOR 5
#define MSG_WINDOW_LIST 6
#define MSG_FRAME_END 7
#define MSG_CACHE_REF 8
// Viewer to host.
#define MSG_CLIENT_HELLO 0x80
#define MSG_FRAME_ACK 0x81
#define MSG_MOUSE 0x82
#define MSG_KEY 0x83
#define MSG_CHAR 0x84
#define MSG_CACHE_ADVERT 0x85
#define MSG_CACHE_MISS 0x86

// Payload sizes (fixed ones) and per-item sizes.
#define HOST_HELLO_BYTES 44
#define MOVE_RECT_BYTES 24
#define TILE_HEADER_BYTES 13
#define TEXT_LAYER_HEADER_BYTES 26
#define CURSOR_BYTES 9
#define FRAME_END_BYTES 8
#define CACHE_REF_BYTES 12
#define CLIENT_HELLO_BYTES 34
#define FRAME_ACK_BYTES 8
#define MOUSE_BYTES 12
#define KEY_BYTES 4
#define CHAR_BYTES 2
#define CACHE_MISS_BYTES 12
#define NAME_BYTES 32                 // host and viewer names in hellos and joins
#define MAX_MOVE_RECTS 256            // per frame
#define MAX_ADVERT_HASHES 4096        // per MSG_CACHE_ADVERT
#define HOST_MAX_VIEWER_PAYLOAD 0x10000
#define HOST_CAPS 3                   // bit 0 text layer, bit 1 tile cache (bit 3 answered when offered)
#define VIEWER_CAPS 11                // bits 0 and 1, and bit 3: the second tile codec (protocol/codec2.h)

// Header as it travels: u8 type, 3 zero bytes, u32 payload length.
struct MessageHeader {
    uint8_t type;
    uint32_t length;
};

static inline void put_u16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static inline void put_u32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
static inline void put_u64(uint8_t *p, uint64_t v) {
    put_u32(p, (uint32_t)v);
    put_u32(p + 4, (uint32_t)(v >> 32));
}
static inline void put_i32(uint8_t *p, int32_t v) { put_u32(p, (uint32_t)v); }
static inline void put_i16(uint8_t *p, int16_t v) { put_u16(p, (uint16_t)v); }

static inline uint16_t get_u16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static inline uint32_t get_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline uint64_t get_u64(const uint8_t *p) {
    return (uint64_t)get_u32(p) | ((uint64_t)get_u32(p + 4) << 32);
}
static inline int32_t get_i32(const uint8_t *p) { return (int32_t)get_u32(p); }
static inline int16_t get_i16(const uint8_t *p) { return (int16_t)get_u16(p); }

// Writes the 8 header bytes for a message.
static inline void header_put(uint8_t *p, uint8_t type, uint32_t length) {
    p[0] = type;
    p[1] = p[2] = p[3] = 0;
    put_u32(p + 4, length);
}
static inline MessageHeader header_get(const uint8_t *p) {
    MessageHeader h;
    h.type = p[0];
    h.length = get_u32(p + 4);
    return h;
}

// ---- Message records and their layouts ----
// pack writes the whole message (header and fixed payload) at dst and returns its size; unpack reads
// a payload of len bytes and gives 1, or 0 when it is too short (the record is then untouched).
// List messages go item by item: moves and advertisement hashes after a header_put, window
// records after msg_pack_window_list.

// MSG_HOST_HELLO: i32 width, i32 height, u16 tile edge, u16 caps, 32-byte name.
struct HostHello {
    int32_t width, height;    // screen size in pixels
    uint16_t tile_edge;       // TILE_EDGE
    uint16_t caps;            // HOST_CAPS and what the host answers of the viewer's offer
    char name[NAME_BYTES];    // computer name, zero-padded, not always terminated
};
size_t msg_pack_host_hello(uint8_t *dst, const HostHello *m);
int msg_unpack_host_hello(const uint8_t *p, size_t len, HostHello *m);

// MSG_CLIENT_HELLO: u16 caps, 32-byte name.
struct ClientHello {
    uint16_t caps;            // VIEWER_CAPS and the optional bits
    char name[NAME_BYTES];    // computer name, zero-padded, not always terminated
};
size_t msg_pack_client_hello(uint8_t *dst, const ClientHello *m);
int msg_unpack_client_hello(const uint8_t *p, size_t len, ClientHello *m);

// One rectangle of MSG_MOVE_RECTS: six i32, source corner, destination corner, size.
struct MoveRect {
    int32_t src_x, src_y, dst_x, dst_y, width, height;
};
void msg_pack_move_rect(uint8_t *dst, const MoveRect *m);      // MOVE_RECT_BYTES, no header
void msg_unpack_move_rect(const uint8_t *p, MoveRect *m);
// Rectangles of a payload of len bytes the viewer applies: whole ones, at most MAX_MOVE_RECTS.
uint32_t msg_move_rect_count(uint32_t len);
// 1 when both areas have a positive size and lie inside a width x height picture: the rule the
// host's capture and encoder and the viewer all apply (the viewer skips any other rectangle).
int msg_move_rect_valid(const MoveRect *m, int32_t width, int32_t height);

// MSG_TILE: u16 tx, u16 ty, u8 form, u64 hash, then the tile data.
struct TileHeader {
    uint16_t tx, ty;          // tile position in the grid
    uint8_t form;             // 0: compressed XOR delta, 1: raw pixels, more: the second codec's forms
    uint64_t hash;            // tile hash of the new pixels (0: not for the cache)
};
// Header and tile header of a tile with data_bytes of data (written by the caller after them).
size_t msg_pack_tile(uint8_t *dst, const TileHeader *m, uint32_t data_bytes);
int msg_unpack_tile(const uint8_t *p, size_t len, TileHeader *m);

// MSG_TEXT_LAYER: i32 left, top, width, height, u16 cols, rows, records, u32 body bytes, then the
// compressed row records. Zero cols or rows switch the layer off.
struct TextLayerHeader {
    int32_t left, top, width, height;   // console client area in screen pixels
    uint16_t cols, rows;                // grid size in cells
    uint16_t records;                   // row records in the body
    uint32_t body_bytes;                // body size before compression
};
// Header and text header of a message with data_bytes of compressed body after them.
size_t msg_pack_text_layer(uint8_t *dst, const TextLayerHeader *m, uint32_t data_bytes);
int msg_unpack_text_layer(const uint8_t *p, size_t len, TextLayerHeader *m);

// MSG_CURSOR: i32 x, i32 y, u8 visible.
struct CursorMsg {
    int32_t x, y;
    uint8_t visible;
};
size_t msg_pack_cursor(uint8_t *dst, const CursorMsg *m);
int msg_unpack_cursor(const uint8_t *p, size_t len, CursorMsg *m);

// One record of MSG_WINDOW_LIST (after its u16 count): u32 handle, i32 left, top, width, height,
// u8 flags, u8 title length, then the title bytes.
#define WINDOW_RECORD_BYTES 22    // record size before the title
#define WINDOW_FLAG_FOREGROUND 1
#define WINDOW_FLAG_MINIMIZED 2
struct WindowEntry {
    uint32_t handle;
    int32_t left, top, width, height;
    uint8_t flags;            // bit 0 foreground, bit 1 minimized
    uint8_t title_len;        // title bytes after the record
};
// The list's header and u16 record count, before records_bytes of records.
size_t msg_pack_window_list(uint8_t *dst, uint16_t count, uint32_t records_bytes);
void msg_pack_window_entry(uint8_t *dst, const WindowEntry *m);   // WINDOW_RECORD_BYTES, no title
int msg_unpack_window_entry(const uint8_t *p, size_t len, WindowEntry *m);   // record and title fit

// MSG_FRAME_END: u32 frame number, u32 send tick; MSG_FRAME_ACK echoes the same 8 bytes.
struct FrameEnd {
    uint32_t frame, tick;
};
size_t msg_pack_frame_end(uint8_t *dst, const FrameEnd *m);
size_t msg_pack_frame_ack(uint8_t *dst, const FrameEnd *m);
// A short frame end reads as its bytes followed by zeros (the echo carries it so); 1 when whole.
int msg_unpack_frame_end(const uint8_t *p, size_t len, FrameEnd *m);
int msg_unpack_frame_ack(const uint8_t *p, size_t len, FrameEnd *m);

// MSG_CACHE_REF and MSG_CACHE_MISS: u16 tx, u16 ty, u64 hash.
struct CacheRef {
    uint16_t tx, ty;
    uint64_t hash;
};
size_t msg_pack_cache_ref(uint8_t *dst, const CacheRef *m);
size_t msg_pack_cache_miss(uint8_t *dst, const CacheRef *m);
int msg_unpack_cache_ref(const uint8_t *p, size_t len, CacheRef *m);   // either of the two

// MSG_MOUSE: i32 x, i32 y, u8 action, u8 button, i16 wheel.
struct MouseMsg {
    int32_t x, y;             // host screen pixels
    uint8_t action, button;
    int16_t wheel;
};
size_t msg_pack_mouse(uint8_t *dst, const MouseMsg *m);
int msg_unpack_mouse(const uint8_t *p, size_t len, MouseMsg *m);

// MSG_KEY: u16 virtual key, u8 down (non-zero: press), one zero byte.
struct KeyMsg {
    uint16_t vk;
    uint8_t down;
};
size_t msg_pack_key(uint8_t *dst, const KeyMsg *m);
int msg_unpack_key(const uint8_t *p, size_t len, KeyMsg *m);

// MSG_CHAR: u16 UTF-16 code unit.
size_t msg_pack_char(uint8_t *dst, uint16_t unit);
int msg_unpack_char(const uint8_t *p, size_t len, uint16_t *unit);

// MSG_CACHE_ADVERT: u64 hashes, any number (a trailing partial one is ignored).
static inline uint32_t msg_advert_count(size_t len) { return (uint32_t)(len / 8); }
static inline void msg_pack_advert_hash(uint8_t *payload, uint32_t k, uint64_t h) { put_u64(payload + 8 * (size_t)k, h); }
static inline uint64_t msg_unpack_advert_hash(const uint8_t *payload, uint32_t k) { return get_u64(payload + 8 * (size_t)k); }
