// fuzz_history: the history.txt loader fed arbitrary file contents. Every loaded field must be
// terminated, within its width and free of control characters, and saving the loaded history
// and loading it again must give back exactly the same entries.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "app/history.h"

static history_state first;   // the entries of the first load

static void check_field(const char *s, size_t cap) {
    size_t n = strnlen(s, cap);
    if (n >= cap) abort();
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x20 || c == 0x7f) abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    FILE *in = fmemopen((void *)data, size, "rb");
    if (!in) return 0;
    history_load_stream(in);
    fclose(in);
    if (g_history.count < 0 || g_history.count > HISTORY_MAX) abort();
    for (int i = 0; i < g_history.count; i++) {
        const history_entry *e = &g_history.entries[i];
        check_field(e->id, sizeof e->id);
        check_field(e->computer, sizeof e->computer);
        check_field(e->nickname, sizeof e->nickname);
        check_field(e->last_connected, sizeof e->last_connected);
    }
    first = g_history;

    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    if (!out) return 0;
    history_save_stream(out);
    fclose(out);
    if (len > 0) {
        FILE *again = fmemopen(text, len, "rb");
        if (again) {
            history_load_stream(again);
            fclose(again);
        }
    } else {
        g_history.count = 0;
    }
    free(text);
    if (g_history.count != first.count) abort();
    for (int i = 0; i < first.count; i++)
        if (memcmp(&g_history.entries[i], &first.entries[i], sizeof first.entries[i]) != 0) abort();
    return 0;
}
