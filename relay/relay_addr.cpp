// relay_addr: connections per source address, so that one address cannot take the whole relay.
// An address at its limit has further connections closed at once, with at most one log line a
// second for it. Entries exist while the address holds connections, and for up to a second or
// two after its last logged refusal (so the once-a-second rule holds across reconnects).
#include <stdlib.h>
#include <sys/random.h>
#include "relay/relay_internal.h"

#define ADDR_LOG_EVERY_MS 1000

static uint64_t g_addr_seed;  // hash seed, random per run

static uint32_t addr_bucket(uint32_t ip) {
    uint64_t h = (ip ^ g_addr_seed) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return (uint32_t)(h >> 32) & g_relay.addr_mask;
}

int relay_addrs_init(int buckets) {
    uint32_t n = 1024;
    while ((int)n < buckets / 4 && n < (1u << 22)) n <<= 1;
    g_relay.addrs = (relay_addr **)calloc(n, sizeof(relay_addr *));
    if (!g_relay.addrs) return 0;
    g_relay.addr_mask = n - 1;
    g_relay.linger_head = g_relay.linger_tail = nullptr;
    if (getrandom(&g_addr_seed, sizeof g_addr_seed, 0) != (ssize_t)sizeof g_addr_seed)
        g_addr_seed = relay_now_ms() * 0xd6e8feb86659fd93ull;
    return 1;
}

void relay_addrs_free(void) {
    for (uint32_t b = 0; g_relay.addrs && b <= g_relay.addr_mask; b++) {
        while (g_relay.addrs[b]) {
            relay_addr *a = g_relay.addrs[b];
            g_relay.addrs[b] = a->next;
            free(a);
        }
    }
    free(g_relay.addrs);
    g_relay.addrs = nullptr;
    g_relay.linger_head = g_relay.linger_tail = nullptr;
}

// The entry for ip; made when `make` is set (NULL when out of memory or not there).
static relay_addr *addr_find(uint32_t ip, int make) {
    if (!g_relay.addrs) return nullptr;   // no table (a connection handled outside the server loop)
    relay_addr **head = &g_relay.addrs[addr_bucket(ip)];
    for (relay_addr *a = *head; a; a = a->next)
        if (a->ip == ip) return a;
    if (!make) return nullptr;
    relay_addr *a = (relay_addr *)calloc(1, sizeof *a);
    if (!a) return nullptr;
    a->ip = ip;
    a->next = *head;
    *head = a;
    return a;
}

static void addr_drop(relay_addr *a) {
    relay_addr **p = &g_relay.addrs[addr_bucket(a->ip)];
    while (*p && *p != a) p = &(*p)->next;
    if (*p) *p = a->next;
    free(a);
}

static void linger(relay_addr *a) {
    a->lingering = 1;
    a->linger_next = nullptr;
    if (g_relay.linger_tail) g_relay.linger_tail->linger_next = a;
    else g_relay.linger_head = a;
    g_relay.linger_tail = a;
}

// Logs a refusal for an address at its limit, at most once a second per address.
static void log_refusal(relay_addr *a, uint32_t ip, uint16_t port) {
    uint64_t now = relay_now_ms();
    if (a->logged_ms && now - a->logged_ms < ADDR_LOG_EVERY_MS) {
        a->unlogged++;
        return;
    }
    relay_conn tmp = {};
    tmp.ip = ip;
    tmp.port = port;
    char addr[32];
    relay_conn_text(&tmp, addr, sizeof addr);
    relay_log("refused %s: its address holds %u connections, the per-address limit (%u more refused from it "
              "since the last such line)", addr, a->conns, a->unlogged);
    a->logged_ms = now;
    a->unlogged = 0;
}

int relay_addr_admit(uint32_t ip, uint16_t port) {
    relay_addr *a = addr_find(ip, 1);
    if (!a) return 0;  // out of memory: refusing is the safe side
    int limit = g_relay.cfg.max_per_address;
    if (limit > 0 && a->conns >= (uint32_t)limit) {
        log_refusal(a, ip, port);
        return 0;
    }
    a->conns++;
    return 1;
}

void relay_addr_release(uint32_t ip) {
    relay_addr *a = addr_find(ip, 0);
    if (!a || !a->conns || --a->conns) return;
    if (a->lingering) return;
    if (a->logged_ms && relay_now_ms() - a->logged_ms < ADDR_LOG_EVERY_MS) linger(a);
    else addr_drop(a);
}

void relay_addr_expire(uint64_t now) {
    while (g_relay.linger_head && now - g_relay.linger_head->logged_ms >= ADDR_LOG_EVERY_MS) {
        relay_addr *a = g_relay.linger_head;
        g_relay.linger_head = a->linger_next;
        if (!g_relay.linger_head) g_relay.linger_tail = nullptr;
        a->lingering = 0;
        if (!a->conns) addr_drop(a);
    }
}
