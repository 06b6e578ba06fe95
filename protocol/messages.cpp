// messages: one pack and one unpack function per message layout.
#include "protocol/messages.h"

// The header of a message with a payload of `length` bytes; where the payload starts.
static uint8_t *begin(uint8_t *dst, uint8_t type, uint32_t length) {
    header_put(dst, type, length);
    return dst + HEADER_BYTES;
}

size_t msg_pack_host_hello(uint8_t *dst, const HostHello *m) {
    uint8_t *p = begin(dst, MSG_HOST_HELLO, HOST_HELLO_BYTES);
    put_i32(p, m->width);
    put_i32(p + 4, m->height);
    put_u16(p + 8, m->tile_edge);
    put_u16(p + 10, m->caps);
    memcpy(p + 12, m->name, NAME_BYTES);
    return HEADER_BYTES + HOST_HELLO_BYTES;
}

int msg_unpack_host_hello(const uint8_t *p, size_t len, HostHello *m) {
    if (len < HOST_HELLO_BYTES) return 0;
    m->width = get_i32(p);
    m->height = get_i32(p + 4);
    m->tile_edge = get_u16(p + 8);
    m->caps = get_u16(p + 10);
    memcpy(m->name, p + 12, NAME_BYTES);
    return 1;
}

size_t msg_pack_client_hello(uint8_t *dst, const ClientHello *m) {
    uint8_t *p = begin(dst, MSG_CLIENT_HELLO, CLIENT_HELLO_BYTES);
    put_u16(p, m->caps);
    memcpy(p + 2, m->name, NAME_BYTES);
    return HEADER_BYTES + CLIENT_HELLO_BYTES;
}

int msg_unpack_client_hello(const uint8_t *p, size_t len, ClientHello *m) {
    if (len < CLIENT_HELLO_BYTES) return 0;
    m->caps = get_u16(p);
    memcpy(m->name, p + 2, NAME_BYTES);
    return 1;
}

void msg_pack_move_rect(uint8_t *dst, const MoveRect *m) {
    put_i32(dst, m->src_x);
    put_i32(dst + 4, m->src_y);
    put_i32(dst + 8, m->dst_x);
    put_i32(dst + 12, m->dst_y);
    put_i32(dst + 16, m->width);
    put_i32(dst + 20, m->height);
}

void msg_unpack_move_rect(const uint8_t *p, MoveRect *m) {
    m->src_x = get_i32(p);
    m->src_y = get_i32(p + 4);
    m->dst_x = get_i32(p + 8);
    m->dst_y = get_i32(p + 12);
    m->width = get_i32(p + 16);
    m->height = get_i32(p + 20);
}

// More than a frame's worth in one message is ignored, so a hostile host cannot make one message
// copy the whole picture millions of times.
uint32_t msg_move_rect_count(uint32_t len) {
    uint32_t count = len / MOVE_RECT_BYTES;
    return count > MAX_MOVE_RECTS ? MAX_MOVE_RECTS : count;
}

int msg_move_rect_valid(const MoveRect *m, int32_t width, int32_t height) {
    if (m->width <= 0 || m->height <= 0) return 0;
    if (m->src_x < 0 || m->src_y < 0 || m->dst_x < 0 || m->dst_y < 0) return 0;
    // Compared as 64-bit so a huge width cannot wrap around.
    if ((int64_t)m->src_x + m->width > width || (int64_t)m->dst_x + m->width > width) return 0;
    if ((int64_t)m->src_y + m->height > height || (int64_t)m->dst_y + m->height > height) return 0;
    return 1;
}

size_t msg_pack_tile(uint8_t *dst, const TileHeader *m, uint32_t data_bytes) {
    uint8_t *p = begin(dst, MSG_TILE, TILE_HEADER_BYTES + data_bytes);
    put_u16(p, m->tx);
    put_u16(p + 2, m->ty);
    p[4] = m->form;
    put_u64(p + 5, m->hash);
    return HEADER_BYTES + TILE_HEADER_BYTES;
}

int msg_unpack_tile(const uint8_t *p, size_t len, TileHeader *m) {
    if (len < TILE_HEADER_BYTES) return 0;
    m->tx = get_u16(p);
    m->ty = get_u16(p + 2);
    m->form = p[4];
    m->hash = get_u64(p + 5);
    return 1;
}

size_t msg_pack_text_layer(uint8_t *dst, const TextLayerHeader *m, uint32_t data_bytes) {
    uint8_t *p = begin(dst, MSG_TEXT_LAYER, TEXT_LAYER_HEADER_BYTES + data_bytes);
    put_i32(p, m->left);
    put_i32(p + 4, m->top);
    put_i32(p + 8, m->width);
    put_i32(p + 12, m->height);
    put_u16(p + 16, m->cols);
    put_u16(p + 18, m->rows);
    put_u16(p + 20, m->records);
    put_u32(p + 22, m->body_bytes);
    return HEADER_BYTES + TEXT_LAYER_HEADER_BYTES;
}

int msg_unpack_text_layer(const uint8_t *p, size_t len, TextLayerHeader *m) {
    if (len < TEXT_LAYER_HEADER_BYTES) return 0;
    m->left = get_i32(p);
    m->top = get_i32(p + 4);
    m->width = get_i32(p + 8);
    m->height = get_i32(p + 12);
    m->cols = get_u16(p + 16);
    m->rows = get_u16(p + 18);
    m->records = get_u16(p + 20);
    m->body_bytes = get_u32(p + 22);
    return 1;
}

size_t msg_pack_cursor(uint8_t *dst, const CursorMsg *m) {
    uint8_t *p = begin(dst, MSG_CURSOR, CURSOR_BYTES);
    put_i32(p, m->x);
    put_i32(p + 4, m->y);
    p[8] = m->visible;
    return HEADER_BYTES + CURSOR_BYTES;
}

int msg_unpack_cursor(const uint8_t *p, size_t len, CursorMsg *m) {
    if (len < CURSOR_BYTES) return 0;
    m->x = get_i32(p);
    m->y = get_i32(p + 4);
    m->visible = p[8];
    return 1;
}

size_t msg_pack_window_list(uint8_t *dst, uint16_t count, uint32_t records_bytes) {
    put_u16(begin(dst, MSG_WINDOW_LIST, 2 + records_bytes), count);
    return HEADER_BYTES + 2;
}

void msg_pack_window_entry(uint8_t *dst, const WindowEntry *m) {
    put_u32(dst, m->handle);
    put_i32(dst + 4, m->left);
    put_i32(dst + 8, m->top);
    put_i32(dst + 12, m->width);
    put_i32(dst + 16, m->height);
    dst[20] = m->flags;
    dst[21] = m->title_len;
}

int msg_unpack_window_entry(const uint8_t *p, size_t len, WindowEntry *m) {
    if (len < WINDOW_RECORD_BYTES || len - WINDOW_RECORD_BYTES < p[21]) return 0;
    m->handle = get_u32(p);
    m->left = get_i32(p + 4);
    m->top = get_i32(p + 8);
    m->width = get_i32(p + 12);
    m->height = get_i32(p + 16);
    m->flags = p[20];
    m->title_len = p[21];
    return 1;
}

static size_t pack_frame(uint8_t *dst, uint8_t type, const FrameEnd *m) {
    uint8_t *p = begin(dst, type, FRAME_END_BYTES);
    put_u32(p, m->frame);
    put_u32(p + 4, m->tick);
    return HEADER_BYTES + FRAME_END_BYTES;
}

size_t msg_pack_frame_end(uint8_t *dst, const FrameEnd *m) { return pack_frame(dst, MSG_FRAME_END, m); }
size_t msg_pack_frame_ack(uint8_t *dst, const FrameEnd *m) { return pack_frame(dst, MSG_FRAME_ACK, m); }

int msg_unpack_frame_end(const uint8_t *p, size_t len, FrameEnd *m) {
    uint8_t bytes[FRAME_END_BYTES] = {0};
    if (len > 0) memcpy(bytes, p, len < FRAME_END_BYTES ? len : (size_t)FRAME_END_BYTES);
    m->frame = get_u32(bytes);
    m->tick = get_u32(bytes + 4);
    return len >= FRAME_END_BYTES;
}

int msg_unpack_frame_ack(const uint8_t *p, size_t len, FrameEnd *m) {
    if (len < FRAME_ACK_BYTES) return 0;
    return msg_unpack_frame_end(p, len, m);
}

static size_t pack_ref(uint8_t *dst, uint8_t type, const CacheRef *m) {
    uint8_t *p = begin(dst, type, CACHE_REF_BYTES);
    put_u16(p, m->tx);
    put_u16(p + 2, m->ty);
    put_u64(p + 4, m->hash);
    return HEADER_BYTES + CACHE_REF_BYTES;
}

size_t msg_pack_cache_ref(uint8_t *dst, const CacheRef *m) { return pack_ref(dst, MSG_CACHE_REF, m); }
size_t msg_pack_cache_miss(uint8_t *dst, const CacheRef *m) { return pack_ref(dst, MSG_CACHE_MISS, m); }

int msg_unpack_cache_ref(const uint8_t *p, size_t len, CacheRef *m) {
    if (len < CACHE_REF_BYTES) return 0;
    m->tx = get_u16(p);
    m->ty = get_u16(p + 2);
    m->hash = get_u64(p + 4);
    return 1;
}

size_t msg_pack_mouse(uint8_t *dst, const MouseMsg *m) {
    uint8_t *p = begin(dst, MSG_MOUSE, MOUSE_BYTES);
    put_i32(p, m->x);
    put_i32(p + 4, m->y);
    p[8] = m->action;
    p[9] = m->button;
    put_i16(p + 10, m->wheel);
    return HEADER_BYTES + MOUSE_BYTES;
}

int msg_unpack_mouse(const uint8_t *p, size_t len, MouseMsg *m) {
    if (len < MOUSE_BYTES) return 0;
    m->x = get_i32(p);
    m->y = get_i32(p + 4);
    m->action = p[8];
    m->button = p[9];
    m->wheel = get_i16(p + 10);
    return 1;
}

size_t msg_pack_key(uint8_t *dst, const KeyMsg *m) {
    uint8_t *p = begin(dst, MSG_KEY, KEY_BYTES);
    put_u16(p, m->vk);
    p[2] = m->down;
    p[3] = 0;
    return HEADER_BYTES + KEY_BYTES;
}

int msg_unpack_key(const uint8_t *p, size_t len, KeyMsg *m) {
    if (len < KEY_BYTES) return 0;
    m->vk = get_u16(p);
    m->down = p[2];
    return 1;
}

size_t msg_pack_char(uint8_t *dst, uint16_t unit) {
    put_u16(begin(dst, MSG_CHAR, CHAR_BYTES), unit);
    return HEADER_BYTES + CHAR_BYTES;
}

int msg_unpack_char(const uint8_t *p, size_t len, uint16_t *unit) {
    if (len < CHAR_BYTES) return 0;
    *unit = get_u16(p);
    return 1;
}
