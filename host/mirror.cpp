// mirror: open-addressing hash set of the tile hashes the viewer's cache holds, allocated once
// and cleared at each session start; plus the viewer's advert and miss messages applied to it.
#include "host/mirror.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/messages.h"

uint64_t *mirror_slots = nullptr;
uint32_t mirror_count = 0;

#define MIRROR_MASK (MIRROR_SLOTS - 1)

int mirror_clear(void) {
    if (!mirror_slots) mirror_slots = (uint64_t *)malloc(sizeof(uint64_t) * MIRROR_SLOTS);
    mirror_count = 0;
    if (!mirror_slots) return 0;
    memset(mirror_slots, 0, sizeof(uint64_t) * MIRROR_SLOTS);
    return 1;
}

int mirror_ready(void) { return mirror_slots != nullptr; }

// Slot holding h, or -1. The whole window is looked at: a removal may have left a hole in it.
static long mirror_find(uint64_t h) {
    if (!mirror_slots || h == 0) return -1;   // 0 marks empty slots; it is never stored
    uint32_t start = (uint32_t)h & MIRROR_MASK;
    for (uint32_t k = 0; k < MIRROR_PROBE_MAX; k++) {
        uint32_t i = (start + k) & MIRROR_MASK;
        if (mirror_slots[i] == h) return (long)i;
    }
    return -1;
}

int mirror_lookup(uint64_t h) { return mirror_find(h) >= 0; }

void mirror_insert(uint64_t h) {
    if (!mirror_slots || h == 0 || mirror_count > MIRROR_LIMIT) return;
    uint32_t start = (uint32_t)h & MIRROR_MASK;
    long free_slot = -1;
    for (uint32_t k = 0; k < MIRROR_PROBE_MAX; k++) {
        uint32_t i = (start + k) & MIRROR_MASK;
        uint64_t v = mirror_slots[i];
        if (v == h) return;
        if (v == 0 && free_slot < 0) free_slot = (long)i;
    }
    if (free_slot < 0) return;   // the window is full: dropped, the tile goes whole
    mirror_slots[free_slot] = h;
    mirror_count++;
}

void mirror_remove(uint64_t h) {
    long found = mirror_find(h);
    if (found < 0) return;
    mirror_slots[found] = 0;
    mirror_count--;
}

uint32_t mirror_apply_advert(const uint8_t *payload, size_t len) {
    uint32_t n = msg_advert_count(len);
    if (!payload) return 0;
    for (uint32_t k = 0; k < n; k++) mirror_insert(msg_unpack_advert_hash(payload, k));
    return n;
}

int mirror_apply_miss(const uint8_t *payload, size_t len, uint16_t *tx, uint16_t *ty) {
    CacheRef miss;
    if (!payload || !msg_unpack_cache_ref(payload, len, &miss)) return 0;
    if (tx) *tx = miss.tx;
    if (ty) *ty = miss.ty;
    mirror_remove(miss.hash);
    return 1;
}
