// history: loading, saving and changing the desktop app's connection history (history.txt).
#include "app/history.h"
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include "protocol/names.h"

history_state g_history;

void history_copy_clean(char *out, size_t cap, const char *src) { name_copy_clean(out, cap, src, SIZE_MAX); }

// Copies the field [start, end) of a line into out, cut to its capacity and cleaned.
static void copy_field(char *out, size_t cap, const char *start, const char *end) {
    char tmp[HISTORY_LINE_MAX + 1];
    size_t n = (size_t)(end - start);
    if (n > HISTORY_LINE_MAX) n = HISTORY_LINE_MAX;
    memcpy(tmp, start, n);
    tmp[n] = 0;
    history_copy_clean(out, cap, tmp);
}

// Splits one piece at its first three tabs into the next entry. 0 when it has fewer.
static int parse_piece(const char *line, history_entry *e) {
    const char *t1 = strchr(line, '\t');
    const char *t2 = t1 ? strchr(t1 + 1, '\t') : nullptr;
    const char *t3 = t2 ? strchr(t2 + 1, '\t') : nullptr;
    if (!t3) return 0;
    const char *end = t3 + 1 + strcspn(t3 + 1, "\r\n");
    memset(e, 0, sizeof *e);
    copy_field(e->id, sizeof e->id, line, t1);
    copy_field(e->computer, sizeof e->computer, t1 + 1, t2);
    copy_field(e->nickname, sizeof e->nickname, t2 + 1, t3);
    copy_field(e->last_connected, sizeof e->last_connected, t3 + 1, end);
    return 1;
}

void history_load_stream(FILE *f) {
    char line[HISTORY_LINE_MAX + 1];
    g_history.count = 0;
    while (g_history.count < HISTORY_MAX && fgets(line, sizeof line, f)) {
        if (parse_piece(line, &g_history.entries[g_history.count])) g_history.count++;
    }
}

// login_v2.txt in the folder of history.txt.
static void v2_path(char *out, size_t cap) {
    const char *slash = strrchr(g_history.path, '\\');
    const char *fwd = strrchr(g_history.path, '/');
    if (!slash || (fwd && fwd > slash)) slash = fwd;
    int dir = slash ? (int)(slash - g_history.path + 1) : 0;
    snprintf(out, cap, "%.*slogin_v2.txt", dir, g_history.path);
}

// Marks the entries named in login_v2.txt (one ID a line; anything else is passed over).
static void v2_load(void) {
    char path[sizeof g_history.path + 16], line[HISTORY_LINE_MAX + 1];
    v2_path(path, sizeof path);
    FILE *f = fopen(path, "rb");
    if (!f) return;
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        int i = line[0] ? history_find(line) : -1;
        if (i >= 0) g_history.entries[i].v2 = 1;
    }
    fclose(f);
}

static int v2_save(void) {
    char path[sizeof g_history.path + 16];
    v2_path(path, sizeof path);
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    for (int i = 0; i < g_history.count; i++)
        if (g_history.entries[i].v2) fprintf(f, "%s\n", g_history.entries[i].id);
    int ok = fflush(f) == 0;
    return (fclose(f) == 0) && ok;
}

void app_load_history(void) {
    g_history.count = 0;
    if (!g_history.path[0]) return;
    FILE *f = fopen(g_history.path, "rb");
    if (!f) return;
    history_load_stream(f);
    fclose(f);
    v2_load();
}

void history_save_stream(FILE *f) {
    for (int i = 0; i < g_history.count; i++) {
        const history_entry *e = &g_history.entries[i];
        fprintf(f, "%s\t%s\t%s\t%s\n", e->id, e->computer, e->nickname, e->last_connected);
    }
}

int app_save_history(void) {
    if (!g_history.path[0]) return 0;
    FILE *f = fopen(g_history.path, "wb");
    if (!f) return 0;
    history_save_stream(f);
    int ok = fflush(f) == 0;
    ok = (fclose(f) == 0) && ok;
    return v2_save() && ok;
}

// Moves entry i to the front; the entries before it move down by one place.
static void move_to_front(int i) {
    if (i <= 0) return;
    history_entry e = g_history.entries[i];
    memmove(&g_history.entries[1], &g_history.entries[0], (size_t)i * sizeof e);
    g_history.entries[0] = e;
}

int history_find(const char *id) {
    for (int i = 0; i < g_history.count; i++)
        if (strcmp(g_history.entries[i].id, id) == 0) return i;
    return -1;
}

int history_record(const char *id, const char *computer, time_t when) {
    char clean_id[64];
    history_copy_clean(clean_id, sizeof clean_id, id);
    int i = history_find(clean_id);
    if (i < 0) {
        if (g_history.count >= HISTORY_MAX) return 0;
        i = g_history.count++;
        memset(&g_history.entries[i], 0, sizeof g_history.entries[i]);
        memcpy(g_history.entries[i].id, clean_id, sizeof clean_id);
    }
    history_entry *e = &g_history.entries[i];
    if (computer && computer[0]) history_copy_clean(e->computer, sizeof e->computer, computer);
    struct tm *lt = localtime(&when);
    if (!lt || !strftime(e->last_connected, sizeof e->last_connected, "%Y-%m-%d %H:%M", lt))
        e->last_connected[0] = 0;
    move_to_front(i);
    app_save_history();
    return 1;
}

int history_mark_v2(const char *id) {
    int i = history_find(id);
    if (i < 0) return 0;
    if (!g_history.entries[i].v2) {
        g_history.entries[i].v2 = 1;
        app_save_history();
    }
    return 1;
}

int history_pinned(const char *target) {
    char id[HISTORY_PEER_ID_MAX + 1];
    snprintf(id, sizeof id, "%s", target ? target : "");
    int i = history_find(id);
    return i >= 0 && g_history.entries[i].v2;
}

int history_rename(int i, const char *nickname) {
    if (i < 0 || i >= g_history.count) return 0;
    history_copy_clean(g_history.entries[i].nickname, sizeof g_history.entries[i].nickname, nickname);
    app_save_history();
    return 1;
}

int history_remove(int i) {
    if (i < 0 || i >= g_history.count) return 0;
    memmove(&g_history.entries[i], &g_history.entries[i + 1],
            (size_t)(g_history.count - i - 1) * sizeof g_history.entries[0]);
    g_history.count--;
    app_save_history();
    return 1;
}

const char *history_cell(int i, int col) {
    if (i < 0 || i >= g_history.count) return "";
    const history_entry *e = &g_history.entries[i];
    switch (col) {
    case 0: return e->nickname[0] ? e->nickname : "-";
    case 1: return e->computer[0] ? e->computer : "?";
    case 2: return e->id;
    case 3: return e->last_connected;
    default: return "";
    }
}
