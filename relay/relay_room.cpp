// relay_room: the room table and what happens when a joined connection names its room.
// The table holds waiting hosts, waiting viewers and paired viewers (so a second viewer can be
// refused), hashed on all 18 room bytes with a per-run random seed.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include "relay/relay_internal.h"

static uint32_t room_bucket(const uint8_t *room) {
    uint64_t h = 1469598103934665603ull ^ g_relay.room_seed;
    for (int i = 0; i < RELAY_ROOM_BYTES; i++) {
        h ^= room[i];
        h *= 1099511628211ull;
    }
    h ^= h >> 29;
    return (uint32_t)h & g_relay.room_mask;
}

static const uint8_t *room_of(const relay_conn *c) { return c->join + RELAY_ROOM_OFFSET; }

int relay_rooms_init(int buckets) {
    uint32_t n = 1024;
    while ((int)n < buckets && n < (1u << 24)) n <<= 1;
    g_relay.rooms = (relay_conn **)calloc(n, sizeof(relay_conn *));
    if (!g_relay.rooms) return 0;
    g_relay.room_mask = n - 1;
    if (getrandom(&g_relay.room_seed, sizeof g_relay.room_seed, 0) != (ssize_t)sizeof g_relay.room_seed)
        g_relay.room_seed = relay_now_ms() * 0x9e3779b97f4a7c15ull;
    return 1;
}

void relay_rooms_free(void) {
    free(g_relay.rooms);
    g_relay.rooms = nullptr;
}

static void room_add(relay_conn *c) {
    uint32_t b = room_bucket(room_of(c));
    c->room_next = g_relay.rooms[b];
    g_relay.rooms[b] = c;
    c->in_room = 1;
}

void relay_room_remove(relay_conn *c) {
    if (!c->in_room) return;
    relay_conn **p = &g_relay.rooms[room_bucket(room_of(c))];
    while (*p && *p != c) p = &(*p)->room_next;
    if (*p) *p = c->room_next;
    c->room_next = nullptr;
    c->in_room = 0;
}

// The record in c's room with the given role; waiting ones only unless paired_too.
static relay_conn *room_find(const relay_conn *c, uint8_t role, int paired_too) {
    for (relay_conn *o = g_relay.rooms[room_bucket(room_of(c))]; o; o = o->room_next) {
        if (o == c || o->role != role || memcmp(room_of(o), room_of(c), RELAY_ROOM_BYTES) != 0) continue;
        if (o->state == RELAY_WAITING || (paired_too && o->state == RELAY_PAIRED)) return o;
    }
    return nullptr;
}

// 0 when a waiting host's connection has already ended (its FIN or reset is there but not yet
// taken from the event queue), else 1. Its own early bytes, if any, stay where they are.
static int still_there(const relay_conn *c) {
    char b;
    ssize_t n = recv(c->fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

// A room's waiting host gives way only to a host from the same address (it reconnected after a
// failed handshake, so the newest one is the live one); one from elsewhere cannot take the room.
static int host_may_enter(relay_conn *c, relay_conn *old, const char *room, const char *addr) {
    char old_addr[32];
    relay_conn_text(old, old_addr, sizeof old_addr);
    if (!still_there(old)) {
        relay_log("host left while waiting: room '%s', from %s", room, old_addr);
        relay_conn_close(old);
        return 1;
    }
    if (old->ip != c->ip) {
        relay_refuse(c, "host for room '%s' from another address while its host %s waits", room, old_addr);
        return 0;
    }
    relay_log("host replaced: room '%s', %s gives way to %s", room, old_addr, addr);
    relay_conn_close(old);
    return 1;
}

static void host_enter(relay_conn *c, const char *room, const char *name, const char *addr) {
    relay_conn *old = room_find(c, RELAY_ROLE_HOST, 0);
    if (old && !host_may_enter(c, old, room, addr)) return;
    relay_conn *v = room_find(c, RELAY_ROLE_VIEWER, 0);
    if (v) {
        relay_pair_start(c, v);
        return;
    }
    relay_conn_state(c, RELAY_WAITING);
    room_add(c);
    relay_log("host waiting: room '%s', name '%s', from %s", room, name, addr);
}

static void viewer_enter(relay_conn *c, const char *room, const char *name, const char *addr) {
    relay_conn *v = room_find(c, RELAY_ROLE_VIEWER, 1);
    if (v) {
        relay_refuse(c, "second viewer for room '%s' (it already has one %s)", room,
                     v->state == RELAY_PAIRED ? "paired" : "waiting");
        return;
    }
    relay_conn_state(c, RELAY_WAITING);
    room_add(c);
    relay_conn *h = room_find(c, RELAY_ROLE_HOST, 0);
    if (h) {
        relay_pair_start(h, c);
        return;
    }
    relay_timer_set(c, RELAY_TIMER_WAIT, relay_now_ms() + g_relay.cfg.viewer_wait_ms);
    relay_log("viewer waiting: room '%s', name '%s', from %s", room, name, addr);
}

void relay_room_enter(relay_conn *c) {
    char room[RELAY_FIELD_TEXT_MAX], name[RELAY_FIELD_TEXT_MAX], addr[32];
    relay_room_text(c, room, sizeof room);
    relay_name_text(c, name, sizeof name);
    relay_conn_text(c, addr, sizeof addr);
    c->role = c->join[5];
    c->since = relay_now_ms();
    if (c->role == RELAY_ROLE_HOST) host_enter(c, room, name, addr);
    else viewer_enter(c, room, name, addr);
}
