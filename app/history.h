// history: the desktop app's list of computers it has reached, most recent first, kept in
// history.txt as one "id<TAB>computer<TAB>nickname<TAB>last connected" line per entry. The IDs of
// entries whose computer spoke the version 2 login are kept beside it in login_v2.txt, one per line,
// so history.txt keeps exactly its format.
// Every text stored here has its control characters replaced, so a name that came from the
// network (or was pasted) can never split a line or add one. Owned by the user interface thread.
#pragma once
#include <stddef.h>
#include <stdio.h>
#include <time.h>

#define HISTORY_MAX 256
#define HISTORY_LINE_MAX 299          // longest piece of a line read at once
#define HISTORY_PEER_ID_MAX 18        // the viewer core reports at most this much of a target

struct history_entry {
    char id[64];              // peer ID, or the typed direct address; at most 63 characters
    char computer[33];        // remote computer name from its hello; at most 32
    char nickname[64];        // the user's name for it; empty until given
    char last_connected[24];  // local time, "%Y-%m-%d %H:%M"
    int v2;                   // 1 once it spoke the version 2 login: version 1 is refused from then on
};

struct history_state {
    history_entry entries[HISTORY_MAX];   // table order = list order, most recent first
    int count;                            // entries in use
    char path[260];                       // history.txt (login_v2.txt beside it); empty means memory only
};

extern history_state g_history;

// Copies at most cap - 1 bytes of src into out (always terminated), replacing every control
// character (below 0x20, and 0x7f) with '?'.
void history_copy_clean(char *out, size_t cap, const char *src);

// Loads the history from an open stream (count starts at 0). Lines are read in pieces of at
// most HISTORY_LINE_MAX characters; a piece with fewer than three tabs is skipped.
void history_load_stream(FILE *f);
// history_load_stream on g_history.path (at start); a missing or unreadable file leaves it empty.
void app_load_history(void);
// Writes every entry to an open stream, one line each, in table order.
void history_save_stream(FILE *f);
// Writes every entry to g_history.path (replacing it). 1 when written, 0 otherwise.
int app_save_history(void);

// A connection reached `id` on `computer` at local time `when`: the entry is found by exact id
// (or appended), its computer name taken when non-empty, its time set, and it moves to the
// front; then the history is saved. 0 when the table is full and `id` is new (nothing recorded).
int history_record(const char *id, const char *computer, time_t when);
// Marks the entry `id` as having spoken the version 2 login, and saves. 0 when there is none.
int history_mark_v2(const char *id);
// 1 when a connection to the typed `target` must refuse the version 1 login: its entry (found by
// the target as the viewer core reports it, cut to 18 characters) spoke version 2 before.
int history_pinned(const char *target);
// Index of the entry whose id is exactly `id`, or -1.
int history_find(const char *id);
// Renames entry i (an empty text clears the nickname) and saves. 0 for a bad index.
int history_rename(int i, const char *nickname);
// Removes entry i and saves. 0 for a bad index.
int history_remove(int i);

// The text of list row i, column col (0 nickname or "-", 1 computer or "?", 2 id, 3 time).
const char *history_cell(int i, int col);
