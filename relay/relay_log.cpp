// relay_log: one timestamped line per event on the configured stream, and the texts those lines use.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include "relay/relay_internal.h"

void relay_log(const char *fmt, ...) {
    FILE *f = g_relay.cfg.log;
    if (!f) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t secs = tv.tv_sec;
    gmtime_r(&secs, &tm);
    char line[1024];
    int k = (int)strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%S", &tm);
    k += snprintf(line + k, sizeof line - (size_t)k, ".%03dZ ", (int)(tv.tv_usec / 1000));
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + k, sizeof line - (size_t)k - 1, fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    k += n;
    if (k > (int)sizeof line - 2) k = (int)sizeof line - 2;
    line[k++] = '\n';
    fwrite(line, 1, (size_t)k, f);
    fflush(f);
}

void relay_conn_text(const relay_conn *c, char *out, size_t cap) {
    snprintf(out, cap, "%u.%u.%u.%u:%u", c->ip >> 24, (c->ip >> 16) & 255, (c->ip >> 8) & 255,
             c->ip & 255, c->port);
}

void relay_room_text(const relay_conn *c, char *out, size_t cap) {
    relay_format_field(c->join + RELAY_ROOM_OFFSET, RELAY_ROOM_BYTES, out, cap);
}

void relay_name_text(const relay_conn *c, char *out, size_t cap) {
    relay_format_field(c->join + RELAY_NAME_OFFSET, RELAY_NAME_BYTES, out, cap);
}
