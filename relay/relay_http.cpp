// relay_http: the static files of the viewer page on the WebSocket port, from the copy of web/
// built into the program or from --ws-root. GET and HEAD only; no folder listings; nothing outside
// the root (".." and escaped forms refused, symbolic links that lead out refused).
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include "relay/relay_ws.h"

#define HTTP_MAX_FILE (64u << 20)  // larger files under --ws-root are not served

static int hex_value(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

int relay_http_clean_path(const char *target, char *out, size_t cap) {
    if (target[0] != '/' || cap < 16) return 0;
    size_t k = 0;
    for (const char *s = target + 1; *s && *s != '?' && *s != '#'; s++) {
        char ch = *s;
        if (ch == '%') {
            int hi = hex_value(s[1]), lo = hi < 0 ? -1 : hex_value(s[2]);
            if (lo < 0) return 0;
            ch = (char)(hi * 16 + lo);
            s += 2;
        }
        if (ch == 0 || ch == '\\' || (unsigned char)ch < 0x20 || k + 1 >= cap) return 0;
        out[k++] = ch;
    }
    out[k] = 0;
    if (k == 0) {
        strcpy(out, "index.html");
        return 1;
    }
    if (out[k - 1] == '/') return 0;  // a folder: no listings
    // Every segment must be a plain name: no empty, "." or ".." segment.
    for (char *seg = out; seg;) {
        char *slash = strchr(seg, '/');
        size_t n = slash ? (size_t)(slash - seg) : strlen(seg);
        if (n == 0 || (n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.')) return 0;
        seg = slash ? slash + 1 : nullptr;
    }
    return 1;
}

static const char *content_type(const char *path) {
    static const char *const types[][2] = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
        {".json", "application/json"}, {".wasm", "application/wasm"}, {".png", "image/png"},
        {".svg", "image/svg+xml"}, {".ico", "image/x-icon"}, {".txt", "text/plain; charset=utf-8"}};
    const char *dot = strrchr(path, '.');
    for (const auto &t : types)
        if (dot && !strcmp(dot, t[0])) return t[1];
    return "application/octet-stream";
}

static void answer_status(relay_ws *ws, const char *status) {
    char b[256];
    int n = snprintf(b, sizeof b, "HTTP/1.1 %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
                                  "Connection: close\r\n\r\n%s\n", status, strlen(status) + 1, status);
    relay_ws_out(ws, b, (size_t)n);
}

// The head goes to out; the body is sent from where it lies (built-in copy or mapping), never copied.
static void answer_body(relay_ws *ws, const char *path, const uint8_t *data, size_t n, int head_only) {
    char b[512];
    int k = snprintf(b, sizeof b,
                     "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-cache\r\n"
                     "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: default-src 'self'; "
                     "script-src 'self' 'wasm-unsafe-eval'; connect-src 'self' ws: wss:\r\n"
                     "Connection: close\r\n\r\n", content_type(path), n);
    if (!relay_ws_out(ws, b, (size_t)k)) return;
    if (!head_only) ws->body = data, ws->body_len = n, ws->body_off = 0;
}

// Maps root/path read-only, refusing anything whose real path is not inside the root; NULL when it
// cannot be served. An empty file maps nothing and gives a non-NULL empty body.
static const uint8_t *map_under_root(const char *root, const char *path, size_t *size) {
    static const uint8_t empty = 0;
    char real_root[PATH_MAX], full[PATH_MAX * 2], real[PATH_MAX];
    if (!realpath(root, real_root)) return nullptr;
    snprintf(full, sizeof full, "%s/%s", real_root, path);
    if (!realpath(full, real)) return nullptr;
    size_t rl = strlen(real_root);
    if (strncmp(real, real_root, rl) != 0 || real[rl] != '/') return nullptr;
    int fd = open(real, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    if (fd < 0) return nullptr;
    const uint8_t *data = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size_t)st.st_size <= HTTP_MAX_FILE) {
        *size = (size_t)st.st_size;
        void *m = *size ? mmap(nullptr, *size, PROT_READ, MAP_PRIVATE, fd, 0) : (void *)&empty;
        data = m == MAP_FAILED ? nullptr : (const uint8_t *)m;
    }
    close(fd);
    return data;
}

void relay_http_answer(relay_ws *ws, const char *root, const char *method, const char *target) {
    int head_only = !strcmp(method, "HEAD");
    if (!head_only && strcmp(method, "GET") != 0) {
        answer_status(ws, "405 Method Not Allowed");
        return;
    }
    char path[1024];
    if (!relay_http_clean_path(target, path, sizeof path)) {
        answer_status(ws, "404 Not Found");
        return;
    }
    if (root && root[0]) {
        size_t n = 0;
        const uint8_t *data = map_under_root(root, path, &n);
        if (!data) {
            answer_status(ws, "404 Not Found");
            return;
        }
        answer_body(ws, path, data, n, head_only);
        if (ws->body == data && n) ws->map_len = n;   // unmapped once sent (or when the connection goes)
        else if (n) munmap((void *)data, n);
        return;
    }
    for (int i = 0; i < g_relay_web_count; i++) {
        if (!strcmp(g_relay_web_files[i].name, path)) {
            answer_body(ws, path, g_relay_web_files[i].data, g_relay_web_files[i].size, head_only);
            return;
        }
    }
    answer_status(ws, "404 Not Found");
}
