// receive: the viewer's reconstruction of the host picture. One small handler per host message
// type applies it to the framebuffer, the text layer and the tile cache; the receive thread (in
// viewer.h) reads messages and hands them to viewer_dispatch, which wraps viewer_apply in the lock.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "protocol/messages.h"

// Act on one message with the viewer lock held. Leaves the reply to send (if any) in
// g_viewer.reply / reply_len. Returns 1 when the message was a frame end.
int viewer_apply(uint8_t type, const uint8_t *payload, uint32_t len);
// A cache reference at a valid position, viewer lock held: the cached tile shown (0), or the miss
// reply written to `reply` (HEADER_BYTES + CACHE_MISS_BYTES; returns its length).
uint32_t viewer_cache_ref(const CacheRef *ref, uint8_t *reply);
// cache_check on the session's cache, viewer lock held: the tiles it drops count as rejects.
void viewer_cache_check(const uint64_t *hashes, size_t n);
// One tile's 64 rows between the framebuffer (at fb, rows g_viewer.stride apart) and TILE_BYTES end
// to end (rows of 256 bytes).
void viewer_tile_put(uint8_t *fb, const uint8_t *tile);
void viewer_tile_get(const uint8_t *fb, uint8_t *tile);
// Copies one rectangle of the framebuffer as MSG_MOVE_RECTS does; one outside the picture is skipped.
void viewer_apply_move(const MoveRect *m);
