// server_cmdline: parsing of the vo_server arguments and the texts built from them.
// Plain string work only, so the whole table of options is tested natively.
#include "server/cmdline.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

// Decimal number as atoi reads it (leading blanks, optional sign, digits, stop at the first other
// character; no digits gives 0), but saturating instead of overflowing on very long digit runs.
static int cmdline_number(const char *s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
    int neg = 0;
    if (*s == '+' || *s == '-') neg = (*s++ == '-');
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > (long long)INT_MAX + 1) v = (long long)INT_MAX + 1;
    }
    if (neg) return (int)-v;
    return v > INT_MAX ? INT_MAX : (int)v;
}

// Copies at most max characters of src into dst (which holds max + 1) and terminates it.
static void copy_cut(char *dst, const char *src, size_t max) {
    size_t n = strlen(src);
    if (n > max) n = max;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void server_options_default(server_options *o) {
    memset(o, 0, sizeof *o);
    o->listen_port = SERVER_DEFAULT_PORT;
    o->text_layer_enabled = 1;
    o->window_tracking_enabled = 1;
    o->clipboard_enabled = 1;
    copy_cut(o->relay_host, VO_DEFAULT_RELAY_HOST, SERVER_RELAY_HOST_MAX);
    o->relay_port = SERVER_DEFAULT_RELAY_PORT;
    copy_cut(o->room_name, SERVER_DEFAULT_ROOM, SERVER_ROOM_MAX);
    o->rotate_hours = SERVER_DEFAULT_ROTATE_HOURS;
}

// "-relay host[:port]": the host is cut to 127 characters first, then split at its last ':'.
static void parse_relay_word(server_options *o, const char *word) {
    copy_cut(o->relay_host, word, SERVER_RELAY_HOST_MAX);
    char *colon = strrchr(o->relay_host, ':');
    if (!colon) return;
    *colon = 0;
    o->relay_port = cmdline_number(colon + 1);
}

// Options without a value; returns 1 when a matched flag was set.
static int parse_flag(server_options *o, const char *a) {
    if (!strcmp(a, "-gdi")) o->force_gdi = 1;
    else if (!strcmp(a, "-notext")) o->text_layer_enabled = 0;
    else if (!strcmp(a, "-nowin")) o->window_tracking_enabled = 0;
    else if (!strcmp(a, "-install")) o->install = 1;
    else if (!strcmp(a, "-uninstall")) o->uninstall = 1;
    else if (!strcmp(a, "-svc")) o->service = 1;
    else if (!strcmp(a, "-v2only")) o->v2_only = 1;
    else if (!strcmp(a, "-noclip")) o->clipboard_enabled = 0;
    else return 0;
    return 1;
}

// Options that take the next argument; returns how many extra arguments were consumed (0 or 1),
// or -1 when a is none of them or has no value after it.
static int parse_valued(server_options *o, const char *a, const char *next) {
    if (!strcmp(a, "-relay")) {
        o->use_relay = 1;
        if (!next || next[0] == '-') return 0;
        parse_relay_word(o, next);
        return 1;
    }
    if (!next) return -1;
    if (!strcmp(a, "-room")) {
        copy_cut(o->room_name, next, SERVER_ROOM_MAX);
        o->room_given = 1;
    } else if (!strcmp(a, "-pass")) {
        copy_cut(o->password, next, SERVER_PASSWORD_MAX);
        o->password_fixed = 1;
    } else if (!strcmp(a, "-rotate")) {
        o->rotate_hours = cmdline_number(next);
    } else {
        return -1;
    }
    return 1;
}

int server_parse_args(server_options *o, int argc, const char *const *argv) {
    server_options_default(o);
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (parse_flag(o, a)) continue;
        int used = parse_valued(o, a, i + 1 < argc ? argv[i + 1] : nullptr);
        if (used >= 0) {
            i += used;
            continue;
        }
        if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            o->help = 1;
            return 1;
        }
        o->listen_port = cmdline_number(a);
    }
    return 0;
}

server_mode server_choose_mode(const server_options *o) {
    if (o->help) return SERVER_MODE_HELP;
    if (o->install) return SERVER_MODE_INSTALL;
    if (o->uninstall) return SERVER_MODE_UNINSTALL;
    if (o->service) return SERVER_MODE_SERVICE;
    return SERVER_MODE_FOREGROUND;
}

int server_password_refused(const server_options *o) { return o->password_fixed && !o->password[0]; }

// snprintf result to this module's convention: the length, or -1 when it did not fit.
static int fitted(int n, size_t cap) {
    return (n < 0 || (size_t)n >= cap) ? -1 : n;
}

int server_usage_text(char *out, size_t cap) {
    int n = snprintf(out, cap,
        "vo_server [port] [-gdi] [-notext] [-nowin]\n"
        "          [-relay [host[:port]]] [-room NAME]   connect out via relay (default %s:%d, room %s)\n"
        "          -pass P   fixed password (default: random temp password, see %%PROGRAMDATA%%\\vo\\host.txt)\n"
        "          -rotate H rotate the temp password every H hours (default 6)\n"
        "          -install | -uninstall               Windows service (keeps -relay/-room/-pass)\n",
        VO_DEFAULT_RELAY_HOST, SERVER_DEFAULT_RELAY_PORT, SERVER_DEFAULT_ROOM);
    return fitted(n, cap);
}

int server_banner_text(char *out, size_t cap, const server_options *o, const char *id, const char *password) {
    int n;
    if (o->use_relay)
        n = snprintf(out, cap, "vo_server: ID %s  password %s  (relay %s:%d, room %s)\n", id, password,
                     o->relay_host, o->relay_port, o->room_name);
    else
        n = snprintf(out, cap, "vo_server: ID %s  password %s  listening on port %d\n", id, password,
                     o->listen_port);
    if (fitted(n, cap) < 0) return -1;
    int m = snprintf(out + n, cap - (size_t)n,
        "           details in %%PROGRAMDATA%%\\vo\\host.txt, log in vo_server.log. Ctrl-C to stop.\n");
    return fitted(m, cap - (size_t)n) < 0 ? -1 : n + m;
}

// Appends text to out at *pos; 0 when it does not fit (out stays terminated).
static int put_text(char *out, size_t cap, size_t *pos, const char *text, size_t n) {
    if (*pos + n >= cap) {
        if (*pos < cap) out[*pos] = 0;
        return 0;
    }
    memcpy(out + *pos, text, n);
    *pos += n;
    out[*pos] = 0;
    return 1;
}

static int put_char(char *out, size_t cap, size_t *pos, char c, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (!put_text(out, cap, pos, &c, 1)) return 0;
    return 1;
}

// Appends one argument so that the Windows runtime reads it back as exactly this word. Ordinary
// words go in unchanged; an empty word or one with blanks or quotes is quoted, with backslashes
// before a quote doubled, so a password like "my pass" reaches the service whole.
static int put_word(char *out, size_t cap, size_t *pos, const char *w) {
    if (*w && !strpbrk(w, " \t\n\v\""))
        return put_text(out, cap, pos, w, strlen(w));
    if (!put_char(out, cap, pos, '"', 1)) return 0;
    for (const char *p = w;; p++) {
        size_t slashes = 0;
        while (*p == '\\') {
            slashes++;
            p++;
        }
        if (!*p) return put_char(out, cap, pos, '\\', slashes * 2) && put_char(out, cap, pos, '"', 1);
        if (*p == '"' && !put_char(out, cap, pos, '\\', slashes * 2 + 1)) return 0;
        if (*p != '"' && !put_char(out, cap, pos, '\\', slashes)) return 0;
        if (!put_char(out, cap, pos, *p, 1)) return 0;
    }
}

int server_service_cmdline(char *out, size_t cap, const char *exe_path, const server_options *o) {
    if (cap == 0) return -1;
    out[0] = 0;
    if (server_password_refused(o)) return -1;
    char head[64];
    size_t pos = 0;
    int ok = put_char(out, cap, &pos, '"', 1) && put_text(out, cap, &pos, exe_path, strlen(exe_path)) &&
             put_char(out, cap, &pos, '"', 1);
    snprintf(head, sizeof head, " -svc %d", o->listen_port);
    ok = ok && put_text(out, cap, &pos, head, strlen(head));
    if (ok && o->use_relay) {
        char relay[SERVER_RELAY_HOST_MAX + 16];
        snprintf(relay, sizeof relay, "%s:%d", o->relay_host, o->relay_port);
        ok = put_text(out, cap, &pos, " -relay ", 8) && put_word(out, cap, &pos, relay) &&
             put_text(out, cap, &pos, " -room ", 7) && put_word(out, cap, &pos, o->room_name);
    }
    if (ok && o->password_fixed)
        ok = put_text(out, cap, &pos, " -pass ", 7) && put_word(out, cap, &pos, o->password);
    if (ok && o->v2_only) ok = put_text(out, cap, &pos, " -v2only", 8);
    if (ok && !o->clipboard_enabled) ok = put_text(out, cap, &pos, " -noclip", 8);
    return ok ? (int)pos : -1;
}
