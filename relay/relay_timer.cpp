// relay_timer: the three time-outs (join, viewer wait, pair) as deadline-ordered lists of connections.
// Every list has a single fixed time-out, so a new entry always goes to the tail and the head is
// always the next to fire: set, clear and expire are O(1) per connection.
#include <time.h>
#include "relay/relay_internal.h"

uint64_t relay_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static relay_timer_list *timer_list(int which) {
    if (which == RELAY_TIMER_JOIN) return &g_relay.joins;
    return which == RELAY_TIMER_WAIT ? &g_relay.waits : &g_relay.pairs;
}

void relay_timer_set(relay_conn *c, int which, uint64_t deadline) {
    relay_timer_clear(c);
    relay_timer_list *l = timer_list(which);
    c->timer = (uint8_t)which;
    c->deadline = deadline;
    c->timer_next = nullptr;
    c->timer_prev = l->tail;
    if (l->tail) l->tail->timer_next = c;
    else l->head = c;
    l->tail = c;
}

void relay_timer_clear(relay_conn *c) {
    if (!c->timer) return;
    relay_timer_list *l = timer_list(c->timer);
    if (c->timer_prev) c->timer_prev->timer_next = c->timer_next;
    else l->head = c->timer_next;
    if (c->timer_next) c->timer_next->timer_prev = c->timer_prev;
    else l->tail = c->timer_prev;
    c->timer_prev = c->timer_next = nullptr;
    c->timer = 0;
}

int relay_timer_wait_ms(uint64_t now) {
    uint64_t next = 0;
    const relay_timer_list *lists[] = {&g_relay.joins, &g_relay.waits, &g_relay.pairs};
    for (const relay_timer_list *l : lists)
        if (l->head && (!next || l->head->deadline < next)) next = l->head->deadline;
    if (!next) return -1;
    if (next <= now) return 0;
    uint64_t d = next - now;
    return d > 60000 ? 60000 : (int)d;
}

void relay_timer_expire(uint64_t now) {
    char room[RELAY_FIELD_TEXT_MAX];
    while (g_relay.joins.head && g_relay.joins.head->deadline <= now) {
        relay_conn *c = g_relay.joins.head;
        relay_refuse(c, "join not complete within %u ms (%u of %d bytes)", g_relay.cfg.join_timeout_ms,
                     c->join_len, RELAY_JOIN_BYTES);
    }
    while (g_relay.waits.head && g_relay.waits.head->deadline <= now) {
        relay_conn *c = g_relay.waits.head;
        relay_room_text(c, room, sizeof room);
        relay_refuse(c, "viewer for room '%s': no host within %u ms", room, g_relay.cfg.viewer_wait_ms);
    }
    // A silent viewer would hold its host (and the room) for ever; so would a peer that never
    // closes after the other side has.
    while (g_relay.pairs.head && g_relay.pairs.head->deadline <= now) {
        relay_pair *p = g_relay.pairs.head->pair;
        int half = p->up.dst_shut || p->down.dst_shut;
        relay_timer_clear(g_relay.pairs.head);
        relay_pair_end(p, half ? "one side closed, the other stayed" : "viewer sent nothing");
    }
}
