// messages: the 8-byte message header, every message type with its payload size, little-endian
// put/get helpers that need no alignment, and the host's growing output buffer.
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

// The host's output buffer: every message of a frame is appended, then flushed as one record.
struct out_buffer {
    uint8_t *data;   // grows to twice the needed size plus 65536 when full, never shrinks
    size_t len;      // bytes appended since the last flush
    size_t cap;      // allocated bytes
};
extern out_buffer g_out;

int out_append(const void *bytes, size_t n);   // 1, or 0 when the buffer cannot grow
int out_append_msg(uint8_t type, const void *payload, uint32_t length);   // header + payload
uint8_t *out_reserve(size_t n);   // room for n more bytes at the end (len not advanced); NULL on failure
void out_reset(void);             // empty, keep the allocation
void out_free(void);              // release the allocation
